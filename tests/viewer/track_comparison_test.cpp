// Comparing two passes over a simulated track (the under-car scene the simulated camera
// shows): the in-frame shift, following a drifting odometer, finding a seeded change and
// nothing else, and telling two different trains apart.
#include "viewer/run_differences.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "camera/simulated_track.h"
#include "camera/undercar_scene.h"
#include "database/database_reader.h"
#include "database/recording_database.h"
#include "tests/support/temp_home.h"
#include "viewer/run_alignment.h"
#include "viewer/run_comparison.h"

namespace {

namespace fs = std::filesystem;

constexpr int margin = 16;  // rows rendered above and below the frame, room for a vertical shift

// The scene at `column`, `height` rows taken from `margin - dy` of a taller rendering, so that
// a positive dy shows everything dy rows lower.
cv::Mat render(undercar_scene& scene, int width, int height, std::int64_t column, int dy, std::uint64_t frame) {
    cv::Mat tall(height + 2 * margin, width, CV_8U);
    scene.fill_at(tall.data, tall.total(), static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(tall.rows),
                  column, frame, true);
    return tall(cv::Rect(0, margin - dy, width, height)).clone();
}

std::string jpeg(const cv::Mat& grey) {
    std::vector<unsigned char> bytes;
    cv::imencode(".jpeg", grey, bytes, {cv::IMWRITE_JPEG_QUALITY, 85});
    return std::string(bytes.begin(), bytes.end());
}

simulated_track track_of(std::uint64_t seed) {
    simulated_track t;
    t.seed = seed;
    t.mm_per_count = 10;
    return t;
}

TEST(track_matching, measures_the_shift_between_two_passes_within_a_pixel) {
    // Full-size frames as recorded; the second pass sees the place dx columns along (its
    // content lies dx to the right) and dy rows lower, with its own sensor noise.
    struct shift_case {
        std::uint64_t seed;
        int dx, dy;
    };
    for (const shift_case c : {shift_case{3, 13, 6}, shift_case{4, -9, 11}, shift_case{5, 0, -7}}) {
        SCOPED_TRACE("seed " + std::to_string(c.seed) + ": " + std::to_string(c.dx) + ", " + std::to_string(c.dy));
        undercar_scene scene(track_of(c.seed));
        const std::int64_t at = 40000;
        const std::string a = jpeg(render(scene, 1920, 1200, at, 0, 1));
        const std::string b = jpeg(render(scene, 1920, 1200, at - c.dx, c.dy, 2));
        const int r = match_reduction(1920);
        const frame_shift coarse = measure_shift(match_image(a, r), match_image(b, r));
        const frame_shift fine = refine_shift(decode_grey(a, 1), decode_grey(b, 1), coarse.shift * r, r + 2);
        EXPECT_NEAR(fine.shift.x, c.dx, 1.0);
        EXPECT_NEAR(fine.shift.y, c.dy, 1.0);
        EXPECT_GT(match_strength(match_image(a, r), match_image(b, r), fine.shift / r), 0.8);
    }
}

// One pass over `frames` places 60 mm apart (6 counts of 10 mm, 48 columns), 640 x 400.
struct pass {
    std::vector<std::uint32_t> counts;
    std::vector<std::int64_t> columns;  // each frame's left edge in the scene
};

void record(const fs::path& folder, const simulated_track& track, const pass& p, int dy, std::uint64_t frame_base) {
    undercar_scene scene(track);
    recording_database db;
    db.open(folder.wstring());
    for (std::size_t i = 0; i < p.counts.size(); ++i)
        db.store_frame(render(scene, 640, 400, p.columns[i], dy, frame_base + i), p.counts[i],
                       1700000000 + static_cast<long>(i / 25));
    db.close("A : 1", std::wstring(L"левый"));
}

// Two passes over one track, 120 frames: the second's odometer reads 37 counts more, slips 30
// more over the run with a count of jitter either way, and its camera sees each place up to
// 3 columns along and 5 rows lower. Only the second shows a hanging object, at the place in
// the middle of the first pass's frame 60.
class track_walk : public ::testing::Test {
protected:
    static constexpr int frames = 120;
    static inline std::unique_ptr<test_support::temp_dir> dir;
    static inline fs::path first, second;
    static inline pass a, b;
    static inline simulated_track plain = track_of(9), changed;
    static inline std::int64_t change_column = 0;

