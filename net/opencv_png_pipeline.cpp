#include "net/png_pipeline.h"

#include <opencv2/imgcodecs.hpp>

#include "database/frame_image.h"

namespace {

class opencv_png_pipeline : public png_pipeline {
public:
    std::vector<unsigned char> from_stored(std::string_view stored) const override {
        return from_image(decode_frame(stored));
    }

    std::vector<unsigned char> from_image(const cv::Mat& image) const override {
        std::vector<unsigned char> png;
        if (image.empty()) return png;
        cv::imencode(".png", image, png, {cv::IMWRITE_PNG_COMPRESSION, 5});
        return png;
    }
};

}  // namespace

std::unique_ptr<png_pipeline> make_opencv_png_pipeline() { return std::make_unique<opencv_png_pipeline>(); }
