#pragma once
// The odometer's serial protocol: two message formats and a decoder over a byte stream.
//
// Format 4 (setting "ДПП4"): four bytes, each a 2-bit tag (00, 01, 10, 11) above 6 bits of
// a 24-bit count, least significant group first. Format 7 (setting "ДПП7"): 'S', 4, the
// count as 32-bit little-endian, and the low 8 bits of the sum of the first six bytes.
//
// odometer_decoder is a plain value with no I/O: feed it bytes in arrival order and it
// reports each complete valid message of the configured format. It keeps two sliding
// windows (the last 4 and the last 7 bytes), so it synchronises on the first valid message
// and again after any garbled or stray byte; messages of the other format are ignored.
// Thread safety: none; one reader owns one decoder.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Which message format the setting text selects: exactly "ДПП7" is format 7, anything else 4.
int odometer_format_of(const std::wstring& setting);

// One message in each format. encode_odometer4 keeps the low 24 bits of count.
std::array<std::uint8_t, 4> encode_odometer4(std::uint32_t count);
std::array<std::uint8_t, 7> encode_odometer7(std::uint32_t count);

class odometer_decoder {
public:
    // format: 4 or 7 (any other value is treated as 4, as the setting is).
    explicit odometer_decoder(int format);

    int format() const { return format_; }

    // Takes the next received byte; returns the count when it completes a valid message
    // of the configured format.
    std::optional<std::uint32_t> push(std::uint8_t byte);

    // Feeds size bytes in order, calling on_count(count) for every decoded message. Never
    // reads outside [data, data + size).
    template <class F>
    void feed(const std::uint8_t* data, std::size_t size, F&& on_count) {
        for (std::size_t i = 0; i < size; ++i)
            if (auto count = push(data[i])) on_count(*count);
    }

private:
    // A window that keeps at most N bytes, dropping from the front; oldest byte first.
    template <std::size_t N>
    struct window {
        std::array<std::uint8_t, N> bytes{};
        std::size_t size = 0;
        void append(std::uint8_t b);
        void clear() { size = 0; }
    };

    int format_;
    window<4> window4_;
    window<7> window7_;
};
