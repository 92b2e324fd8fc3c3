// Writer throughput: recording_database (JPEG q85 plus the metadata puts of one recording
// step) against a bare cv::imencode + leveldb::Put loop over the same frames.
// Options: --frames N (default 500), --width, --height (default 1920 x 1200 Mono8).
#include <cstdio>
#include <vector>

#include <leveldb/db.h>
#include <opencv2/imgcodecs.hpp>

#include "bench/database_bench_util.h"
#include "database/database_layout.h"
#include "database/recording_database.h"

int main(int argc, char** argv) {
    const auto [frames, width, height] = bench_db::frame_run_options(argc, argv, {500, 1920, 1200});
    bench_db::scratch dir;
    bench_db::strip strip(width, height, frames);

    int run = 0;
    auto bare = [&] {
        auto db = open_leveldb((dir.path() / ("bare" + std::to_string(++run))).string(), true);
        std::vector<uchar> jpeg;
        const std::vector<int> params{cv::IMWRITE_JPEG_QUALITY, 85};
        std::size_t bytes = 0;
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < frames; ++i) {
            cv::imencode(".jpeg", strip.frame(i), jpeg, params);
            bytes += jpeg.size();
            db->Put(leveldb::WriteOptions(), make_frame_key(static_cast<std::uint32_t>(1000 + i)),
                    leveldb::Slice(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()));
        }
        double t = bench_db::seconds_since(start);
        std::printf("bare imencode+Put: %d frames in %.3f s = %.1f frames/s (mean JPEG %.0f KB)\n", frames, t,
                    frames / t, bytes / 1024.0 / frames);
        return t;
    };
    auto writer = [&] {
        recording_database db;
        auto start = std::chrono::steady_clock::now();
        db.open((dir.path() / ("writer" + std::to_string(++run))).wstring());
        for (int i = 0; i < frames; ++i)
            db.store_frame(strip.frame(i), static_cast<std::uint32_t>(1000 + i), 1714566645 + i);
        db.close(std::string("bench : 1"), L"левый");
        double t = bench_db::seconds_since(start);
        std::printf("recording_database: %d frames in %.3f s = %.1f frames/s (open and close included)\n", frames, t,
                    frames / t);
        return t;
    };

    std::printf("frames %d x %d Mono8, %d frames\n", width, height, frames);
    // Two rounds, alternating, against drift and background compaction of the other run.
    double t_bare = bare();
    double t_writer = writer();
    t_writer += writer();
    t_bare += bare();
    std::printf("two rounds each: bare %.3f s, writer %.3f s\n", t_bare, t_writer);
    std::printf("writer throughput / bare throughput = %.3f (goal >= 0.9)\n", t_bare / t_writer);
    return 0;
}
