// Lining up to the pixel, the match strength, following a drifting offset, and the run-wide
// list of differences, on synthetic runs.
#include "viewer/run_differences.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <opencv2/imgcodecs.hpp>

#include "database/database_reader.h"
#include "database/recording_database.h"
#include "tests/support/temp_home.h"
#include "tests/viewer/synthetic_runs.h"
#include "viewer/run_alignment.h"
#include "viewer/run_comparison.h"

namespace {

namespace fs = std::filesystem;

std::string jpeg(const cv::Mat& grey) {
    std::vector<unsigned char> bytes;
    cv::imencode(".jpeg", grey, bytes, {cv::IMWRITE_JPEG_QUALITY, 85});
    return std::string(bytes.begin(), bytes.end());
}

// A run whose odometer slips: strip index i is stored at count first + i + drift * i / frames,
// so the second run's offset grows from its start by `drift` counts over the run.
template <class Change>
void record_drifting(const std::wstring& folder, const synthetic_runs::strip& s, std::uint32_t first, int frames,
                     int drift, int dx, int dy, unsigned seed, Change change) {
    recording_database db;
    db.open(folder);
    cv::RNG rng(seed);
    for (int i = 0; i < frames; ++i) {
        cv::Mat f = s.frame(i, dx, dy, 3, rng);
        const std::uint32_t count = first + static_cast<std::uint32_t>(i + drift * i / frames);
        change(f, count);
        db.store_frame(f, count, 1700000000 + i / 10);
    }
    db.close("A : 2", std::wstring(L"левый"));
}

TEST(run_matching, finds_the_shift_within_a_pixel_at_full_resolution) {
    // 1920 x 1200 as recorded: the coarse step alone is good only to its 8-pixel reduction.
    const synthetic_runs::strip s(1920, 1200, 4, 12);
    struct shift_case {
        int dx, dy;
    };
    for (const shift_case c : {shift_case{13, 6}, shift_case{-7, 11}, shift_case{0, 0}, shift_case{21, -17}}) {
        SCOPED_TRACE(std::to_string(c.dx) + ", " + std::to_string(c.dy));
        cv::RNG n1(1), n2(2);
        const std::string a = jpeg(s.frame(1, 0, 0, 3, n1)), b = jpeg(s.frame(1, c.dx, c.dy, 3, n2));
        const int r = match_reduction(1920);
        const frame_shift coarse = measure_shift(match_image(a, r), match_image(b, r));
        const frame_shift fine = refine_shift(decode_grey(a, 1), decode_grey(b, 1), coarse.shift * r, r + 2);
        EXPECT_NEAR(fine.shift.x, c.dx, 1.0);
        EXPECT_NEAR(fine.shift.y, c.dy, 1.0);
        EXPECT_GT(fine.response, 0.8);
        EXPECT_GT(match_strength(match_image(a, r), match_image(b, r), fine.shift / r), 0.8);
    }
}

TEST(run_matching, frames_of_different_places_do_not_match) {
    const synthetic_runs::strip s(640, 400, 40, 12, 7), elsewhere(640, 400, 40, 12, 8);
    cv::RNG rng(3);
    const cv::Mat a = match_image(s.frame(5, 0, 0, 3, rng), 4);
    const cv::Mat same = match_image(s.frame(5, 0, 0, 3, rng), 4);
    const cv::Mat other = match_image(elsewhere.frame(5, 0, 0, 3, rng), 4);
    EXPECT_GT(match_strength(a, same, {0, 0}), 0.8);
    const frame_shift s_other = measure_shift(a, other);
    EXPECT_LT(match_strength(a, other, s_other.shift), same_place_match);
    EXPECT_EQ(match_strength(a, cv::Mat(a.size(), CV_32F, cv::Scalar(90)), {0, 0}), 0) << "a flat frame";
    EXPECT_EQ(match_strength(a, same, {500, 0}), 0) << "too little overlap";
}

class run_walk : public ::testing::Test {
protected:
    test_support::temp_dir dir;
    fs::path first = dir.path() / "2024.05.01 12.30.45";
    fs::path second = dir.path() / "2024.06.01 09.00.00";
};

TEST_F(run_walk, an_unrelated_pair_is_said_not_to_match_and_left_where_it_is) {
    const synthetic_runs::strip s(640, 400, 60, 12, 7), elsewhere(640, 400, 60, 12, 8);
    synthetic_runs::record(first.wstring(), s, 1000, 40, 0, 0, 3, 1, "A : 1");
    synthetic_runs::record(second.wstring(), elsewhere, 1000, 40, 9, 5, 3, 2, "A : 2");
    run_comparison runs(first.wstring(), second.wstring());
    EXPECT_FALSE(runs.find_offset());
    EXPECT_EQ(runs.offset(), 0);
    EXPECT_LT(runs.best_match(), same_place_match);
    const run_comparison::pair p = runs.current(true, 1);
    EXPECT_FALSE(p.matched);
    EXPECT_LT(p.match, same_place_match);
    EXPECT_EQ(p.shift, cv::Point(0, 0));
    EXPECT_EQ(cv::norm(p.second, decode_grey(*database_reader(second.wstring()).read_stored(1000), 1), cv::NORM_INF), 0)
        << "the second picture was moved";
    EXPECT_EQ(p.differing, 0);

    database_reader a(first.wstring()), b(second.wstring());
    const differences_outcome o = find_run_differences(a, b, {});
    EXPECT_EQ(o.state, differences_outcome::status::not_matching);
    EXPECT_LT(o.best_match, same_place_match);
    EXPECT_TRUE(o.differences.empty());
    EXPECT_EQ(not_matching_text(o).rfind("runs do not match: best match 0.", 0), 0u) << not_matching_text(o);
}

TEST_F(run_walk, follows_a_drift_of_thirty_counts_and_lists_only_the_seeded_change) {
    // 200 frames, 24 px of travel a count; the second run starts 37 counts on and slips 30 more
    // over the run, is (13, 6) px aside, and has a dark bar where the first run shows strip
    // index 150.
    const int frames = 200;
    const synthetic_runs::strip s(640, 400, frames + 10, 24);
    synthetic_runs::record(first.wstring(), s, 1000, frames, 0, 0, 3, 1, "A : 1");
    const std::uint32_t changed = 1037 + 150 + 30 * 150 / frames;
    record_drifting(second.wstring(), s, 1037, frames, 30, 13, 6, 2, [&](cv::Mat& f, std::uint32_t c) {
        if (c == changed) cv::rectangle(f, cv::Rect(300, 180, 40, 16), cv::Scalar(5), cv::FILLED);
    });
    const auto true_pair = [&](std::uint32_t a) {
        const int i = static_cast<int>(a) - 1000;
        return 1037u + static_cast<std::uint32_t>(i + 30 * i / frames);
    };

    // Stepping the comparison: the same place stays paired to the end.
    run_comparison runs(first.wstring(), second.wstring());
    ASSERT_TRUE(runs.find_offset());
    for (int i = 0; i < frames - 1; i += 3) {
        const run_comparison::pair p = runs.current(false, 1);
        ASSERT_TRUE(p.matched) << "count " << *runs.count() << " match " << p.match;
        EXPECT_NEAR(static_cast<double>(*runs.second_count()), true_pair(*runs.count()), 2) << *runs.count();
        runs.step(3);
    }

    database_reader a(first.wstring()), b(second.wstring());
    std::atomic<bool> cancel{false};
    std::size_t progress_calls = 0;
    double last_done = 0;
    differences_control control;
    control.cancel = &cancel;
    control.progress = [&](double done, std::size_t) {
        ++progress_calls;
        last_done = done;
    };
    const differences_outcome o = find_run_differences(a, b, control);
    ASSERT_EQ(o.state, differences_outcome::status::done) << o.error;
    EXPECT_NEAR(static_cast<double>(o.offset), 37, 1);
    EXPECT_EQ(o.pairs, static_cast<std::size_t>(frames));
    EXPECT_LE(o.unmatched, 2u);
    EXPECT_EQ(progress_calls, static_cast<std::size_t>(frames));
    EXPECT_EQ(last_done, 1.0);
    ASSERT_EQ(o.differences.size(), 1u) << "false alarms or the change missed";
    const run_difference& d = o.differences[0];
    EXPECT_EQ(d.count_a, 1150u);
    EXPECT_EQ(d.count_b, changed);
    EXPECT_NEAR(d.dx, 13, 1);
    EXPECT_NEAR(d.dy, 6, 1);
    EXPECT_GT(d.match, same_place_match);
    EXPECT_GT(d.changed_px, 40 * 16 / 3);  // the bar, less what lies in the blur's margin
    EXPECT_LT(d.changed_px, 40 * 16 * 3);
    EXPECT_EQ(d.thumbnail.rows, thumbnail_height);
    EXPECT_EQ(d.thumbnail.type(), CV_8UC3);

    // Written with both frames as stored.
    const fs::path csv = dir.path() / "out" / "differences.csv";
    fs::create_directories(csv.parent_path());
    write_differences(csv, o.differences, a, b);
    std::ifstream in(csv);
    std::string header, row;
    std::getline(in, header);
    std::getline(in, row);
    EXPECT_EQ(header, "count_a,count_b,dx,dy,match,changed_px");
    EXPECT_EQ(row.rfind("1150," + std::to_string(changed) + ",13,6,0.", 0), 0u) << row;
    std::ifstream frame_a(csv.parent_path() / "1150_a.jpg", std::ios::binary);
    const std::string bytes_a((std::istreambuf_iterator<char>(frame_a)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(bytes_a == *a.read_stored(1150)) << "not the frame as stored";
    EXPECT_TRUE(fs::exists(csv.parent_path() / (std::to_string(changed) + "_b.jpg")));

    cancel = true;
    EXPECT_EQ(find_run_differences(a, b, control).state, differences_outcome::status::cancelled);
}

TEST(run_matching, strengths_read_alike_in_any_locale) {
    EXPECT_EQ(match_text(0.234, ','), "0,23");
    EXPECT_EQ(match_text(0.9149, '.', 3), "0.915");
    EXPECT_EQ(match_text(1.2, '.'), "1.00");
    EXPECT_EQ(match_text(0.05, '.', 3), "0.050");
    run_difference d;
    d.count_a = 5;
    d.count_b = 9;
    d.dx = -3;
    d.dy = 12;
    d.match = 0.8;
    d.changed_px = 640;
    EXPECT_EQ(differences_csv_row(d), "5,9,-3,12,0.800,640");
}

}  // namespace
