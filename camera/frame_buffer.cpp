#include "camera/frame_buffer.h"

#include <opencv2/core.hpp>

#include <cstring>
#include <mutex>

namespace {

// Significant bits of the 16-bit-container monochrome formats; other deep formats keep the
// top byte of their container.
int significant_bits(std::int64_t pixel_format) {
    switch (pixel_format) {
        case 0x01100003: return 10;  // Mono10
        case 0x01100005: return 12;  // Mono12
        case 0x01100025: return 14;  // Mono14
        default: return 16;
    }
}

void reduce_to_gray8(const std::uint8_t* src, std::size_t src_len, const frame_buffer& fb, cv::Mat& out) {
    const std::size_t pixels = static_cast<std::size_t>(out.total());
    std::uint8_t* dst = out.ptr<std::uint8_t>();
    const std::uint32_t bpp = fb.bits_per_pixel;
    if (bpp == 12) {
        // GigE Vision 10/12-bit packed: two pixels in three bytes, the first and third byte
        // hold the two pixels' most significant bits.
        for (std::size_t i = 0; i < pixels; ++i) {
            const std::size_t at = (i / 2) * 3 + ((i % 2) ? 2 : 0);
            dst[i] = at < src_len ? src[at] : 0;
        }
    } else if (bpp == 16) {
        const int shift = significant_bits(fb.pixel_format) - 8;
        for (std::size_t i = 0; i < pixels && 2 * i + 1 < src_len; ++i) {
            const unsigned v = src[2 * i] | (unsigned(src[2 * i + 1]) << 8);
            dst[i] = static_cast<std::uint8_t>(std::min(255u, v >> shift));
        }
    } else if (bpp % 8 == 0 && bpp > 8) {
        const std::size_t step = bpp / 8;
        for (std::size_t i = 0; i < pixels && (i + 1) * step <= src_len; ++i)
            dst[i] = src[i * step + step - 1];
    } else {
        // Unusual depths: take the byte that holds each pixel's first bit.
        for (std::size_t i = 0; i < pixels; ++i) {
            const std::size_t at = (i * bpp) / 8;
            dst[i] = at < src_len ? src[at] : 0;
        }
    }
}

}  // namespace

std::int64_t frame_byte_length(const frame_buffer& fb) {
    if (fb.width <= 0 || fb.height <= 0) return 0;
    return static_cast<std::int64_t>(fb.bits_per_pixel) * fb.width * fb.height / 8;
}

std::uint32_t bits_per_pixel_of(std::int64_t pixel_format) {
    const std::uint32_t occupied = static_cast<std::uint32_t>((pixel_format >> 16) & 0xFF);
    return occupied >= 8 ? occupied : 8;
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
    if (pixels) std::memset(out.ptr<std::uint8_t>(), 0, pixels);
    reduce_to_gray8(raw.data(), raw.size(), fb, out);
    return ts;
}
