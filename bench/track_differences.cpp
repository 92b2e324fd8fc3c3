// The run-wide difference list (find_run_differences) on simulated tracks: two passes of the
// under-car scene over the same train, against one core's bare cost of reading and fully
// decoding both frames of each pair, and how many seeded changes it finds and what else it
// lists.
//
// Each track is recorded twice at 25 frames a second, a frame stored whenever the count moved
// (a standing train keeps one frame). The second pass reads 37 counts more, slips 30 counts
// more over the run with +-2 counts of jitter, sees each place up to 3 px along and 5 px lower,
// has its own sensor noise, and holds the track's seeded changes, which the first does not.
// Options: --frames N (default 1000) frames a run, --tracks N (default 3, at most 3).
#include "bench/database_bench_util.h"
#include "viewer/run_differences.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "base/thread_name.h"
#include "camera/simulated_track.h"
#include "camera/undercar_scene.h"
#include "database/database_reader.h"
#include "database/recording_database.h"

namespace {

constexpr int width = 1920, height = 1200;
constexpr int margin = 8;      // rows rendered above and below, so the second pass can sit lower
constexpr int second_dy = 5;   // the second pass sees the scene this many rows lower
constexpr double fps = 25;
constexpr std::uint32_t first_count = 1000;

struct stored_frame {
    double mm = 0;
    std::uint32_t count = 0;
};

// The frames a camera at fps stores over the track: one per moved count.
std::vector<stored_frame> sample(const simulated_track& track, int frames) {
    std::vector<stored_frame> out;
    bool any = false;
    std::uint32_t last = 0;
    for (long k = 0; static_cast<int>(out.size()) < frames && k < frames * 100L; ++k) {
        const double mm = track.distance_after(k / fps);
        const std::uint32_t c = track.count_at(mm, first_count);
        if (any && c == last) continue;
        out.push_back({mm, c});
        last = c;
        any = true;
    }
    return out;
}

// Writes one pass: frame i shows the scene at column_at(mm) + dx[i], rows from `top` of a
// taller rendering, stored under counts[i].
void record(const std::wstring& folder, const simulated_track& track, const std::vector<stored_frame>& frames,
            const std::vector<int>& dx, const std::vector<std::uint32_t>& counts, int top, std::uint64_t frame_base,
            const char* thread_name) {
    name_this_thread(thread_name);
    undercar_scene scene(track);
    std::vector<std::uint8_t> tall(static_cast<std::size_t>(width) * (height + 2 * margin));
    const cv::Mat whole(height + 2 * margin, width, CV_8U, tall.data());
    recording_database db;
    db.open(folder);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        scene.fill_at(tall.data(), tall.size(), width, height + 2 * margin, scene.column_at(frames[i].mm) + dx[i],
                      frame_base + i, true);
        db.store_frame(whole(cv::Rect(0, top, width, height)), counts[i], 1700000000 + static_cast<long>(i / fps));
    }
    db.close("A : 1", std::wstring(L"левый"));
}

double bare_pairs_per_second(const database_reader& a, const database_reader& b) {
    const std::vector<std::uint32_t> ca = a.frame_counts([] { return true; });
    const std::vector<std::uint32_t> cb = b.frame_counts([] { return true; });
    const std::size_t n = std::min(ca.size(), cb.size());
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        auto x = a.read_stored(ca[i]), y = b.read_stored(cb[i]);
        const cv::Mat dx = cv::imdecode(cv::Mat(1, static_cast<int>(x->size()), CV_8U, x->data()), cv::IMREAD_UNCHANGED);
        const cv::Mat dy = cv::imdecode(cv::Mat(1, static_cast<int>(y->size()), CV_8U, y->data()), cv::IMREAD_UNCHANGED);
        if (dx.empty() || dy.empty()) return 0;
    }
    return static_cast<double>(n) / bench_db::seconds_since(t0);
}

struct track_case {
    const char* name;
    simulated_track track;
};

