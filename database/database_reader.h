#pragma once
// database_reader: read-only access to one recorded database (list loading, the viewer,
// frame lookups, the command-line tool).
//
// Construction opens the database for reading only (open_leveldb_read_only: no file in the
// folder changes, and other readers of the folder, in this process or another, coexist with
// it; a writer is kept out) or takes a read handle shared with others (reader_pool), and
// positions three iterators: first and current at the frame key of the dpp start value, last
// at the frame key of the dpp end value. A failure throws and leaves no reader:
// std::runtime_error with LevelDB's status text, or the parse error of a malformed value.
// access::maintain opens it for writing instead, as the list's scan needs for the two
// maintenance writes below (and only then).
//
// Ownership: owns the iterators and its share of the handle (destroyed current, last, first,
// handle, then what keeps a shared handle open).
//
// Thread safety: the getters, summary(), read_frame() and the stored-bytes lookups create
// their own iterators and may run on several threads at once; seek(), advance() and the
// current_* accessors use the shared current iterator and belong to one thread.
#include <cstdint>
#include <functional>
#include <vector>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "base/ldb_info.h"

namespace leveldb {
class DB;
class Iterator;
}  // namespace leveldb

struct read_handle;

class database_reader {
public:
    enum class access { read, maintain };
    explicit database_reader(const std::wstring& path, access how = access::read);
    // Over a read handle shared with other readers; keep (when given) is let go after this
    // reader's last use of the handle (a pool's lease).
    explicit database_reader(std::shared_ptr<read_handle> handle, std::shared_ptr<void> keep = {});
    ~database_reader();
    database_reader(const database_reader&) = delete;
    database_reader& operator=(const database_reader&) = delete;

    // Exact getters: the value only when the key itself exists.
    std::wstring session() const;      // default "нет данных"
    std::wstring orientation() const;  // default "нет данных"
    std::wstring side() const;         // default "нет данных"
    std::uint64_t count() const;       // default 0

    // At-or-after getters: the value of the first key at or after the name, whatever it is.
    std::uint32_t dpp_start() const;  // default 0
    std::uint32_t dpp_end() const;    // default 0
    std::int64_t time_start() const;  // default -1 (invalid)
    std::int64_t time_end() const;    // default -1 (invalid)
    std::wstring version() const;     // default empty

    // The list's summary; size is the approximate stored size of [first, last) in full; count
    // is "count" when stored, else the number of frame keys (one pass over the frames), and
    // then *counted (when given) is set true.
    ldb_info summary(bool* counted = nullptr) const;

    // The read handle, to share with another reader; null when opened to maintain.
    const std::shared_ptr<read_handle>& shared_handle() const { return handle_; }
    // True when the read-only open replayed a log into memory: a writable open would have
    // stored it as a level-0 table (the list's first start does that once).
    bool replayed_log() const;

    // Stores "count" = "%010u" of count (synced), as the close of a recording cut short would
    // have, so that the next summary reads one key instead of every frame; then settle().
    // Keys and values stay as they were. Throws std::runtime_error with LevelDB's text when
    // the write fails (always for a reader opened to read).
    void write_back_count(std::uint64_t count);

    // True when level 0 holds as many tables as make LevelDB start a compaction at every
    // open. A recording's close leaves its buffer in the log; the first open replays it into
    // level 0 (several tables when it is larger than a default buffer), and a short-lived open
    // (a list start, a lookup) abandons the compaction it started, so the pile stays.
    bool level0_at_compaction_trigger() const;
    // Moves the level-0 tables (the replayed log among them) down into the levels. Every
    // step's end values make each level-0 table span the metadata keys, so compacting one
    // key's range takes them all; in the levels below, only the last table of each. Changes
    // no key or value. Takes as long as rewriting those tables (0.03 s for a 2 GB recording,
    // 0.4 s for a 40 GB one, measured).
    void settle();

    // Moves current to the first key at or after the frame key of count.
    void seek(std::uint32_t count);
    // Decodes current's value (8-bit BGR); empty when current is invalid or not an image.
    cv::Mat current_frame() const;
    // Current's key (ten digits for a frame); empty when current is invalid.
    std::string current_key() const;
    // Current's stored bytes, unchanged; empty when current is invalid.
    std::string current_bytes() const;
    // Moves current to the next key while it is bytewise before last's key.
    void advance();

    // With a new iterator: the frame at or after count, decoded; empty when none decodes.
    cv::Mat read_frame(std::uint32_t count) const;
    // With a new iterator: the stored bytes of the first key at or after the frame key of
    // count, unchanged; nothing when there is no such key.
    std::optional<std::string> read_stored(std::uint32_t count) const;
    // With a new iterator: the counts of every stored frame, ascending. keep_going is asked
    // before each key; when it answers false the scan ends with what it has (a long run is
    // a long read, so a closing window must be able to stop it).
    std::vector<std::uint32_t> frame_counts(const std::function<bool()>& keep_going) const;
    // With a new iterator: hands over the stored frames with counts in [from, to], ascending,
    // one at a time (a range of whole frames can be far too large to hold at once).
    void each_stored(std::uint32_t from, std::uint32_t to,
                     const std::function<void(std::uint32_t count, const std::string& bytes)>& take) const;

private:
    void position();

    std::shared_ptr<void> keep_;             // let go last
    std::shared_ptr<read_handle> handle_;    // null when opened to maintain
    std::unique_ptr<leveldb::DB> writable_;  // set when opened to maintain
    leveldb::DB* db_ = nullptr;              // the one of the two in use
    std::unique_ptr<leveldb::Iterator> first_;
    std::unique_ptr<leveldb::Iterator> last_;
    std::unique_ptr<leveldb::Iterator> current_;
};
