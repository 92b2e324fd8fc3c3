#pragma once
// How the pixels of a GigE Vision pixel format sit in memory, for the code that reduces deep
// frames to 8 bits (live display, recording) and turns frames by 180 degrees.
//
// Pure functions over caller memory; every access stays inside the `size` bytes given.
#include <cstddef>
#include <cstdint>

enum class pixel_packing {
    whole_bytes,  // each pixel in bits_per_pixel / 8 whole bytes, little-endian
    gige_packed,  // GigE Vision "Packed" 10/12-bit: two pixels in three bytes; bytes 0 and 2
                  // hold the pixels' high 8 bits, byte 1 their low bits (first pixel's in the
                  // low nibble)
    lsb_packed,   // pixels follow each other bit by bit, least significant bit first ("p" formats)
};

pixel_packing packing_of(std::int64_t pixel_format, std::uint32_t bits_per_pixel);

// Bits that carry the value of a format stored in 16-bit containers (Mono10 and the 10-bit
// Bayer formats 10, Mono12 and the 12-bit Bayer formats 12, Mono14 14); 16 for any other.
int significant_bits(std::int64_t pixel_format);

// Bytes that `pixels` pixels of this layout occupy.
std::size_t packed_size(std::size_t pixels, std::int64_t pixel_format, std::uint32_t bits_per_pixel);

// The 8 most significant bits of each of `pixels` pixels of `src` (`size` bytes) into `dst`;
// pixels that `src` does not hold completely become 0.
void reduce_pixels_to_gray8(const std::uint8_t* src, std::size_t size, std::uint8_t* dst, std::size_t pixels,
                            std::int64_t pixel_format, std::uint32_t bits_per_pixel);

// Turns the first `pixels` pixels of `data` (`size` bytes) by 180 degrees in place. False,
// with nothing touched, when `size` is too short for them or the layout is not supported
// (pixels wider than 56 bits that are not whole bytes).
bool rotate_pixels_180(std::uint8_t* data, std::size_t size, std::size_t pixels, std::int64_t pixel_format,
                       std::uint32_t bits_per_pixel);
