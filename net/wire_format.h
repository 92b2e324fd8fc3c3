#pragma once
// Byte-level pieces shared by the service protocols: little-endian integers and NUL-ended
// text fields, each read strictly within its own field and within the bytes given.
// Pure functions; safe from any thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace wire {

// The text of the field [offset, offset + length) up to its first NUL byte; a field without
// NUL ends at its own end. Bytes beyond data are treated as absent (the text ends there).
inline std::string field_text(std::span<const std::uint8_t> data, std::size_t offset, std::size_t length) {
    std::string text;
    for (std::size_t i = offset; i < offset + length && i < data.size() && data[i] != 0; ++i)
        text.push_back(static_cast<char>(data[i]));
    return text;
}

// Unsigned 32-bit little-endian at offset; missing bytes count as zero.
inline std::uint32_t read_le32(std::span<const std::uint8_t> data, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        if (offset + i < data.size()) value |= static_cast<std::uint32_t>(data[offset + i]) << (8 * i);
    return value;
}

inline std::array<std::uint8_t, 4> le32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// Writes text into the field and leaves the rest of it as it is (zero in a fresh buffer).
// The caller checks that text fits, NUL included.
template <std::size_t N>
void put_text(std::array<std::uint8_t, N>& buffer, std::size_t offset, std::string_view text) {
    for (std::size_t i = 0; i < text.size() && offset + i < N; ++i)
        buffer[offset + i] = static_cast<std::uint8_t>(text[i]);
}

template <std::size_t N>
void put_le32(std::array<std::uint8_t, N>& buffer, std::size_t offset, std::uint32_t value) {
    const auto bytes = le32(value);
    for (std::size_t i = 0; i < 4 && offset + i < N; ++i) buffer[offset + i] = bytes[i];
}

}  // namespace wire
