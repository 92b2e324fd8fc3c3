#pragma once
// A video of a count range: H.264 in MP4 (FFmpeg's libraries), one video frame per stored
// frame in key order, at a chosen frame rate, optionally with the millimetre scale bar burned
// into every frame.
//
// Frames are decoded by TurboJPEG straight into the encoder's luma plane (stored frames are
// grey; the chroma planes stay neutral), so there is no colour conversion. A frame of another
// size than the first is scaled to it. A frame that does not decode repeats the previous
// picture (black before the first), so the video keeps the range's frame count and timing;
// such frames are counted in the result.
//
// The encoder is libx264 when FFmpeg has it; otherwise FFmpeg's own MPEG-4 Part 2 encoder
// (still MP4) and the result says so. Odd widths or heights are padded by one black line.
//
// The video is written under a hidden temporary name beside the file and renamed when whole;
// a cancel or a failure removes it. It gets the permissions of a newly created file (0666
// less the umask), as the exported frames do. Throws export_error (Russian text); one thread at a time.
#include <cstdint>
#include <filesystem>
#include <string>

#include "export/export_control.h"
#include "export/staging.h"

namespace leveldb {
class DB;
}

struct video_options {
    double fps = 25.0;  // 0.1 to 1000 frames per second
    bool scale_bar = false;
    double scale = 0.8;               // pixels per millimetre at 1:1 (the `scale` setting)
    std::string preset = "veryfast";  // libx264's speed preset
    int crf = 23;                     // libx264's constant quality (lower is better)
    std::string encoder;              // empty: libx264, else MPEG-4; a name forces that encoder
};

struct video_result {
    bool cancelled = false;
    std::uint64_t frames = 0;
    std::uint64_t undecodable = 0;  // frames that repeat the previous picture
    int width = 0;
    int height = 0;
    std::string encoder;  // the FFmpeg encoder used
};

// Writes the video under its temporary name; the returned output renames it on commit()
// (nothing to commit when cancelled).
video_result prepare_video(leveldb::DB& db, export_range range, const std::filesystem::path& file,
                           const video_options& options, const export_control& control, pending_output& output);

// prepare_video, then commit.
video_result export_video(leveldb::DB& db, export_range range, const std::filesystem::path& file,
                          const video_options& options, const export_control& control);

// The frame size the video of a first frame of width x height gets (even, as 4:2:0 needs).
inline int even_up(int v) { return v + (v & 1); }
