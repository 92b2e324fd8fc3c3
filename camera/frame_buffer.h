#pragma once
// The one in-memory frame record of a running capture.
//
// One writer (the capture thread) overwrites `image` with the newest frame under the
// exclusive lock; readers (live display, write thread) copy out under the shared lock and
// do all further work outside it. There is no queue: a slow reader only misses frames.
//
// Geometry fields are set when the buffer is created, before any thread starts, and never
// change; they are read without the lock. `image` and `timestamp` are guarded by `lock`.
#include <cstdint>
#include <shared_mutex>
#include <vector>

struct frame_buffer {
    std::vector<std::uint8_t> image;   // guarded by lock; bits_per_pixel*width*height/8 bytes
    std::uint64_t timestamp = 0;       // guarded by lock; camera time stamp of `image`, 0 = none yet
    mutable std::shared_mutex lock;
    std::int64_t width = 640;
    std::int64_t height = 480;
    std::int64_t pixel_format = 0;
    std::uint32_t bits_per_pixel = 8;
};
