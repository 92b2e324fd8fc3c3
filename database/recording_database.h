#pragma once
// recording_database: the writer of one recorded database (a LevelDB directory).
//
// Layout written (bytewise key order; frame keys are digits so they sort before metadata):
//   "version"     "1", on every open
//   "dpp_start"   "%010u" odometer count of the first frame, with the first frame
//   "time_start"  seconds since the epoch, signed decimal, with the first frame
//   "dpp_end"     "%010u" count of the latest frame, before every frame
//   "time_end"    seconds since the epoch, before every frame
//   "count"       "%010u" (64-bit, widens past 10 digits) number of frame writes, at close
//   "session"     session code, locale multibyte text, at a recording's open, on a session
//                 change and at close (so a recording cut short still names its session)
//   "side"        side, locale multibyte text, as "session"
//   "%010u"       frame key (odometer count) -> JPEG bytes, quality 85
//
// Durability: one recording step is one LevelDB write batch (start values, end values and the
// frame together), so the metadata is never ahead of the frames. A frame write is a sync point
// when none was one yet in this database or the sync interval has passed since the last one
// (one second by default): the database's durable_env is asked to sync the logs so far, on its
// own thread, and the write returns at once. Only when the previous sync point's sync has not
// run yet does a sync point wait for it (counted by sync_waits()): a disk that falls behind
// slows the recording rather than widening what a power cut takes. close() is a synced write;
// sync_pending() syncs the rest, and waits for it, when no further write comes. A power cut
// loses at most about the last interval of frames (two, while the disk falls behind). Storage
// goes through a durable_env of the database's own, over the environment the options name.
//
// Failure: a failed write ends the database for good: every later write throws the same text
// without reaching LevelDB (reads still work) until abandon() or close() drops the handle, so
// a torn log is never written on.
//
// Ownership: owns its LevelDB handle (and its environment when the options give none);
// destruction deletes the handle WITHOUT writing the closing keys (call close() for that).
//
// Thread safety: one thread, the owner, calls everything that opens, writes or closes (the
// write thread, for a recording). Any other thread may call is_open(), read_stored() and
// read_frame() meanwhile: they hold an internal reader/writer lock for the read alone, and the
// owner takes it only to put a new LevelDB handle in place or to take the old one out, never
// across a disk operation: the open and its first write, every frame write and sync, the
// closing write and LevelDB's close all happen outside it (LevelDB allows reads during
// writes). So a reader never meets a half-open or half-closed database and never waits for a
// sync. The getters and summary() are the owner's.
//
// Errors: every LevelDB failure throws std::runtime_error with LevelDB's status text (narrow,
// as Status::ToString() gives it); a stored value that does not parse throws the conversion
// library's error (boost::bad_lexical_cast, a std::exception) from the getters and summary().
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "base/ldb_info.h"
#include "database/database_layout.h"

class durable_env;

namespace leveldb {
class DB;
class Env;
class WriteBatch;
}  // namespace leveldb

struct recording_database_options {
    // Storage environment under the database's own durable_env; null: the system's. Must
    // outlive the database.
    leveldb::Env* env = nullptr;
    // Longest time between synced frame writes; zero syncs every frame write.
    std::chrono::milliseconds sync_interval{1000};
    // Monotonic clock of the sync policy; empty: std::chrono::steady_clock::now.
    std::function<std::chrono::steady_clock::time_point()> steady_now;
    // How LevelDB buffers and files the frames (never the stored format).
    frame_store_tuning storage = recording_storage_tuning();
};

class recording_database {
public:
    explicit recording_database(recording_database_options options = {});
    ~recording_database();
    recording_database(const recording_database&) = delete;
    recording_database& operator=(const recording_database&) = delete;

    // Opens (creating when missing) the database at path and writes "version" = "1". The
    // path is remembered even when the open fails; a failure throws and leaves it closed.
    // Opening while already open closes the old handle first, without writing closing keys.
    void open(const std::wstring& path);
    // A recording's open: as open(path), with "session" and "side" in the same batch.
    void open(const std::wstring& path, const std::string& session_code, const std::wstring& side);

    bool is_open() const { return open_.load(); }
    const std::wstring& path() const { return path_; }
    // Frames written since open; 0 after construction and after close.
    std::uint64_t frame_count() const { return frame_count_; }
    // True after a write failed; the handle then refuses every write.
    bool failed() const { return !failure_.empty(); }

    // Single puts of one key each; they do nothing while no database is open.
    void write_session(const std::wstring& session);  // converted to locale multibyte text
    void write_session(const std::string& session);   // already narrow: stored as is
    void write_side(const std::wstring& side);
    // A session change of an open recording: "session" and "side" in one batch.
    void write_session_and_side(const std::string& session, const std::wstring& side);
    void write_count();  // "%010u" of frame_count()
    void write_dpp_start(std::uint32_t count);
    void write_dpp_end(std::uint32_t count);
    void write_time_start(std::int64_t seconds);
    void write_time_end(std::int64_t seconds);
    // JPEG-encodes an 8-bit single-channel image (quality 85) under the frame key of count.
    // Does not touch frame_count().
    void write_frame(const cv::Mat& gray8, std::uint32_t count);

