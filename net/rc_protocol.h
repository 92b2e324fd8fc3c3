#pragma once
// The remote-control service's wire format.
//
// Command, 1024 bytes: 4 unused bytes; command code at 4, unsigned 32-bit little-endian;
// session code first part at 8 (20 bytes), second part at 28 (the remaining 996 bytes), each
// a NUL-ended byte string in the locale's multibyte encoding. Reply: 1024 zero bytes, sent for
// every full-size command once it has been handed to the window.
//
// Pure functions, no I/O; safe from any thread. Decoding never fails and never reads outside
// the bytes given: a part without NUL ends at its field's end.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

inline constexpr std::size_t rc_command_size = 1024;
inline constexpr std::size_t rc_reply_size = 1024;
inline constexpr std::size_t rc_code_offset = 4;
inline constexpr std::size_t rc_first_part_offset = 8;
inline constexpr std::size_t rc_first_part_size = 20;
inline constexpr std::size_t rc_second_part_offset = 28;
inline constexpr std::size_t rc_second_part_size = rc_command_size - rc_second_part_offset;

struct rc_command {
    std::uint32_t code = 0;  // 1 start recording, 2 stop, 3 new session, anything else: none
    std::string first;
    std::string second;

    bool operator==(const rc_command&) const = default;
};

rc_command decode_rc_command(std::span<const std::uint8_t> bytes);

// For clients: the 1024-byte command. Throws std::invalid_argument when a part does not fit
// its field with its NUL (first: 19 bytes at most, second: 995).
std::array<std::uint8_t, rc_command_size> encode_rc_command(const rc_command& command);
