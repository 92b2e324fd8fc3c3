#include "recording/odometer_protocol.h"

#include <algorithm>

int odometer_format_of(const std::wstring& setting) { return setting == L"ДПП7" ? 7 : 4; }

std::array<std::uint8_t, 4> encode_odometer4(std::uint32_t count) {
    std::array<std::uint8_t, 4> out{};
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>((i << 6) | ((count >> (6 * i)) & 0x3F));
    return out;
}

std::array<std::uint8_t, 7> encode_odometer7(std::uint32_t count) {
    std::array<std::uint8_t, 7> out{0x53,
                                    0x04,
                                    static_cast<std::uint8_t>(count),
                                    static_cast<std::uint8_t>(count >> 8),
                                    static_cast<std::uint8_t>(count >> 16),
                                    static_cast<std::uint8_t>(count >> 24),
                                    0};
    unsigned sum = 0;
    for (int i = 0; i < 6; ++i) sum += out[i];
    out[6] = static_cast<std::uint8_t>(sum);
    return out;
}

template <std::size_t N>
void odometer_decoder::window<N>::append(std::uint8_t b) {
    if (size == N) {
        std::copy(bytes.begin() + 1, bytes.end(), bytes.begin());
        --size;
    }
    bytes[size++] = b;
}

odometer_decoder::odometer_decoder(int format) : format_(format == 7 ? 7 : 4) {}

std::optional<std::uint32_t> odometer_decoder::push(std::uint8_t byte) {
    // Both windows see every byte whatever the format, so a format change in the stream
    // never leaves a stale window behind.
    window4_.append(byte);
    window7_.append(byte);

    if (format_ == 4 && window4_.size == 4) {
        const auto& b = window4_.bytes;
        bool tags_ok = true;
        for (unsigned i = 0; i < 4; ++i) tags_ok = tags_ok && (b[i] >> 6) == i;
        if (tags_ok) {
            const std::uint32_t count = std::uint32_t(b[3] & 0x3F) << 18 | std::uint32_t(b[2] & 0x3F) << 12 |
                                        std::uint32_t(b[1] & 0x3F) << 6 | (b[0] & 0x3F);
            window4_.clear();
            return count;
        }
    }
    if (format_ == 7 && window7_.size == 7) {
        const auto& b = window7_.bytes;
        const auto sum = static_cast<std::uint8_t>(b[0] + b[1] + b[2] + b[3] + b[4] + b[5]);
        if (b[0] == 0x53 && b[1] == 0x04 && b[6] == sum) {
            const std::uint32_t count =
                std::uint32_t(b[2]) | std::uint32_t(b[3]) << 8 | std::uint32_t(b[4]) << 16 | std::uint32_t(b[5]) << 24;
            window7_.clear();
            return count;
        }
    }
    return std::nullopt;
}