    // One recording step for a frame at odometer count, in one batch: the start values when
    // frame_count() is 0, dpp end, time end (now_seconds), the frame; then frame_count() grows
    // by one. Synced as the sync policy says. A throw leaves frame_count() unchanged.
    void store_frame(const cv::Mat& gray8, std::uint32_t count, std::int64_t now_seconds);
    // The same with the frame already JPEG-encoded (the caller encodes outside any lock).
    // Does nothing while no database is open.
    void store_encoded_frame(std::string_view jpeg, std::uint32_t count, std::int64_t now_seconds);

    // If open: writes session, side and count in one synced batch, then closes the handle,
    // clears the open flag and resets the frame count. A failed write drops the handle all the
    // same (see Failure) and then throws. After a failure it only drops the handle. Does
    // nothing when not open.
    void close(const std::string& session_code, const std::wstring& side);
    void close(const std::wstring& session_code, const std::wstring& side);
    // Drops the handle without writing anything (after a failure); the path is kept.
    void abandon();

    // Sync points and synced writes since construction (the sync policy at work); from any
    // thread.
    std::uint64_t synced_writes() const { return synced_writes_.load(); }
    // Sync points that waited for the previous one's sync since construction; from any thread.
    std::uint64_t sync_waits() const { return sync_waits_.load(); }
    // The storage environment the database writes through (its sync counters, its syncs).
    durable_env& storage() { return *env_; }

    // The frame sync policy syncs only when a later write comes. For a recording that goes
    // quiet (a train that stopped), the owner of the database syncs what is left:
    // sync_deadline() is when the oldest write not yet synced has waited the sync interval
    // (nothing while every write is synced, none is open, or after a failure), on the
    // steady_now clock; sync_pending() syncs every write so far and waits for it (no key
    // changes); a failed sync throws, ending the database, as a failed write does.
    std::optional<std::chrono::steady_clock::time_point> sync_deadline() const;
    void sync_pending();

    // At-or-after getters: the value of the first key at or after the name, whatever that
    // key is; the default when there is none (texts: empty, counts: 0, times: -1 = invalid).
    std::wstring session() const;
    std::wstring orientation() const;
    std::wstring side() const;
    std::wstring version() const;
    std::uint32_t dpp_start() const;
    std::uint32_t dpp_end() const;
    std::int64_t time_start() const;
    std::int64_t time_end() const;

    // The end-of-recording summary, taken while still open and before close(): times, odometer
    // range, version and size as a reader would see them, count = frame_count(); session, side
    // and orientation are left empty for the write thread to fill. When no key at all follows
    // "time_start" and missing_time_start is given, it receives
    // "Не задано время начала проезда" (to be posted as an error row); otherwise it is cleared.
    ldb_info summary(std::wstring* missing_time_start = nullptr) const;

    // Live-session frame read: the frame at or after count decoded as 8-bit BGR; when there is
    // none or it does not decode (or no database is open), the placeholder frame with the text
    // "Requested frame not found [<count>]".
    cv::Mat read_frame(std::uint32_t count) const;
    // Live-session read of the stored bytes (JPEG) of the frame at or after count, unchanged;
    // nothing when there is none or no database is open (then *was_open, if given, is false:
    // both are read at one moment). No decoding: the caller decodes.
    std::optional<std::string> read_stored(std::uint32_t count, bool* was_open = nullptr) const;

private:
    void open_with(const std::wstring& path, leveldb::WriteBatch& first);
    // Takes the handle out of readers' reach and closes it after letting go of the lock.
    void drop_handle();
    void put(const std::string& key, const std::string& value);
    // How a write reaches the disk: later (by a sync point or sync_pending()), through a sync
    // point, or synced before it returns.
    enum class durability { later, sync_point, synced };
    void write(leveldb::WriteBatch& batch, durability how);
    void write_to(leveldb::DB& db, leveldb::WriteBatch& batch, durability how);
    // Asks for a sync of everything written so far; waits for it when wait.
    void sync_point(bool wait);
    // Ends the database when a sync asked for has failed; waits for it first when wait.
    void check_sync(bool wait);
    void fail(const std::string& text);
    bool sync_due() const;
    std::chrono::steady_clock::time_point steady_now() const;

    recording_database_options options_;
    std::unique_ptr<durable_env> env_;  // outlives db_
    std::wstring path_;
    mutable std::shared_mutex handle_lock_;  // guards db_ and open_ against the owner's changes
                                             // while another thread reads through them
    std::unique_ptr<leveldb::DB> db_;        // replaced by the owner only, under handle_lock_
    std::uint64_t frame_count_ = 0;
    std::atomic<bool> open_{false};
    std::string failure_;  // LevelDB's text of the write that failed; empty while none did
    bool synced_since_open_ = false;
    bool unsynced_ = false;  // a write since the last synced one
    std::chrono::steady_clock::time_point first_unsynced_{};
    std::chrono::steady_clock::time_point last_sync_{};
    std::atomic<std::uint64_t> synced_writes_{0};
    std::atomic<std::uint64_t> sync_waits_{0};
    std::optional<std::uint64_t> sync_ticket_;  // the last sync point's sync, until known done
    std::vector<unsigned char> jpeg_;           // encoding buffer reused by write_frame / store_frame
    // A frame's batch is as large as its JPEG: reused, so a step allocates no batch buffer.
    std::unique_ptr<leveldb::WriteBatch> frame_batch_;
};
