#include "net/jpeg_decoder.h"

#include <climits>
#include <cstring>
#include <stdexcept>

#include <turbojpeg.h>

namespace {

// True when an APP1 segment before the scan carries Exif data. Such a frame is not one the
// recorder wrote, and a general decoder may apply its orientation, so it goes there.
bool has_exif(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t i = 2;  // after SOI
    while (i + 4 <= bytes.size()) {
        if (byte(i) != 0xFF) return false;
        const unsigned marker = byte(i + 1);
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) return false;  // scan or end: no more headers
        const std::size_t length = std::size_t(byte(i + 2)) << 8 | byte(i + 3);
        if (length < 2) return false;
        if (marker == 0xE1 && length >= 8 && i + 10 <= bytes.size() &&
            std::memcmp(bytes.data() + i + 4, "Exif\0\0", 6) == 0)
            return true;
        i += 2 + length;
    }
    return false;
}

}  // namespace

jpeg_decoder::jpeg_decoder() : handle_(tjInitDecompress()) {
    if (!handle_) throw std::runtime_error(tjGetErrorStr2(nullptr));
}

jpeg_decoder::~jpeg_decoder() { tjDestroy(handle_); }

jpeg_decoder::result jpeg_decoder::decode_grey(std::string_view jpeg, std::vector<unsigned char>& pixels) {
    result r;
    if (jpeg.size() < 4 || jpeg.size() > static_cast<std::size_t>(INT_MAX)) return r;
    const auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
    // The signature OpenCV looks for: without it a general decoder would not take the data
    // for a JPEG at all.
    if (data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF) return r;

    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle_, data, static_cast<unsigned long>(jpeg.size()), &width, &height, &subsampling,
                            &colorspace) != 0)
        return r;
    if (width <= 0 || height <= 0) return r;
    if (std::uint64_t(width) * std::uint64_t(height) > max_pixels) {
        r.what = outcome::too_large;
        return r;
    }
    if (colorspace != TJCS_GRAY || has_exif(jpeg)) return r;

    pixels.resize(std::size_t(width) * std::size_t(height));
    // Never TJFLAG_FASTDCT: its rounding differs from the default decode. Warnings (damaged
    // data) count as failure: the general decoder then decides what such data gives.
    if (tjDecompress2(handle_, data, static_cast<unsigned long>(jpeg.size()), pixels.data(), width, width, height,
                      TJPF_GRAY, TJFLAG_ACCURATEDCT) != 0)
        return r;
    r.what = outcome::decoded;
    r.width = width;
    r.height = height;
    return r;
}
