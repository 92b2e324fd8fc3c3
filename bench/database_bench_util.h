#pragma once
// Shared pieces of the database benchmarks: a scratch folder, a clock, and camera-like frames.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace bench_db {

class scratch {
public:
    scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qm-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
    }
    ~scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A long strip of under-car texture (smooth shading, sleepers, fine gravel noise); frame i is
// the window of height rows starting step * i rows down, as the car moves over it.
class strip {
public:
    strip(int width, int height, int frames, int step = 8) : height_(height), step_(step) {
        cv::Mat noise(height + frames * step, width, CV_32F);
        cv::randn(noise, 0, 1);
        cv::Mat smooth;
        cv::GaussianBlur(noise, smooth, cv::Size(0, 0), 25);
        cv::normalize(smooth, smooth, 40, 200, cv::NORM_MINMAX);
        cv::Mat fine;
        cv::GaussianBlur(noise, fine, cv::Size(0, 0), 1.2);
        cv::Mat image = smooth + fine * 25;
        for (int y = 0; y < image.rows; y += 180)  // sleepers
            cv::rectangle(image, cv::Rect(0, y, width, 40), cv::Scalar(230), cv::FILLED);
        cv::line(image, {width / 3, 0}, {width / 3, image.rows}, cv::Scalar(250), 12);  // rails
        cv::line(image, {2 * width / 3, 0}, {2 * width / 3, image.rows}, cv::Scalar(250), 12);
        image.convertTo(texture_, CV_8U);
    }
    cv::Mat frame(int i) const { return texture_.rowRange(i * step_, i * step_ + height_); }

private:
    int height_;
    int step_;
    cv::Mat texture_;
};

// "--frames N" style option; def when absent.
inline long option(int argc, char** argv, const std::string& name, long def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return std::strtol(argv[i + 1], nullptr, 10);
    return def;
}

}  // namespace bench_db
