#pragma once
// The picture of the simulated camera, drawn cheaply.
//
// Aravis's fake camera fills each frame pixel by pixel with a diagonal ramp: pixel (x, y) of
// frame f is ((x + y + f) mod 255) * scale, clamped to 0..255, where scale = 1 + gain +
// log10(exposure_us / 10000). At 1920 x 1200 and 25 frames a second that loop alone took a
// sixth of a core, more than the rest of the program while capturing, which a real camera
// does in its own hardware. Every row of the ramp is a window into one precomputed line, so
// the same picture costs one copy per row.
#include <cstddef>
#include <cstdint>
#include <vector>

struct ramp_line {
    std::vector<std::uint8_t> values;  // the ramp's value at k = 0 .. width + 254
    std::uint32_t width = 0;
    double scale = 0;
};

// Fills width x height 8-bit pixels (rows without padding) at `data` with the ramp of frame
// `frame_id`; `line` is the caller's cache, rebuilt when the width or scale changed. Writes
// nothing when `bytes` is smaller than width * height.
void fill_diagonal_ramp(std::uint8_t* data, std::size_t bytes, std::uint32_t width, std::uint32_t height,
                        std::uint64_t frame_id, double scale, ramp_line& line);

// The ramp's scale for an exposure time in microseconds and a raw gain, as the fake camera
// computes it.
double ramp_scale(std::uint32_t exposure_us, std::uint32_t gain);

typedef struct _ArvFakeCamera ArvFakeCamera;
typedef struct _ArvBuffer ArvBuffer;

// Makes `camera` draw 8-bit mono frames with fill_diagonal_ramp, or with the under-car scene
// (camera/undercar_scene.h) when undercar is true (mono8 true), or go back to its own
// per-pixel ramp (false, for any other pixel format). The caches live as long as the camera.
// The fake camera swaps patterns under its own lock, so a capture may be running.
void use_fast_pattern(ArvFakeCamera* camera, bool mono8, bool undercar);

// A fill callback cannot tell Aravis how many bytes it wrote (only the fake camera's own
// pattern can), so a buffer drawn with the fast ramp reports none received. The bytes it does
// hold: width x height for a whole 8-bit mono frame, at most `block_size`; 0 otherwise.
std::size_t drawn_bytes(ArvBuffer* buffer, std::size_t block_size);
