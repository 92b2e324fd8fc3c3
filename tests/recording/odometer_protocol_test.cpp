#include "recording/odometer_protocol.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

std::vector<std::uint32_t> decode(int format, const std::vector<std::uint8_t>& bytes) {
    odometer_decoder d(format);
    std::vector<std::uint32_t> out;
    d.feed(bytes.data(), bytes.size(), [&](std::uint32_t c) { out.push_back(c); });
    return out;
}

template <std::size_t N>
void append(std::vector<std::uint8_t>& v, const std::array<std::uint8_t, N>& msg) {
    v.insert(v.end(), msg.begin(), msg.end());
}

}  // namespace

TEST(OdometerProtocol, FormatSettingSelectsSevenOnlyForExactText) {
    EXPECT_EQ(odometer_format_of(L"ДПП7"), 7);
    EXPECT_EQ(odometer_format_of(L"ДПП4"), 4);
    EXPECT_EQ(odometer_format_of(L"дпп7"), 4);
    EXPECT_EQ(odometer_format_of(L""), 4);
}

TEST(OdometerProtocol, Format4DecodesTheDocumentedBytes) {
    EXPECT_EQ(decode(4, {0x01, 0x42, 0x83, 0xC4}), std::vector<std::uint32_t>{1060993});
    // A stray byte tagged 11 in front slides out of the window.
    EXPECT_EQ(decode(4, {0xC7, 0x01, 0x42, 0x83, 0xC4}), std::vector<std::uint32_t>{1060993});
}

TEST(OdometerProtocol, Format7DecodesOnlyWithTheRightChecksum) {
    EXPECT_EQ(decode(7, {0x53, 0x04, 0x10, 0x27, 0x00, 0x00, 0x8E}), std::vector<std::uint32_t>{10000});
    EXPECT_TRUE(decode(7, {0x53, 0x04, 0x10, 0x27, 0x00, 0x00, 0x8F}).empty());
    // Wrong header bytes.
    EXPECT_TRUE(decode(7, {0x54, 0x04, 0x10, 0x27, 0x00, 0x00, 0x8F}).empty());
    EXPECT_TRUE(decode(7, {0x53, 0x05, 0x10, 0x27, 0x00, 0x00, 0x8F}).empty());
}

TEST(OdometerProtocol, EncodersRoundTripAndResynchroniseAfterGarbage) {
    for (int format : {4, 7}) {
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint32_t> sent;
        const std::uint32_t mask = format == 4 ? 0xFFFFFF : 0xFFFFFFFF;
        std::uint32_t counts[] = {0, 1, 63, 64, 4095, 0xFFFFFF, 0x1000000, 0xFFFFFFFF, 12345};
        for (std::uint32_t c : counts) {
            if (format == 4)
                append(bytes, encode_odometer4(c));
            else
                append(bytes, encode_odometer7(c));
            bytes.push_back(0xFF);  // garbage: tag 11 / not 'S'
            bytes.push_back(0x53);  // a false start of a format 7 header
            sent.push_back(c & mask);
        }
        EXPECT_EQ(decode(format, bytes), sent) << "format " << format;
    }
}

TEST(OdometerProtocol, MessagesOfTheOtherFormatAreIgnored) {
    std::vector<std::uint8_t> four, seven;
    for (std::uint32_t c = 100; c < 110; ++c) {
        append(four, encode_odometer4(c));
        append(seven, encode_odometer7(c));
    }
    EXPECT_TRUE(decode(7, four).empty());
    EXPECT_TRUE(decode(4, seven).empty());
    EXPECT_EQ(decode(4, four).size(), 10u);
    EXPECT_EQ(decode(7, seven).size(), 10u);
}

// Random input must never crash or read outside the given bytes (checked under ASan), and
// a valid message after any garbage is still found.
TEST(OdometerProtocol, RandomBytesNeverBreakTheDecoder) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        for (int format : {4, 7}) {
            std::vector<std::uint8_t> bytes(rng() % 300);
            for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
            odometer_decoder d(format);
            std::size_t decoded = 0;
            // Exact-size heap buffer so an overread shows under the address sanitizer.
            auto heap = std::make_unique<std::uint8_t[]>(bytes.size());
            std::copy(bytes.begin(), bytes.end(), heap.get());
            d.feed(heap.get(), bytes.size(), [&](std::uint32_t) { ++decoded; });
            EXPECT_LE(decoded, bytes.size() / 4);
            std::vector<std::uint32_t> got;
            if (format == 4) {
                auto m = encode_odometer4(4242);
                d.feed(m.data(), m.size(), [&](std::uint32_t c) { got.push_back(c); });
            } else {
                auto m = encode_odometer7(4242);
                d.feed(m.data(), m.size(), [&](std::uint32_t c) { got.push_back(c); });
            }
            ASSERT_FALSE(got.empty());
            EXPECT_EQ(got.back(), 4242u);
        }
    }
}
