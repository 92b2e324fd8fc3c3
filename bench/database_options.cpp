// LevelDB options for frame values: recording_database::store_encoded_frame (one batch per
// step: end values and a real-weight JPEG frame, synced once a second) written flat out with
// several storage tunings, one after the other in the same run. Per tuning it prints the
// throughput, the step latency percentiles (the tail matters: a 25 fps camera loses a frame
// whenever a step takes more than 40 ms), the bytes the process wrote per stored JPEG byte
// and the table files at the end.
// Options: --frames N per tuning (default 3000, about 1.2 GB), --only I (one tuning, 0-based),
// --rate N (steps per second, as a camera at N fps paced by the odometer; default 0 = flat
// out, which measures the disk's own limit: the tail then shows LevelDB waiting for it).
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "bench/database_bench_util.h"
#include "camera/undercar_scene.h"
#include "database/database_layout.h"
#include "database/recording_database.h"

namespace {

// Bytes this process passed to write() so far (LevelDB's log, tables, manifest).
std::uint64_t written_bytes() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "wchar:") return value;
    return 0;
}

struct tuning_row {
    const char* name;
    frame_store_tuning tuning;
};

}  // namespace

int main(int argc, char** argv) {
    const long frames = bench_db::option(argc, argv, "--frames", 3000);
    const long only = bench_db::option(argc, argv, "--only", -1);
    const long rate = bench_db::option(argc, argv, "--rate", 0);
    constexpr int width = 1920, height = 1200;

    // A pool of distinct under-car frames, encoded once: the steps measure storage alone.
    std::vector<std::string> pool;
    {
        undercar_scene scene;
        std::vector<std::uint8_t> pixels(std::size_t{width} * height);
        std::vector<uchar> jpeg;
        for (int i = 0; i < 40; ++i) {
            scene.fill(pixels.data(), pixels.size(), width, height, static_cast<std::uint64_t>(i) * 7);
            cv::imencode(".jpeg", cv::Mat(height, width, CV_8UC1, pixels.data()), jpeg, {cv::IMWRITE_JPEG_QUALITY, 85});
            pool.emplace_back(jpeg.begin(), jpeg.end());
        }
    }
    double mean = 0;
    for (const auto& p : pool) mean += p.size();
    mean /= pool.size();

    std::vector<tuning_row> rows;
    rows.push_back({"LevelDB defaults (4 MB buffer, 2 MB files, snappy)", frame_store_tuning{}});
    rows.push_back({"16 MB buffer, 16 MB files, no compression", frame_store_tuning{16u << 20, 16u << 20, false}});
    rows.push_back({"64 MB buffer, 64 MB files, no compression", frame_store_tuning{64u << 20, 64u << 20, false}});
    rows.push_back({"64 MB buffer, 64 MB files, snappy", frame_store_tuning{64u << 20, 64u << 20, true}});
    rows.push_back({"64 MB buffer, 2 MB files, no compression", frame_store_tuning{64u << 20, 0, false}});

    std::printf(
        "store_encoded_frame %s: %ld steps per tuning, %zu distinct %dx%d under-car JPEGs "
        "(mean %.0f KB), synced once a second\n",
        rate > 0 ? ("at " + std::to_string(rate) + " steps/s").c_str() : "flat out", frames, pool.size(), width, height,
        mean / 1024);
    bench_db::scratch dir;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (only >= 0 && static_cast<std::size_t>(only) != r) continue;
        recording_database_options options;
        options.storage = rows[r].tuning;
        std::vector<double> ms;
        ms.reserve(static_cast<std::size_t>(frames));
        std::uint64_t jpeg_bytes = 0;
        const auto path = dir.path() / ("t" + std::to_string(r));
        const std::uint64_t written_before = written_bytes();
        const auto start = std::chrono::steady_clock::now();
        {
            recording_database db(options);
            db.open(path.wstring(), "bench : 1", L"левый");
            for (long i = 0; i < frames; ++i) {
                if (rate > 0) std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000 / rate));
                const std::string& jpeg = pool[static_cast<std::size_t>(i) % pool.size()];
                const auto t0 = std::chrono::steady_clock::now();
                db.store_encoded_frame(jpeg, static_cast<std::uint32_t>(1000 + i), 1714566645 + i / 50);
                ms.push_back(bench_db::seconds_since(t0) * 1000);
                jpeg_bytes += jpeg.size();
            }
            db.close(std::string("bench : 1"), L"левый");
        }
        const double seconds = bench_db::seconds_since(start);
        const std::uint64_t written = written_bytes() - written_before;
        std::sort(ms.begin(), ms.end());
        const auto pct = [&](double p) {
            return ms[std::min(ms.size() - 1, static_cast<std::size_t>(p / 100.0 * ms.size()))];
        };
        int tables = 0;
        for (const auto& e : std::filesystem::directory_iterator(path)) tables += e.path().extension() == ".ldb";
        std::printf(
            "%s:\n  %.1f steps/s (%.0f MB/s), step ms p50 %.2f p99 %.2f p99.9 %.2f max %.2f; "
            "%.2f bytes written per JPEG byte; %d table files\n",
            rows[r].name, frames / seconds, jpeg_bytes / seconds / 1e6, pct(50), pct(99), pct(99.9), ms.back(),
            static_cast<double>(written) / jpeg_bytes, tables);
        std::fflush(stdout);
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    return 0;
}