    static void SetUpTestSuite() {
        dir = std::make_unique<test_support::temp_dir>();
        first = dir->path() / "2024.05.01 12.30.45";
        second = dir->path() / "2024.06.01 09.00.00";
        const undercar_scene geometry(plain);
        cv::RNG rng(17);
        for (int i = 0; i < frames; ++i) {
            a.counts.push_back(1000 + 6 * static_cast<std::uint32_t>(i));
            a.columns.push_back(geometry.column_at(60.0 * i));
            b.counts.push_back(a.counts.back() + 37 + static_cast<std::uint32_t>(30 * i / frames + rng.uniform(-1, 2)));
            b.columns.push_back(a.columns.back() + rng.uniform(-3, 4));
        }
        changed = plain;
        const double at_mm = 60.0 * 60 + 320 / plain.px_per_mm;
        changed.changes.push_back({track_change::kind::hanging, at_mm});
        change_column = geometry.column_at(at_mm);
        record(first, plain, a, 0, 0);
        record(second, changed, b, 5, 100000);
    }
    static void TearDownTestSuite() { dir.reset(); }

    static std::size_t index_of(std::uint32_t count_a) {
        for (std::size_t i = 0; i < a.counts.size(); ++i)
            if (a.counts[i] == count_a) return i;
        ADD_FAILURE() << "no first-run frame at " << count_a;
        return 0;
    }
};

TEST_F(track_walk, stepping_keeps_each_place_paired_as_the_odometers_drift_apart) {
    run_comparison runs(first.wstring(), second.wstring());
    ASSERT_TRUE(runs.find_offset()) << "best match " << runs.best_match();
    for (int i = 0; i < frames; ++i) {
        ASSERT_TRUE(runs.count());
        runs.current(false, 1);  // lining up follows the drift
        ASSERT_TRUE(runs.second_count()) << "frame " << i;
        EXPECT_NEAR(static_cast<double>(*runs.second_count()), b.counts[static_cast<std::size_t>(i)], 2)
            << "frame " << i << " at " << *runs.count();
        runs.step(1);
    }
}

TEST_F(track_walk, lists_the_seeded_change_and_nothing_elsewhere) {
    database_reader ra(first.wstring()), rb(second.wstring());
    const differences_outcome o = find_run_differences(ra, rb, {});
    ASSERT_EQ(o.state, differences_outcome::status::done) << o.error;
    EXPECT_NEAR(static_cast<double>(o.offset), 37, 2);
    EXPECT_EQ(o.pairs, static_cast<std::size_t>(frames));
    EXPECT_LE(o.unmatched, 2u);
    ASSERT_FALSE(o.differences.empty()) << "the change was missed";
    const std::int64_t reach = undercar_scene::change_reach(400 + 2 * margin);
    bool shown = false;
    for (const run_difference& d : o.differences) {
        const std::size_t i = index_of(d.count_a);
        const std::int64_t left = a.columns[i];
        EXPECT_TRUE(change_column + reach >= left && change_column - reach < left + 640)
            << "listed at " << d.count_a << " far from the change";
        EXPECT_NEAR(static_cast<double>(d.count_b), b.counts[i], 2) << d.count_a;
        EXPECT_NEAR(d.dy, 5, 1) << d.count_a;
        EXPECT_GT(d.changed_px, 0);
        shown = shown || (change_column >= left && change_column < left + 640);
    }
    EXPECT_TRUE(shown) << "no listed frame shows the change's own place";
}

TEST(track_trains, passes_over_different_trains_do_not_match) {
    test_support::temp_dir dir;
    const fs::path first = dir.path() / "2024.05.01 12.30.45", second = dir.path() / "2024.06.01 09.00.00";
    pass p;
    for (int i = 0; i < 30; ++i) {
        p.counts.push_back(1000 + 6 * static_cast<std::uint32_t>(i));
        p.columns.push_back(48 * i);
    }
    record(first, track_of(21), p, 0, 0);
    record(second, track_of(22), p, 0, 100000);

    run_comparison runs(first.wstring(), second.wstring());
    EXPECT_FALSE(runs.find_offset());
    EXPECT_LT(runs.best_match(), same_place_match);
    database_reader ra(first.wstring()), rb(second.wstring());
    const differences_outcome o = find_run_differences(ra, rb, {});
    EXPECT_EQ(o.state, differences_outcome::status::not_matching);
    EXPECT_LT(o.best_match, same_place_match);
    EXPECT_TRUE(o.differences.empty());
}

}  // namespace
