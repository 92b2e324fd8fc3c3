// The image data service's PNG step, OpenCV's decode + encode against TurboJPEG + our own
// libdeflate PNG writer, side by side in one run on camera-sized grey frames stored as the
// recorder stores them (cv::imencode ".jpeg", quality 85). Rounds alternate between the two
// so that load from elsewhere on the machine falls on both alike; medians are printed.
// Then the fast pipeline's throughput with 1 and with 2 threads.
// Options: --frames N (distinct frames, default 4), --rounds N (default 5), --width, --height
// (default 1920 x 1200).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bench/database_bench_util.h"
#include "net/png_pipeline.h"
#include "net/png_writer.h"

namespace {

// Something like an under-car picture: a dark undercarriage with shading, lit beams and
// plates with hard edges, bolts, cables, rust and dirt texture, sensor noise.
cv::Mat undercar_frame(int width, int height, unsigned seed) {
    cv::RNG rng(seed);
    cv::Mat image(height, width, CV_32F, cv::Scalar(35));
    for (int y = 0; y < height; ++y) {
        float* row = image.ptr<float>(y);
        for (int x = 0; x < width; ++x) row[x] += 25.0f * std::sin(x * 0.004f + float(seed)) * std::cos(y * 0.006f);
    }
    for (int i = 0; i < 40; ++i) {
        cv::Point a(rng.uniform(-200, width), rng.uniform(-200, height));
        cv::Point b = a + cv::Point(rng.uniform(30, 700), rng.uniform(20, 400));
        cv::rectangle(image, a, b, cv::Scalar(rng.uniform(50, 200)), cv::FILLED, cv::LINE_AA);
        cv::rectangle(image, a, b, cv::Scalar(rng.uniform(10, 60)), rng.uniform(2, 8), cv::LINE_AA);
    }
    for (int i = 0; i < 120; ++i)
        cv::circle(image, cv::Point(rng.uniform(0, width), rng.uniform(0, height)), rng.uniform(4, 20),
                   cv::Scalar(rng.uniform(120, 250)), cv::FILLED, cv::LINE_AA);
    for (int i = 0; i < 15; ++i) {
        std::vector<cv::Point> curve;
        cv::Point p(rng.uniform(0, width), rng.uniform(0, height));
        for (int k = 0; k < 8; ++k, p += cv::Point(rng.uniform(-150, 250), rng.uniform(-120, 120))) curve.push_back(p);
        cv::polylines(image, curve, false, cv::Scalar(rng.uniform(20, 180)), rng.uniform(3, 25), cv::LINE_AA);
    }
    cv::Mat texture(height, width, CV_32F);
    rng.fill(texture, cv::RNG::NORMAL, 0, 1);
    cv::GaussianBlur(texture, texture, cv::Size(0, 0), 3.0);
    image += texture * 14.0f;
    cv::Mat noise(height, width, CV_32F);
    rng.fill(noise, cv::RNG::NORMAL, 0, 2.0 + seed % 3);
    image += noise;
    cv::Mat grey;
    image.convertTo(grey, CV_8U);
    return grey;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// This thread's CPU time: on a machine shared with other work it shows the cost of a step
// better than the wall clock, which also counts the time the thread waited for a core.
double cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

bool same_pixels(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    const cv::Mat x = cv::imdecode(a, cv::IMREAD_UNCHANGED), y = cv::imdecode(b, cv::IMREAD_UNCHANGED);
    return x.size() == y.size() && x.type() == y.type() && cv::norm(x, y, cv::NORM_INF) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const auto [frames, width, height] = bench_db::frame_run_options(argc, argv, {4, 1920, 1200});
    const int rounds = static_cast<int>(bench_db::option(argc, argv, "--rounds", 5));

    std::vector<std::string> stored;
    for (int i = 0; i < frames; ++i) {
        std::vector<unsigned char> jpeg;
        cv::imencode(".jpeg", undercar_frame(width, height, unsigned(i + 1)), jpeg, {cv::IMWRITE_JPEG_QUALITY, 85});
        stored.emplace_back(jpeg.begin(), jpeg.end());
    }
    const auto reference = make_opencv_png_pipeline();
    const auto fast = make_fast_png_pipeline();

    std::size_t stored_bytes = 0, reference_bytes = 0, fast_bytes = 0;
    bool identical = true;
    for (const std::string& s : stored) {
        const auto r = reference->from_stored(s), f = fast->from_stored(s);
        stored_bytes += s.size();
        reference_bytes += r.size();
        fast_bytes += f.size();
        identical = identical && same_pixels(r, f);
    }

    std::vector<double> wall_reference, wall_fast, cpu_reference, cpu_fast;
    for (int round = 0; round < rounds; ++round)
        for (const std::string& s : stored) {
            auto start = std::chrono::steady_clock::now();
            double cpu = cpu_ms();
            reference->from_stored(s);
            cpu_reference.push_back(cpu_ms() - cpu);
            wall_reference.push_back(ms_since(start));
            start = std::chrono::steady_clock::now();
            cpu = cpu_ms();
            fast->from_stored(s);
            cpu_fast.push_back(cpu_ms() - cpu);
            wall_fast.push_back(ms_since(start));
        }
    std::printf("%d frames of %d x %d grey, JPEG q85, %.0f KB stored on average; medians of %d rounds\n", frames, width,
                height, stored_bytes / 1024.0 / frames, rounds);
    std::printf("%-28s %12s %12s %12s\n", "pipeline", "wall ms", "CPU ms", "PNG bytes");
    std::printf("%-28s %12.1f %12.1f %12zu\n", "OpenCV imdecode + imencode", median(wall_reference),
                median(cpu_reference), reference_bytes / stored.size());
    std::printf("%-28s %12.1f %12.1f %12zu\n", "TurboJPEG + libdeflate", median(wall_fast), median(cpu_fast),
                fast_bytes / stored.size());
    std::printf("speed-up %.2f x (wall), %.2f x (CPU); PNG size %.3f of OpenCV's; pixels %s\n",
                median(wall_reference) / median(wall_fast), median(cpu_reference) / median(cpu_fast),
                double(fast_bytes) / double(reference_bytes), identical ? "identical" : "DIFFER");

    // The writer alone at neighbouring libdeflate levels, on the decoded grey planes.
    std::vector<cv::Mat> planes;
    for (const std::string& s : stored)
        planes.push_back(cv::imdecode(std::vector<unsigned char>(s.begin(), s.end()), cv::IMREAD_GRAYSCALE));
    for (int level : {0, 1, 2, 3, 4, 5, 6}) {
        std::vector<double> cpu_write;
        std::size_t bytes = 0;
        for (int round = 0; round < rounds; ++round)
            for (const cv::Mat& p : planes) {
                const double cpu = cpu_ms();
                bytes += write_png({p.data, p.cols, p.rows, p.step[0], png_layout::grey_as_rgb}, level).size();
                cpu_write.push_back(cpu_ms() - cpu);
            }
        std::printf("PNG writer at libdeflate level %d: %6.1f CPU ms, %.3f of OpenCV's size\n", level,
                    median(cpu_write), double(bytes) / rounds / double(reference_bytes));
    }

    // Throughput of the fast pipeline with one and with two threads at once.
    const int per_thread = rounds * frames;
    auto run = [&](int threads) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                for (int i = 0; i < per_thread; ++i) fast->from_stored(stored[(i + t) % stored.size()]);
            });
        for (std::thread& t : pool) t.join();
        return threads * per_thread / (ms_since(start) / 1000.0);
    };
    const double one = run(1), two = run(2);
    std::printf("fast pipeline: %.1f frames/s on 1 thread, %.1f frames/s on 2 threads (%.2f x; %u cores)\n", one, two,
                two / one, std::thread::hardware_concurrency());
    return identical && fast_bytes <= reference_bytes ? 0 : 1;
}
