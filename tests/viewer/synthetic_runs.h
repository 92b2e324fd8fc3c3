#pragma once
// Two synthetic runs over the same "train" for the comparison tests and benchmark: a long
// strip of random blobs passes the camera, the frame at count c shows the strip from row
// step * (c - first) on. The second run sees the same strip `offset` counts later and a few
// pixels aside, with its own sensor noise.
#include <cstdint>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "database/recording_database.h"

namespace synthetic_runs {

struct strip {
    cv::Mat rows;
    int width, height, step;

    strip(int frame_width, int frame_height, int frames, int step_px, unsigned seed = 7)
        : width(frame_width), height(frame_height), step(step_px) {
        rows = cv::Mat(frame_height + frames * step_px + 64, frame_width + 64, CV_8UC1, cv::Scalar(90));
        cv::RNG rng(seed);
        const int blobs = rows.rows * rows.cols / 900;
        for (int i = 0; i < blobs; ++i) {
            const cv::Point c(rng.uniform(0, rows.cols), rng.uniform(0, rows.rows));
            const cv::Size axes(rng.uniform(3, 18), rng.uniform(3, 18));
            cv::ellipse(rows, c, axes, rng.uniform(0, 180), 0, 360, cv::Scalar(rng.uniform(20, 235)), cv::FILLED);
        }
        cv::GaussianBlur(rows, rows, cv::Size(3, 3), 0);
    }

    // The frame `index` frames into the strip, moved by (dx, dy), with noise of sigma.
    cv::Mat frame(int index, int dx, int dy, double noise, cv::RNG& rng) const {
        cv::Mat out = rows(cv::Rect(32 - dx, 32 + index * step - dy, width, height)).clone();
        if (noise > 0) {
            cv::Mat n(out.size(), CV_16SC1);
            rng.fill(n, cv::RNG::NORMAL, 0, noise);
            cv::Mat sum;
            out.convertTo(sum, CV_16SC1);
            sum += n;
            sum.convertTo(out, CV_8UC1);
        }
        return out;
    }
};

// Records `frames` frames at counts first, first + 1, ... into folder; index i of the strip at
// count first + i. `change` (if given) edits each frame before it is stored.
template <class Change>
void record(const std::wstring& folder, const strip& s, std::uint32_t first, int frames, int dx, int dy, double noise,
            unsigned seed, const std::string& session, Change change) {
    recording_database db;
    db.open(folder);
    cv::RNG rng(seed);
    for (int i = 0; i < frames; ++i) {
        cv::Mat f = s.frame(i, dx, dy, noise, rng);
        change(f, first + static_cast<std::uint32_t>(i));
        db.store_frame(f, first + static_cast<std::uint32_t>(i), 1700000000 + i / 10);
    }
    db.close(session, std::wstring(L"левый"));
}

inline void record(const std::wstring& folder, const strip& s, std::uint32_t first, int frames, int dx, int dy,
                   double noise, unsigned seed, const std::string& session) {
    record(folder, s, first, frames, dx, dy, noise, seed, session, [](cv::Mat&, std::uint32_t) {});
}

}  // namespace synthetic_runs
