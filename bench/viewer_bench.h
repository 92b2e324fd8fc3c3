#pragma once
// The bare viewer step both viewer benchmarks measure against: seek to the next frame, decode
// it, convert it to RGB, with nothing painted.
#include <chrono>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "bench/database_bench_util.h"
#include "bench/gui_bench.h"
#include "viewer/frame_browser.h"

namespace viewer_bench {
// Wall and CPU seconds of each of the folder's first `frames` - 1 steps.
inline void bare_steps(const std::wstring& folder, int frames, std::vector<double>& wall, std::vector<double>& cpu) {
    frame_browser browser(folder);
    cv::Mat rgb(1200, 1920, CV_8UC3);
    for (int i = 1; i < frames; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = gui_bench::cpu_seconds();
        browser.next();
        const cv::Mat bgr = browser.current_frame();
        cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
        wall.push_back(bench_db::seconds_since(t0));
        cpu.push_back(gui_bench::cpu_seconds() - c0);
    }
}
}  // namespace viewer_bench
