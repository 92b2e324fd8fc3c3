#pragma once
// The recording logic of the write thread, without its thread or I/O: the recording step
// run for every odometer message, the session code and its changes, and the end-of-run
// summary and close.
//
// Every database closed (a count that went backwards, a session change, the end) is reported
// with EVT_DATABASE_INFO when it holds frames, so the list and the image service know it at
// once; its size is read back from the closed database, as a scan reads it.
//
// Recording step (count N, format F): a count below the previous one closes the current
// database ("Сброс ДПП: %1% → %2%"); with no database open one is opened in a folder of
// the write path named by the local time "%Y.%m.%d %H.%M.%S" (with "_2", "_3", ... when that
// name is taken, so a closed recording is never reopened), its session and side written at
// once; the newest frame is copied out of the frame buffer and, when its camera time stamp
// is new, JPEG-encoded and stored under N in one write batch; then EVT_RECORD_STATUS
// "ДПП[F]: N Записано кадров: <frames in the current database>".
//
// Faults end the recording of this session for good (later steps do nothing, halted()):
//   - a failed write: the handle is dropped unwritten, the database is reported
//     (EVT_DATABASE_INFO) when it holds frames, an error row names it and LevelDB's text,
//     status field 2 says the recording stopped;
//   - the disk running low: one error row and a status field 3 text the first time the
//     free space is low; when it is exhausted the database is closed and reported, an error
//     row and status field 2 say the recording stopped (disk_space_guard has the levels).
//
// Ownership: the database, the frame buffer and the sink are the caller's and must outlive
// the object (the program's database is the window's live recording, read by the image
// service meanwhile).
// Thread safety: step(), finish() and set_session_code() run on one thread at a time (the
// write thread's loop), which is the database's owner; session_code() and halted() may be
// called from any thread. Other threads read the database through its own lock, which no
// disk operation holds (see recording_database.h).
// Errors: a database that cannot be opened throws std::runtime_error (LevelDB's text) out of
// step(); failed writes are handled as above and do not throw.
#include "base/thread_message.h"
#include "database/recording_database.h"
#include "recording/disk_space_guard.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct frame_buffer;

class recording_session {
public:
    // Seconds since the epoch; tests give their own clock.
    using clock = std::function<std::time_t()>;

    // space: the free space query of the disk guard; empty: the write path's volume.
    recording_session(
        event_sink_ptr sink, std::wstring write_path, std::wstring side, std::string session_code, frame_buffer* frame,
        recording_database& db, clock now = [] { return std::time(nullptr); }, disk_space_guard::query space = {},
        disk_space_limits limits = {});

    void step(std::uint32_t count, int format);
    // The same step with the frame already paired and encoded (the recording pipeline's
    // writer): jpeg null is a position without a new frame; now is the message's arrival,
    // began when the step's time started (default: now). True when the frame was stored.
    bool step_encoded(std::uint32_t count, int format, const std::string_view* jpeg, std::time_t now,
                      std::optional<std::chrono::steady_clock::time_point> began = std::nullopt);

    // For benchmarks: called on the stepping thread at the end of every step with how long it
    // took and the JPEG bytes it stored (0 when it stored no frame).
    using step_observer = std::function<void(std::chrono::steady_clock::duration, std::size_t)>;
    void observe_steps(step_observer observer) { observer_ = std::move(observer); }

    // A new code that differs from the current one: closes (and reports) the current database
    // when the current code is not empty, else rewrites the open database's session and side; posts
    // "Начат новый сеанс (код: %1%)", adopts the code. A database it closes without a frame
    // stored is removed from the disk (its folder, once a read of it confirms no frame key);
    // one with frames is never removed.
    void set_session_code(const std::string& code);
    std::string session_code() const;

    // End of the write thread: when a database is open, takes its summary, closes it and,
    // when it holds frames, posts EVT_DATABASE_INFO (text = folder, payload = ldb_info with
    // session and side filled in).
    void finish();

    // Writes left unsynced by the frame sync policy (it syncs only when a later frame comes):
    // when the oldest of them has waited the database's sync interval (sync_deadline(), on
    // the steady clock; nothing while none waits), sync_due(now) syncs them. A failed sync
    // ends the recording as a failed write does.
    std::optional<std::chrono::steady_clock::time_point> sync_deadline() const;
    void sync_due(std::chrono::steady_clock::time_point now);

    // True once a fault has ended the recording (see above).
    bool halted() const { return halted_; }

    // The folder a new database would get now: write path + local time, plus a suffix when
    // that name is taken.
    std::wstring new_database_path(std::time_t now) const;

private:
    // All with the db lock held.
    void close_database();
    void report_and_close();
    void fail(const std::string& what, std::uint64_t frames);
    // After the close: removes the folder of a database that holds no frame.
    void remove_frameless_database(const std::wstring& path);
    // Without the db lock; false when the recording had to stop.
    bool space_allows();

    event_sink_ptr sink_;
    const std::wstring write_path_;
    const std::wstring side_;
    frame_buffer* const frame_;
    recording_database& db_;
    clock now_;
    disk_space_guard guard_;

    // Write thread only.
    std::uint32_t previous_ = 0;       // the last odometer count seen
    std::uint64_t last_stored_ = 0;    // camera time stamp of the frame stored last
    cv::Mat image_;                    // reused frame copy
    std::vector<unsigned char> jpeg_;  // reused encoding buffer
    std::atomic<bool> halted_{false};
    step_observer observer_;

    mutable std::mutex code_mutex_;  // guards session_code_
    std::string session_code_;
};
