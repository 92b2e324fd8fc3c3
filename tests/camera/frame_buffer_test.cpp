#include "camera/frame_buffer.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

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
