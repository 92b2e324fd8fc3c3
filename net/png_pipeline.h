#pragma once
// png_pipeline: how the image data service turns what it found into the PNG it sends.
//
// A recorded frame arrives as its stored bytes (a JPEG, as the recorder wrote it) and leaves
// as an 8-bit three-channel PNG with the grey image in every channel; any other image (the
// placeholder frame) is encoded as it is, channel count kept. OpenCV's compression level 5;
// the fast writer picks its own level, never giving a larger file than OpenCV's.
//
// Two implementations with identical pixels: the OpenCV one (imdecode in colour, imencode)
// is the reference and the measure; the fast one decodes grey JPEGs to grey and writes
// the three channels itself.
//
// Thread safety: every member may be called from several threads at once; implementations
// keep per-thread state where they need any.
// Errors: from_stored() returns an empty vector when the bytes do not decode as an image;
// nothing throws for bad input.
#include <memory>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

class png_pipeline {
public:
    virtual ~png_pipeline() = default;

    // Stored frame bytes to a colour PNG; empty when they are not a decodable image.
    virtual std::vector<unsigned char> from_stored(std::string_view stored) const = 0;
    // An 8-bit image of 1 or 3 channels to PNG, channels kept; empty for an empty image.
    virtual std::vector<unsigned char> from_image(const cv::Mat& image) const = 0;
};

// OpenCV's cv::imdecode (colour) + cv::imencode(".png", IMWRITE_PNG_COMPRESSION 5).
std::unique_ptr<png_pipeline> make_opencv_png_pipeline();
// What the service uses.
std::unique_ptr<png_pipeline> make_fast_png_pipeline();
