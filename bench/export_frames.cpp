// Exporting stored frames as files against `cp` of the same bytes, side by side in one run:
// a database of N camera-like JPEG frames (default 1,000 of 1920 x 1200), the same frames as
// files in a folder, then rounds of `cp -r` of that folder and of export_frames() of the whole
// range, each into a new folder, alternating so both meet the same page-cache state.
// Options: --frames N, --width, --height, --rounds N (default 5).
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

#include <leveldb/db.h>

#include "bench/database_bench_util.h"
#include "database/database_layout.h"
#include "database/recording_database.h"
#include "export/frame_export.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    const auto [frames, width, height] = bench_db::frame_run_options(argc, argv, {1000, 1920, 1200});
    const int rounds = static_cast<int>(bench_db::option(argc, argv, "--rounds", 5));
    bench_db::scratch dir;
    const fs::path db_path = dir.path() / "db", source = dir.path() / "source";
    bench_db::record_strip(db_path, width, height, frames, 8);
    // The same bytes as plain files, for cp.
    std::uint64_t bytes = 0;
    fs::create_directory(source);
    {
        auto db = open_leveldb(db_path.string(), false);
        std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
        for (it->SeekToFirst(); it->Valid() && is_frame_key(it->key().ToString()); it->Next()) {
            std::ofstream(source / (it->key().ToString() + ".jpg"), std::ios::binary)
                .write(it->value().data(), static_cast<std::streamsize>(it->value().size()));
            bytes += it->value().size();
        }
    }
    std::printf("%d frames of %d x %d, %.1f MB of JPEG\n", frames, width, height, bytes / 1048576.0);

    double export_cpu = 0, cp_cpu = 0;
    auto cpu_seconds = [](int who) {
        rusage u{};
        getrusage(who, &u);
        return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    auto run_cp = [&](int round) {
        const fs::path out = dir.path() / ("cp" + std::to_string(round));
        const double cpu_start = cpu_seconds(RUSAGE_CHILDREN);
        const std::string command = "cp -r '" + source.string() + "' '" + out.string() + "'";
        const auto start = std::chrono::steady_clock::now();
        if (std::system(command.c_str()) != 0) std::abort();
        cp_cpu = cpu_seconds(RUSAGE_CHILDREN) - cpu_start;
        return bench_db::seconds_since(start);
    };
    auto run_export = [&](int round) {
        const fs::path out = dir.path() / ("export" + std::to_string(round));
        const double cpu_start = cpu_seconds(RUSAGE_SELF);
        const auto start = std::chrono::steady_clock::now();
        {
            auto db = open_leveldb(db_path.string(), false);  // opening is part of an export
            const frames_result r = export_frames(*db, {0, 4294967295u}, out, {});
            if (r.frames != static_cast<std::uint64_t>(frames)) std::abort();
        }
        export_cpu = cpu_seconds(RUSAGE_SELF) - cpu_start;
        return bench_db::seconds_since(start);
    };
    // Outputs stay until the end: creating files right after deleting others makes ext4 scan
    // for recently freed inodes, which would time the file system, not the copy.
    run_cp(-1);  // warm the page cache for both
    run_export(-1);
    std::vector<double> ratios;
    double total_cp = 0, total_export = 0;
    for (int r = 0; r < rounds; ++r) {
        // Alternate which goes first, so neither always meets the other's dirty pages.
        const double a = r % 2 ? run_export(r) : run_cp(r);
        const double b = r % 2 ? run_cp(r) : run_export(r);
        const double t_cp = r % 2 ? b : a, t_export = r % 2 ? a : b;
        total_cp += t_cp;
        total_export += t_export;
        ratios.push_back(t_cp / t_export);
        std::printf(
            "round %d: cp %.3f s (%.0f MB/s, %.3f s CPU), export %.3f s (%.0f MB/s, %.3f s CPU), "
            "export/cp throughput %.2f\n",
            r, t_cp, bytes / 1048576.0 / t_cp, cp_cpu, t_export, bytes / 1048576.0 / t_export, export_cpu,
            t_cp / t_export);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("export throughput / cp throughput: total %.2f, median of rounds %.2f (goal >= 0.8)\n",
                total_cp / total_export, ratios[ratios.size() / 2]);
}
