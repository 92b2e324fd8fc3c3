#pragma once
// png_writer: 8-bit PNG files, compressed with libdeflate into a single IDAT,
// each row with the filter that gives the smallest sum of absolute differences.
//
// A grey plane can be written as one grey channel or as three equal RGB channels; the
// latter filters the grey plane once and repeats each filtered byte, which gives exactly
// the bytes of filtering the expanded RGB rows, at a third of the work.
//
// Results that come out small (tiny or nearly empty images) are compressed a second time
// with zlib, and the smaller stream is kept: libdeflate wins on camera frames, zlib on those.
//
// Thread safety: write_png() may be called from several threads at once; each thread keeps
// its own compressor and buffers, kept between calls so that repeated frames of one size
// allocate nothing but the returned file.
// Errors: an empty result for an empty source or one too large for a PNG file; nothing
// throws but std::bad_alloc.
#include <cstddef>
#include <vector>

enum class png_layout {
    grey,         // 1 byte a pixel, written as a grey PNG
    grey_as_rgb,  // 1 byte a pixel, written as RGB with the grey value in every channel
    rgb,          // 3 bytes a pixel, R G B
    bgr,          // 3 bytes a pixel, B G R (OpenCV's order), written as RGB
};

struct png_source {
    const unsigned char* pixels = nullptr;  // first byte of the top row; not owned
    int width = 0;
    int height = 0;
    std::size_t stride = 0;  // bytes from one row to the next
    png_layout layout = png_layout::grey;
};

// When the zlib pass runs besides libdeflate's: only for small results, or for every image
// (for images off the hot path, where the smallest file matters more than the time).
enum class zlib_pass { when_small, always };

// `level` is libdeflate's, 0 (stored) to 12 (smallest, slowest); empty result outside that.
std::vector<unsigned char> write_png(const png_source& source, int level, zlib_pass pass = zlib_pass::when_small);