bool run_track(const track_case& tc, int frames, const std::filesystem::path& folder) {
    const simulated_track& plain = tc.track;
    const std::vector<stored_frame> a_frames = sample(plain, frames);
    const int n = static_cast<int>(a_frames.size());
    if (n < 50) return false;

    // Seeded changes in the second pass only, inside the frames at a fifth, two fifths, ... of
    // the run, a third of a frame's travel beyond the frame's left edge.
    simulated_track changed = plain;
    const undercar_scene geometry(plain);
    for (int k = 1; k <= 4; ++k) {
        const double at = a_frames[static_cast<std::size_t>(n * k / 5)].mm + width / 3.0 / plain.px_per_mm;
        changed.changes.push_back({k % 2 ? track_change::kind::missing : track_change::kind::hanging, at});
    }

    std::vector<int> a_dx(a_frames.size(), 0), b_dx(a_frames.size());
    std::vector<std::uint32_t> a_counts, b_counts;
    cv::RNG rng(plain.seed);
    for (int i = 0; i < n; ++i) {
        a_counts.push_back(a_frames[static_cast<std::size_t>(i)].count);
        b_dx[static_cast<std::size_t>(i)] = rng.uniform(-3, 4);
        std::uint32_t c = a_frames[static_cast<std::size_t>(i)].count + 37 + static_cast<std::uint32_t>(30 * i / n) +
                          static_cast<std::uint32_t>(rng.uniform(-2, 3));
        // The second odometer never runs backwards either.
        if (!b_counts.empty() && c <= b_counts.back()) c = b_counts.back() + 1;
        b_counts.push_back(c);
    }

    const std::wstring first = (folder / "2024.05.01 12.30.45").wstring();
    const std::wstring second = (folder / "2024.06.01 09.00.00").wstring();
    const auto t_write = std::chrono::steady_clock::now();
    {
        std::thread writer([&] { record(first, plain, a_frames, a_dx, a_counts, margin, 0, "qm-bench-first"); });
        record(second, changed, a_frames, b_dx, b_counts, margin - second_dy, 1'000'000, "qm-bench-second");
        writer.join();
    }
    const double write_s = bench_db::seconds_since(t_write);

    database_reader a(first), b(second);
    const double bare_rate = bare_pairs_per_second(a, b);
    const auto t0 = std::chrono::steady_clock::now();
    const differences_outcome o = find_run_differences(a, b, {});
    const double walk_s = bench_db::seconds_since(t0);
    if (o.state != differences_outcome::status::done) {
        std::printf("%s: walk did not finish: %s %s\n", tc.name, o.error.c_str(), not_matching_text(o).c_str());
        return false;
    }
    const double walk_rate = static_cast<double>(o.pairs) / walk_s;

    // A difference belongs to a change when its first-run frame shows any of what the change
    // may alter; a change is found when a listed frame shows its own column.
    std::map<std::uint32_t, std::size_t> index_of;
    for (std::size_t i = 0; i < a_counts.size(); ++i) index_of[a_counts[i]] = i;
    const std::int64_t reach = undercar_scene::change_reach(height + 2 * margin);
    std::vector<bool> found(changed.changes.size(), false);
    std::size_t false_alarms = 0;
    for (const run_difference& d : o.differences) {
        const auto at = index_of.find(d.count_a);
        if (at == index_of.end()) {
            ++false_alarms;
            continue;
        }
        const std::int64_t left = geometry.column_at(a_frames[at->second].mm);
        bool belongs = false;
        for (std::size_t k = 0; k < changed.changes.size(); ++k) {
            const std::int64_t c = geometry.column_at(changed.changes[k].at_mm);
            if (c + reach >= left && c - reach < left + width) belongs = true;
            if (c >= left && c < left + width) found[k] = true;
        }
        if (!belongs) {
            ++false_alarms;
            std::printf("  false alarm at %u / %u, shift %+d, %+d, match %.3f, %ld px\n", d.count_a, d.count_b, d.dx,
                        d.dy, d.match, d.changed_px);
        }
    }
    std::size_t hits = 0;
    for (const bool f : found) hits += f ? 1 : 0;
    const double km = (a_frames.back().mm - a_frames.front().mm) / 1e6;

    std::printf("%s (seed %llu): %d frames a run over %.0f m, written in %.0f s\n", tc.name,
                static_cast<unsigned long long>(plain.seed), n, km * 1000, write_s);
    std::printf("  pairs walked %zu (unmatched %zu), offset at start %+lld, differences listed %zu\n", o.pairs,
                o.unmatched, static_cast<long long>(o.offset), o.differences.size());
    std::printf("  walk %.1f frames/s, bare full decode of both frames %.1f frames/s, ratio %.2f (goal >= 0.5)\n",
                walk_rate, bare_rate, walk_rate / bare_rate);
    std::printf("  seeded changes found %zu / %zu, false alarms %zu (%.1f per km)\n", hits, found.size(), false_alarms,
                static_cast<double>(false_alarms) / km);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = static_cast<int>(bench_db::option(argc, argv, "--frames", 1000));
    const int tracks = static_cast<int>(bench_db::option(argc, argv, "--tracks", 3));
    std::vector<track_case> cases;
    simulated_track t;
    t.mm_per_count = 2;
    t.seed = 11;
    t.motion = simulated_track::profile::constant;
    t.speed_m_s = 3;
    cases.push_back({"constant 3 m/s", t});
    t.seed = 22;
    t.motion = simulated_track::profile::accelerating;
    t.speed_m_s = 6;
    cases.push_back({"accelerating to 6 m/s", t});
    t.seed = 33;
    t.motion = simulated_track::profile::stopping;
    t.speed_m_s = 3;
    cases.push_back({"stopping from 3 m/s", t});

    bench_db::scratch scratch;
    bool ok = true;
    for (int i = 0; i < tracks && i < static_cast<int>(cases.size()); ++i) {
        const std::filesystem::path folder = scratch.path() / std::to_string(i);
        std::filesystem::create_directories(folder);
        ok = run_track(cases[static_cast<std::size_t>(i)], frames, folder) && ok;
        std::filesystem::remove_all(folder);
    }
    return ok ? 0 : 1;
}
