#pragma once
// A closed recording of noise frames for the depot tests: noise does not compress, so a few
// frames of 1024 x 1024 make a folder of about a megabyte each, large enough for parts.
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include <opencv2/core.hpp>

#include "database/recording_database.h"

namespace test_support {

// Frames at counts 1000, 1007, 1014, ...
inline void make_noise_recording(const std::filesystem::path& folder, int frames, std::uint32_t seed,
                                 const std::string& session = "S-0042", const std::wstring& side = L"левый") {
    recording_database db;
    db.open(folder.wstring(), session, side);
    std::mt19937 random(seed);
    for (int i = 0; i < frames; ++i) {
        cv::Mat image(1024, 1024, CV_8UC1);
        for (int y = 0; y < image.rows; ++y)
            for (int x = 0; x < image.cols; ++x) image.at<uchar>(y, x) = static_cast<uchar>(random());
        db.store_frame(image, 1000 + static_cast<std::uint32_t>(i) * 7, 1700000000 + i);
    }
    db.close(session, side);
}

}  // namespace test_support
