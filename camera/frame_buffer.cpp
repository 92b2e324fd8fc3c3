#include "camera/frame_buffer.h"

#include "camera/pixel_layout.h"

#include <opencv2/core.hpp>

#include <cstring>
#include <mutex>

namespace {

// A pixel format code (GenICam's numbering) holds the bits one pixel occupies in its third byte.
constexpr int occupied_bits_shift = 16;
constexpr std::int64_t occupied_bits_mask = 0xFF;
// A code that gives fewer bits (or none) is taken for an 8-bit format.
constexpr std::uint32_t least_bits_per_pixel = 8;

}  // namespace

std::int64_t frame_byte_length(const frame_buffer& fb) {
    if (fb.width <= 0 || fb.height <= 0) return 0;
    return static_cast<std::int64_t>(fb.bits_per_pixel) * fb.width * fb.height / 8;
}

std::uint32_t bits_per_pixel_of(std::int64_t pixel_format) {
    const std::uint32_t occupied =
        static_cast<std::uint32_t>((pixel_format >> occupied_bits_shift) & occupied_bits_mask);
    return occupied >= least_bits_per_pixel ? occupied : least_bits_per_pixel;
}

std::uint64_t copy_frame_gray8(const frame_buffer& fb, cv::Mat& out) {
    const int rows = fb.height > 0 ? static_cast<int>(fb.height) : 0;
    const int cols = fb.width > 0 ? static_cast<int>(fb.width) : 0;
    if (out.rows != rows || out.cols != cols || out.type() != CV_8UC1) out.create(rows, cols, CV_8UC1);
    const std::size_t pixels = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);

    if (fb.bits_per_pixel == 8) {
        std::shared_lock<std::shared_mutex> lock(fb.lock);
        const std::size_t n = std::min(pixels, fb.image.size());
        if (n) std::memcpy(out.ptr<std::uint8_t>(), fb.image.data(), n);
        if (n < pixels) std::memset(out.ptr<std::uint8_t>() + n, 0, pixels - n);
        return fb.timestamp;
    }
    // Deeper frames: copy raw under the lock, reduce outside it.
    thread_local std::vector<std::uint8_t> raw;
    std::uint64_t ts;
    {
        std::shared_lock<std::shared_mutex> lock(fb.lock);
        raw.assign(fb.image.begin(), fb.image.end());
        ts = fb.timestamp;
    }
    reduce_pixels_to_gray8(raw.data(), raw.size(), out.ptr<std::uint8_t>(), pixels, fb.pixel_format, fb.bits_per_pixel);
    return ts;
}
