#pragma once
// What a stored frame is: a JPEG of the camera's 8-bit grey image (quality 85), decoded for
// showing and serving as 8-bit three-channel; and the placeholder drawn where there is no
// frame to show. Free functions without state; safe from any thread (LevelDB handles allow
// concurrent reads). Where the frames are stored is database/database_layout.h.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

namespace leveldb {
class DB;
}

// JPEG-encodes an 8-bit single-channel image as every stored frame is (quality 85) into out,
// reusing its capacity. Throws std::runtime_error("JPEG encoding failed").
void encode_frame(const cv::Mat& gray8, std::vector<unsigned char>& out);

// Decodes stored frame bytes as 8-bit three-channel (grey in all channels); empty when the
// bytes are not an image.
cv::Mat decode_frame(std::string_view bytes);
// Reads the first key at or after the frame key of count with a new iterator and decodes its
// value; empty when there is no key or it does not decode.
cv::Mat read_frame_at_or_after(leveldb::DB& db, std::uint32_t count);

// 640 x 480 black 8-bit single-channel image with text drawn in white at (15, 15).
cv::Mat make_placeholder_frame(const std::string& text);
