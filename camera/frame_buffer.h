#pragma once
// The one in-memory frame record of a running capture.
//
// One writer (the capture thread) overwrites `image` with the newest frame under the
// exclusive lock; readers (live display, the image service's live frames) copy out under the
// shared lock and do all further work outside it. A slow reader only misses frames; the
// recording does not read here, it has every frame in its own queue (recording_queue.h).
//
// Geometry fields are set when the buffer is created, before any thread starts, and never
// change; they are read without the lock. `image` and `timestamp` are guarded by `lock`.
#include <cstdint>
#include <shared_mutex>
#include <vector>

struct frame_buffer {
    std::vector<std::uint8_t> image;  // guarded by lock; bits_per_pixel*width*height/8 bytes
    std::uint64_t timestamp = 0;      // guarded by lock; camera time stamp of `image`, 0 = none yet
    mutable std::shared_mutex lock;
    std::int64_t width = 640;
    std::int64_t height = 480;
    std::int64_t pixel_format = 0;
    std::uint32_t bits_per_pixel = 8;
};

namespace cv {
class Mat;
}

// Byte length of `image`: bits_per_pixel * width * height / 8 in signed 64-bit arithmetic
// (0 for nonsensical geometry).
std::int64_t frame_byte_length(const frame_buffer& fb);

// bits 16..23 of a GigE Vision pixel format when 8 or more, otherwise 8.
std::uint32_t bits_per_pixel_of(std::int64_t pixel_format);

// Copies the newest frame out under the shared lock into `out` as one 8-bit channel of
// height rows and width columns, and returns its time stamp. `out` is (re)created whenever
// its size or type differs, so a copy never exceeds it. Deeper pixels (10/12/14/16-bit,
// packed or not) are reduced to their 8 most significant bits; the lock is held only for
// the copy of the raw bytes when a reduction is needed, never for encoding or display.
std::uint64_t copy_frame_gray8(const frame_buffer& fb, cv::Mat& out);

// Creates the frame buffer of an open camera (a CAM_HANDLE of camera/jai_sdk.h): reads the
// integer features "Width", "Height" and "PixelFormat" in that order, derives bits_per_pixel
// and sizes `image` with zeros. Throws std::runtime_error "Не удалось прочитать ширину кадра.",
// "Не удалось прочитать высоту кадра." or "Не удалось прочитать формат пикселей." when a read fails, and
// "Недопустимый размер кадра." when the geometry gives no image or one of 2 GiB or more.
#include <memory>
std::unique_ptr<frame_buffer> make_frame_buffer(void* camera);
