#pragma once
// The stored frames of one count range in key order, straight from an open LevelDB handle.
// The values are the stored bytes, unchanged. The iterator does not fill the block cache: an
// export reads each frame once.
//
// Construction throws export_error when the range is reversed or holds no frame, and the
// storage library's text (as export_error) when reading fails. One thread at a time.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "export/export_control.h"

namespace leveldb {
class DB;
class Iterator;
}  // namespace leveldb

class frame_cursor {
public:
    frame_cursor(leveldb::DB& db, export_range range);
    ~frame_cursor();
    frame_cursor(const frame_cursor&) = delete;
    frame_cursor& operator=(const frame_cursor&) = delete;

    bool valid() const { return valid_; }
    std::uint32_t count() const { return count_; }
    std::string_view key() const;    // ten digits
    std::string_view value() const;  // the stored JPEG
    // Moves to the next frame of the range; throws export_error on a read failure.
    void next();

    std::uint32_t first_count() const { return first_; }
    std::uint32_t last_count() const { return last_; }
    // Where the current count lies between the first and the last frame of the range.
    double fraction() const;

private:
    void settle();

    std::unique_ptr<leveldb::Iterator> it_;
    std::string end_key_;
    bool valid_ = false;
    std::uint32_t count_ = 0;
    std::uint32_t first_ = 0;
    std::uint32_t last_ = 0;
};

// "кадры с N по M" for messages.
std::string range_text(export_range range);
