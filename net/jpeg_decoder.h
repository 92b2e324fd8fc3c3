#pragma once
// jpeg_decoder: decodes the single-channel JPEGs the recorder stores straight to their grey
// plane with TurboJPEG, using the accurate integer DCT, so the pixels equal those of
// libjpeg's default decode (what OpenCV's imdecode gives).
//
// Anything else (colour JPEGs, JPEGs carrying Exif data, which a general decoder may turn by
// their orientation, damaged data that decodes only with warnings, other formats) is left to
// the caller's general decoder: decode_grey() then answers `other` and fills nothing.
//
// Ownership: the object owns one TurboJPEG handle. Thread safety: none; use one object per
// thread. Errors: construction throws std::runtime_error when TurboJPEG cannot make a handle;
// decode_grey() never throws for bad input and never reads outside `jpeg`.
#include <cstdint>
#include <string_view>
#include <vector>

class jpeg_decoder {
public:
    enum class outcome {
        decoded,    // `pixels` holds width x height grey bytes, rows without padding
        too_large,  // the frame header claims more than max_pixels: refuse, do not decode
        other,      // not a clean grey JPEG: for the general decoder to judge
    };
    struct result {
        outcome what = outcome::other;
        int width = 0;
        int height = 0;
    };

    // Far beyond any camera frame: larger headers are damage, and decoding them would
    // allocate gigabytes for a few stored bytes.
    static constexpr std::uint64_t max_pixels = std::uint64_t(1) << 26;

    jpeg_decoder();
    ~jpeg_decoder();
    jpeg_decoder(const jpeg_decoder&) = delete;
    jpeg_decoder& operator=(const jpeg_decoder&) = delete;

    // Decodes `jpeg` into `pixels` (resized as needed; its capacity is kept between calls).
    result decode_grey(std::string_view jpeg, std::vector<unsigned char>& pixels);

private:
    void* handle_;  // tjhandle
};
