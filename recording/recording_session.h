#pragma once
// The recording logic of the write thread, without its thread or I/O: the recording step
// run for every odometer message, the session code and its changes, and the end-of-run
// summary and close.
//
// Recording step (count N, format F): a count below the previous one closes the current
// database ("dpp reset: %1% to %2%"); with no database open one is opened in a folder of
// the write path named by the local time "%Y.%m.%d %H.%M.%S" (with "_2", "_3", ... when that
// name is taken, so a closed recording is never reopened); the newest frame is copied out
// of the frame buffer and stored under N when its camera time stamp is new; then
// EVT_RECORD_STATUS "ДПП[F]: N Записано кадров: <frames in the current database>".
//
// Ownership: the database, its lock, the frame buffer and the sink are the caller's and must
// outlive the object (the program uses the process-wide database and lock).
// Thread safety: step() and finish() run on the write thread; set_session_code() and
// session_code() may be called from any thread. step(), set_session_code() and finish() hold
// the database lock for their whole duration, so they never interleave with each other nor
// with a reader of the database.
// Errors: database failures throw std::runtime_error (LevelDB's text) out of step(),
// set_session_code() and finish(); the database is left as the failure found it.
#include "base/thread_message.h"
#include "database/recording_database.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

struct frame_buffer;

class recording_session {
public:
    // Seconds since the epoch; tests give their own clock.
    using clock = std::function<std::time_t()>;

    recording_session(event_sink_ptr sink, std::wstring write_path, std::wstring side,
                      std::string session_code, frame_buffer* frame,
                      recording_database& db = process_recording_database(),
                      std::mutex& db_lock = recording_database_lock(),
                      clock now = [] { return std::time(nullptr); });

    void step(std::uint32_t count, int format);

    // A new code that differs from the current one: closes the current database when the
    // current code is not empty, posts "New session started (id: %1%)", adopts the code.
    void set_session_code(const std::string& code);
    std::string session_code() const;

    // End of the write thread: when a database is open, takes its summary, closes it and,
    // when it holds frames, posts EVT_DATABASE_INFO (text = folder, payload = ldb_info with
    // session and side filled in).
    void finish();

    // The folder a new database would get now: write path + local time, plus a suffix when
    // that name is taken.
    std::wstring new_database_path(std::time_t now) const;

private:
    void close_database();  // db lock held

    event_sink_ptr sink_;
    const std::wstring write_path_;
    const std::wstring side_;
    frame_buffer* const frame_;
    recording_database& db_;
    std::mutex& db_lock_;  // guards db_, previous_, last_stored_, image_
    clock now_;

    std::uint32_t previous_ = 0;     // the last odometer count seen
    std::uint64_t last_stored_ = 0;  // camera time stamp of the frame stored last
    cv::Mat image_;                  // reused frame copy

    mutable std::mutex code_mutex_;  // guards session_code_ (taken after db_lock_ when both)
    std::string session_code_;
};
