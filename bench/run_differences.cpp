// Listing every difference of two recorded 1920 x 1200 runs (find_run_differences), against
// one core's bare cost of reading and fully decoding both frames of each pair. The second run
// starts 37 counts on, slips 30 counts more over the run, lies (13, 6) px aside, and has a
// dark bar in a few seeded frames.
// Options: --frames N (default 1000).
#include "bench/database_bench_util.h"
#include "tests/viewer/synthetic_runs.h"
#include "viewer/run_differences.h"

#include <ctime>
#include <cstdio>
#include <set>

#include <opencv2/imgcodecs.hpp>

#include "database/database_reader.h"
#include "database/recording_database.h"

namespace {

double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = static_cast<int>(bench_db::option(argc, argv, "--frames", 1000));
    bench_db::scratch scratch;
    const std::wstring first = (scratch.path() / "2024.05.01 12.30.45").wstring();
    const std::wstring second = (scratch.path() / "2024.06.01 09.00.00").wstring();
    std::set<std::uint32_t> seeded;
    {
        const auto t0 = std::chrono::steady_clock::now();
        const synthetic_runs::strip s(1920, 1200, frames + 40, 12);
        synthetic_runs::record(first, s, 1000, frames, 0, 0, 3, 1, "A : 1");
        recording_database db;
        db.open(second);
        cv::RNG rng(2);
        for (int i = 0; i < frames; ++i) {
            cv::Mat f = s.frame(i, 13, 6, 3, rng);
            if (i % 197 == 100) {
                cv::rectangle(f, cv::Rect(900, 500, 120, 30), cv::Scalar(5), cv::FILLED);
                seeded.insert(1000u + static_cast<std::uint32_t>(i));
            }
            db.store_frame(f, 1037u + static_cast<std::uint32_t>(i + 30 * i / frames), 1700000000 + i / 10);
        }
        db.close("A : 2", std::wstring(L"левый"));
        std::printf("wrote two runs of %d frames of 1920 x 1200 in %.0f s\n", frames, bench_db::seconds_since(t0));
    }
    database_reader a(first), b(second);

    // Bare: read and fully decode both frames of each pair, one thread.
    const std::vector<std::uint32_t> counts = a.frame_counts([] { return true; });
    const std::vector<std::uint32_t> b_counts = b.frame_counts([] { return true; });
    double bare_s = 0;
    {
        const auto t0 = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < counts.size() && i < b_counts.size(); ++i) {
            auto x = a.read_stored(counts[i]), y = b.read_stored(b_counts[i]);
            const cv::Mat dx =
                cv::imdecode(cv::Mat(1, static_cast<int>(x->size()), CV_8U, x->data()), cv::IMREAD_UNCHANGED);
            const cv::Mat dy =
                cv::imdecode(cv::Mat(1, static_cast<int>(y->size()), CV_8U, y->data()), cv::IMREAD_UNCHANGED);
            if (dx.empty() || dy.empty()) return 1;
        }
        bare_s = bench_db::seconds_since(t0);
    }
    const double bare_rate = static_cast<double>(counts.size()) / bare_s;

    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = process_cpu_seconds();
    const differences_outcome o = find_run_differences(a, b, {});
    const double walk_s = bench_db::seconds_since(t0), walk_cpu = process_cpu_seconds() - c0;
    if (o.state != differences_outcome::status::done) {
        std::printf("walk did not finish: %s\n", o.error.c_str());
        return 1;
    }
    const double walk_rate = static_cast<double>(o.pairs) / walk_s;
    // A change is found when listed at its count or a neighbour's: with the second run half a
    // count's travel along, either neighbour is as near.
    std::set<std::uint32_t> found;
    std::size_t elsewhere = 0;
    for (const auto& d : o.differences) {
        bool near = false;
        for (const std::uint32_t c : seeded)
            if (d.count_a + 1 >= c && d.count_a <= c + 1) found.insert(c), near = true;
        elsewhere += near ? 0 : 1;
        std::printf("  difference at %u / %u, shift %+d, %+d, match %.3f, %ld px\n", d.count_a, d.count_b, d.dx, d.dy,
                    d.match, d.changed_px);
    }
    const std::size_t hits = found.size();
    std::printf("bare read + full decode of both frames, one core: %.1f pairs/s (%.1f ms a pair)\n", bare_rate,
                1000 * bare_s / counts.size());
    std::printf("difference walk: %.1f pairs/s (%.1f ms a pair; process CPU %.1f ms a pair), ratio %.2f\n", walk_rate,
                1000 * walk_s / o.pairs, 1000 * walk_cpu / o.pairs, walk_rate / bare_rate);
    std::printf(
        "pairs %zu, unmatched %zu, offset at start %+lld; differences listed %zu: seeded changes found %zu "
        "of %zu, listed away from any %zu\n",
        o.pairs, o.unmatched, static_cast<long long>(o.offset), o.differences.size(), hits, seeded.size(), elsewhere);
    return 0;
}
