// What a recording cut short costs the database list: the summary of a database without
// "count" (crash, power cut, failed write) counts its frame keys, one pass over every stored
// frame; a closed database reads "count". Builds one database of N frames through the
// recording writer, summarises it without and with "count" (each the best of several runs,
// the files in the page cache, as in a scan right after a restart's first one).
// Options: --frames N (default 5000), --width W, --height H (default 512 x 512, the simulated
// camera), --runs N (default 5).
#include "bench/database_bench_util.h"
#include "database/database_layout.h"
#include "database/frame_image.h"
#include "database/database_reader.h"
#include "database/recording_database.h"

#include <leveldb/db.h>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv) {
    const auto [frames, width, height] = bench_db::frame_run_options(argc, argv, {5000, 512, 512});
    const int runs = static_cast<int>(bench_db::option(argc, argv, "--runs", 5));
    bench_db::scratch dir;
    const int distinct = std::min(frames, 200);  // frames repeat: the strip stays small
    bench_db::strip strip(width, height, distinct);
    std::vector<std::vector<unsigned char>> jpegs(distinct);
    for (int i = 0; i < distinct; ++i) encode_frame(strip.frame(i).clone(), jpegs[i]);

    const std::filesystem::path path = dir.path() / "db";
    recording_database db;
    db.open(path.wstring(), "bench : 1", L"левый");
    std::uint64_t bytes = 0;
    for (int i = 0; i < frames; ++i) {
        const auto& j = jpegs[i % distinct];
        db.store_encoded_frame(std::string_view(reinterpret_cast<const char*>(j.data()), j.size()),
                               static_cast<std::uint32_t>(1000 + i), 1714566645 + i / 25);
        bytes += j.size();
    }
    db.abandon();  // the crash: no "count"

    auto best_summary = [&](std::uint64_t& count) {
        double best = 1e9;
        for (int r = 0; r < runs; ++r) {
            const auto start = std::chrono::steady_clock::now();
            database_reader reader(path.wstring());
            count = reader.summary().count;
            best = std::min(best, bench_db::seconds_since(start));
        }
        return best;
    };
    std::uint64_t counted = 0, stored = 0;
    const double without = best_summary(counted);
    {
        auto raw = open_leveldb(path.string(), false);
        raw->Put(leveldb::WriteOptions(), "count", format_count(frames));
    }
    const double with = best_summary(stored);
    std::printf("summary of a %d-frame database (%d x %d, %.1f MiB of JPEG), open + summary, best of %d:\n", frames,
                width, height, bytes / 1048576.0, runs);
    std::printf("  without \"count\" (frame keys counted: %llu): %.1f ms\n", static_cast<unsigned long long>(counted),
                without * 1e3);
    std::printf("  with \"count\" (%llu): %.1f ms\n", static_cast<unsigned long long>(stored), with * 1e3);
    std::printf("  cost of counting: %.1f ms (%.0f MiB/s)\n", (without - with) * 1e3,
                bytes / 1048576.0 / std::max(without - with, 1e-9));
    return 0;
}
