#include "camera/frame_buffer.h"
#include "camera/pixel_layout.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <vector>

namespace {

TEST(FrameBuffer, BitsPerPixelFromOccupiedBitsByte) {
    EXPECT_EQ(bits_per_pixel_of(0x01080001), 8u);   // Mono8
    EXPECT_EQ(bits_per_pixel_of(0x01000001), 8u);   // byte 0 still gives 8
    EXPECT_EQ(bits_per_pixel_of(0x01100007), 16u);  // Mono16
    EXPECT_EQ(bits_per_pixel_of(0x010C0006), 12u);  // Mono12Packed
}

TEST(FrameBuffer, CopyGray8ReducesDeepPixelsToTheirMostSignificantBits) {
    frame_buffer fb;
    fb.width = 3;
    fb.height = 1;
    fb.pixel_format = 0x01100005;  // Mono12 in 16-bit containers
    fb.bits_per_pixel = bits_per_pixel_of(fb.pixel_format);
    ASSERT_EQ(frame_byte_length(fb), 6);
    fb.image = {0xFF, 0x0F, 0x00, 0x08, 0x10, 0x00};  // 4095, 2048, 16
    fb.timestamp = 77;
    cv::Mat out;
    EXPECT_EQ(copy_frame_gray8(fb, out), 77u);
    ASSERT_EQ(out.rows, 1);
    ASSERT_EQ(out.cols, 3);
    EXPECT_EQ(out.at<std::uint8_t>(0, 0), 255);
    EXPECT_EQ(out.at<std::uint8_t>(0, 1), 128);
    EXPECT_EQ(out.at<std::uint8_t>(0, 2), 1);
}

TEST(FrameBuffer, CopyGray8RecreatesADestinationOfAnotherSize) {
    frame_buffer fb;
    fb.width = 4;
    fb.height = 2;
    fb.image.assign(8, 9);
    cv::Mat out(480, 640, CV_8UC1, cv::Scalar(0));
    copy_frame_gray8(fb, out);
    EXPECT_EQ(out.rows, 2);
    EXPECT_EQ(out.cols, 4);
    EXPECT_EQ(out.at<std::uint8_t>(1, 3), 9);

    fb.image.resize(3);  // a short image never reads past its end
    copy_frame_gray8(fb, out);
    EXPECT_EQ(out.at<std::uint8_t>(0, 2), 9);
    EXPECT_EQ(out.at<std::uint8_t>(1, 3), 0);
}

}  // namespace

namespace {

// Two 12-bit pixels 0xABC and 0x123 in each packing, and what they become.
TEST(PixelLayout, PackedPixelsReduceToTheirHighBitsAndTurnWhole) {
    constexpr std::int64_t mono12_gige = 0x010C0006, mono12p = 0x010C0047, mono10p = 0x010A0046;
    std::uint8_t gige[] = {0xAB, 0x3C, 0x12};
    std::uint8_t lsb[] = {0xBC, 0x3A, 0x12};
    std::uint8_t gray[2] = {};
    reduce_pixels_to_gray8(gige, 3, gray, 2, mono12_gige, 12);
    EXPECT_EQ(gray[0], 0xAB);
    EXPECT_EQ(gray[1], 0x12);
    reduce_pixels_to_gray8(lsb, 3, gray, 2, mono12p, 12);
    EXPECT_EQ(gray[0], 0xAB);
    EXPECT_EQ(gray[1], 0x12);

    ASSERT_TRUE(rotate_pixels_180(gige, 3, 2, mono12_gige, 12));
    EXPECT_EQ(std::vector<std::uint8_t>(gige, gige + 3), (std::vector<std::uint8_t>{0x12, 0xC3, 0xAB}));
    ASSERT_TRUE(rotate_pixels_180(lsb, 3, 2, mono12p, 12));
    EXPECT_EQ(std::vector<std::uint8_t>(lsb, lsb + 3), (std::vector<std::uint8_t>{0x23, 0xC1, 0xAB}));

    // Three 10-bit pixels 0x3FF, 0x001, 0x200 (30 bits in 4 bytes), turned: 0x200, 0x001, 0x3FF.
    std::uint8_t ten[] = {0xFF, 0x07, 0x00, 0x20};
    std::uint8_t three[3] = {};
    reduce_pixels_to_gray8(ten, 4, three, 3, mono10p, 10);
    EXPECT_EQ(std::vector<std::uint8_t>(three, three + 3), (std::vector<std::uint8_t>{0xFF, 0x00, 0x80}));
    ASSERT_TRUE(rotate_pixels_180(ten, 4, 3, mono10p, 10));
    reduce_pixels_to_gray8(ten, 4, three, 3, mono10p, 10);
    EXPECT_EQ(std::vector<std::uint8_t>(three, three + 3), (std::vector<std::uint8_t>{0x80, 0x00, 0xFF}));
    EXPECT_EQ(ten[3] >> 6, 0) << "bits past the last pixel untouched";

    // An odd count in the GigE packing: the last pixel has a group of two bytes.
    std::uint8_t odd[] = {0x11, 0x21, 0x22, 0x33, 0x03};
    ASSERT_TRUE(rotate_pixels_180(odd, 5, 3, mono12_gige, 12));
    reduce_pixels_to_gray8(odd, 5, three, 3, mono12_gige, 12);
    EXPECT_EQ(std::vector<std::uint8_t>(three, three + 3), (std::vector<std::uint8_t>{0x33, 0x22, 0x11}));
}

TEST(PixelLayout, ShortDataIsNeverReadOrWrittenPast) {
    std::uint8_t data[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::uint8_t gray[4] = {9, 9, 9, 9};
    // Four 12-bit pixels need 6 bytes: the fourth is missing and reads as 0.
    reduce_pixels_to_gray8(data, 5, gray, 4, 0x010C0047, 12);
    EXPECT_EQ(std::vector<std::uint8_t>(gray, gray + 4), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0}));
    EXPECT_FALSE(rotate_pixels_180(data, 5, 4, 0x010C0047, 12));
    EXPECT_FALSE(rotate_pixels_180(data, 5, 4, 0x010C0006, 12));
    EXPECT_FALSE(rotate_pixels_180(data, 5, 3, 0x01100007, 16));
    EXPECT_EQ(data[0], 0xFF);

    // Bayer 12-bit in 16-bit containers keeps its own top bits: 4095 is white.
    std::uint8_t bayer[] = {0xFF, 0x0F};
    reduce_pixels_to_gray8(bayer, 2, gray, 1, 0x01100011, 16);
    EXPECT_EQ(gray[0], 255);
}

}  // namespace
