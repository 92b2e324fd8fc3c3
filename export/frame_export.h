#pragma once
// The frames of a count range as files: each stored JPEG byte for byte under its frame key
// ("0000001005.jpg"), and index.csv with one line per frame (count, file name, bytes).
//
// The files are written into a hidden staging folder inside the target folder and moved to
// their names only when every frame is whole, index.csv last; a cancel or a failure removes
// the staging folder and leaves the target folder as it was (files already there under the
// same names are replaced only by a complete export). The target folder is created when
// missing. Throws export_error (Russian text); one thread at a time.
#include <cstdint>
#include <filesystem>

#include "export/export_control.h"
#include "export/staging.h"

namespace leveldb {
class DB;
}

struct frames_result {
    bool cancelled = false;
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
};

inline constexpr const char* frame_index_name = "index.csv";

// Writes every file under its temporary name; the returned output moves them into dir on
// commit() (nothing to commit when cancelled).
frames_result prepare_frames(leveldb::DB& db, export_range range, const std::filesystem::path& dir,
                             const export_control& control, pending_output& output);

// prepare_frames, then commit.
frames_result export_frames(leveldb::DB& db, export_range range, const std::filesystem::path& dir,
                            const export_control& control);
