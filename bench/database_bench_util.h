#pragma once
// Shared pieces of the database benchmarks: a scratch folder, a clock, and camera-like frames.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "database/recording_database.h"

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

// A closed recording of `frames` frames of a strip (rows `step` apart) at `path`: odometer
// 10 x i, a second apart from 2024-05-01 12:30:45, session "12 : 34", side "левый".
inline void record_strip(const std::filesystem::path& path, int width, int height, int frames, int step) {
    const strip frames_strip(width, height, frames, step);
    recording_database db;
    db.open(path.wstring());
    for (int i = 0; i < frames; ++i)
        db.store_frame(frames_strip.frame(i), static_cast<std::uint32_t>(10 * i), 1714566645 + i);
    db.close(std::string("12 : 34"), L"левый");
}

// "--frames N" style option; def when absent.
inline long option(int argc, char** argv, const std::string& name, long def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return std::strtol(argv[i + 1], nullptr, 10);
    return def;
}

// How many frames of what size: "--frames", "--width" and "--height", each with its default.
struct frame_run {
    int frames;
    int width;
    int height;
};
inline frame_run frame_run_options(int argc, char** argv, frame_run def) {
    return {static_cast<int>(option(argc, argv, "--frames", def.frames)),
            static_cast<int>(option(argc, argv, "--width", def.width)),
            static_cast<int>(option(argc, argv, "--height", def.height))};
}

}  // namespace bench_db
