#pragma once
// The image data service's wire format.
//
// Request, 1024 bytes: session code first part at 0 (20 bytes), second part at 20 (16 bytes),
// each a NUL-ended byte string in the encoding of stored session codes; odometer count at 36,
// unsigned 32-bit little-endian; the rest unused. Response: N as 4 bytes little-endian, then
// N bytes of PNG; N = 0 (just 4 zero bytes) when there is no image.
//
// Pure functions, no I/O; safe from any thread. Decoding never fails and never reads outside
// the bytes given: a part without NUL ends at its field's end.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

inline constexpr std::size_t image_request_size = 1024;
inline constexpr std::size_t image_first_part_offset = 0;
inline constexpr std::size_t image_first_part_size = 20;
inline constexpr std::size_t image_second_part_offset = 20;
inline constexpr std::size_t image_second_part_size = 16;
inline constexpr std::size_t image_count_offset = 36;

struct image_request {
    std::string first;   // session code, first part
    std::string second;  // second part; empty means "the recording in progress"
    std::uint32_t count = 0;

    bool operator==(const image_request&) const = default;
};

image_request decode_image_request(std::span<const std::uint8_t> bytes);

// For clients: the 1024-byte request. Throws std::invalid_argument when a part does not fit
// its field with its NUL (first: 19 bytes at most, second: 15).
std::array<std::uint8_t, image_request_size> encode_image_request(const image_request& request);

// The response for png (empty: no image): length prefix and bytes.
std::vector<std::uint8_t> image_response(std::span<const std::uint8_t> png);
