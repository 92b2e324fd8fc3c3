#pragma once
// write_thread: the recording half of "Захват и запись", as threads that never wait for each
// other's slow work:
//   "qm-odometer"   reads the odometer port and puts every message, with its arrival time,
//                   into the recording queue; it also watches for silence and reopens a line
//                   that failed. Nothing else: no disk, no encoding, no lock a disk operation
//                   holds.
//   "qm-coordinate" (when enabled) asks the coordinate server; a new code goes into the queue.
//   store_pipeline  pairs, encodes and stores (recording/store_pipeline.h).
// The frames come into the same queue from the capture thread.
//
// Construction takes the values it needs as a plain write_thread_config (the program reads
// them from the settings once, with write_thread_config_from() in
// recording/write_thread_settings.h), creates the write path when missing, opens the queue
// and starts the threads. The odometer thread opens the port and posts
// "Последовательный порт: %s", or posts why it could not and the recording ends (-1). At the
// end of the run every frame paired before Stop is stored, and the current database is synced,
// closed and, when it holds frames, reported with EVT_DATABASE_INFO.
//
// A session code set from outside (the operator's session-code command on the GUI thread, the
// coordinate server) enters the queue at its arrival time and applies from the first message
// after it. Codes set after the queue closed still decide the session of the final close.
//
// While it runs, an odometer that sends no valid message for the silence time (5 s) gives one
// error row naming the port and a status field 2 text; the first message after it one
// information row. A line that fails (an adapter pulled) gives one error row with the system's
// text and is reopened every second; recording goes on into the same database when messages
// return (the first gives the information row).
//
// A recording that ends before stop() (port cannot be opened, failed write, disk guard, an
// exception) says so in a record_status_message of news `stopped`, "Запись остановлена: ...",
// and the threads end; capture is not the write thread's to stop.
//
// Ownership: the queue and a database given in the tuning must outlive the object, which is
// the database's owner while it runs and the single owner of its threads: the destructor
// stops, drains and joins, so the database is closed and reported before it returns.
// Thread safety: session_code(), set_session_code(), stop() and wait() may be called from any
// thread (the session-code command calls them on the GUI thread).
// Errors: every failure is posted to the sink (EVT_LOG_ERROR); nothing is thrown to the
// caller.
#include "base/thread_message.h"
#include "camera/frame_source.h"
#include "camera/recording_queue.h"
#include "recording/coordinate_client.h"
#include "recording/disk_space_guard.h"
#include "recording/odometer_watchdog.h"
#include "recording/odometer_reader.h"
#include "recording/recording_session.h"
#include "recording/store_pipeline.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// What the write thread works with, read once when it is made.
struct write_thread_config {
    std::wstring device_path;        // the odometer's serial device
    int format = 7;                  // odometer message format, 4 or 7
    bool coordinate_enabled = true;  // ask the coordinate server for session codes
    std::string coordinate_address;
    std::string coordinate_port;
    long query_period = 5;    // seconds between coordinate queries (clamped to 1..86400)
    std::wstring write_path;  // the recordings' folder
    std::wstring side;
};

// What tests and the test driver may change; the defaults are the program's.
struct write_thread_tuning {
    std::chrono::milliseconds odometer_silence{5000};
    disk_space_guard::query free_space;  // empty: the write path's volume
    disk_space_limits space_limits;
    // The database recorded into, read by others meanwhile (the image service's live frames);
    // null: one of the write thread's own.
    recording_database* database = nullptr;
    recording_session::step_observer step_observer;  // benchmarks: each step's time
    // Encoders, encoding, the stored-frame observer (tests and benchmarks).
    store_pipeline_options pipeline;
};

class write_thread : public recorder {
public:
    // queue: where the capture thread puts the frames; null: a queue of the write thread's
    // own, which nothing feeds (positions only).
    write_thread(event_sink_ptr sink, write_thread_config config, const std::string& session_code,
                 recording_queue* queue, write_thread_tuning tuning = {});
    ~write_thread() override;
    write_thread(const write_thread&) = delete;
    write_thread& operator=(const write_thread&) = delete;

    std::string session_code() override;
    void set_session_code(const std::string& code) override;
    std::size_t frames_to_save() override { return pipeline_ ? pipeline_->pending() : 0; }

    // Stop: no odometer message is taken after it; what came before is stored by wait().
    void stop();
    // Stores what is left, closes the recording and joins every thread; the exit code: 0 after
    // an orderly stop, -1 after a failure.
    int wait();

    // The device path of the odometer port, from the settings.
    const std::wstring& device_path() const { return device_path_; }
    // Messages whose frame the queue had dropped.
    std::uint64_t frames_lost() const { return pipeline_ ? pipeline_->frames_lost() : 0; }

private:
    int run_odometer();
    void on_count(std::uint32_t count, int format);
    void watch_odometer();                           // arms the silence check
    void line_lost(const std::string& system_text);  // odometer thread
    void reopen_line();                              // odometer thread; again every second until it opens
    void end_recording(const std::wstring& why);     // the `stopped` status
    void recording_halted();                         // the pipeline's writer: a fault ended it

    // The silence texts name the port.
    std::wstring silence_seconds() const;

    event_sink_ptr sink_;
    std::wstring device_path_;
    int format_ = 7;
    bool coordinate_enabled_ = true;
    std::string coordinate_address_;
    std::string coordinate_port_;
    long query_period_ = 5;

    std::unique_ptr<recording_queue> own_queue_;  // when none is given
    recording_queue& queue_;
    boost::asio::io_context io_;                        // the odometer's
    boost::asio::io_context coordinate_io_;             // the coordinate server's
    std::unique_ptr<recording_database> own_database_;  // when the tuning gives none
    recording_session session_;
    odometer_reader reader_;
    std::optional<coordinate_client> coordinate_;
    odometer_watchdog watchdog_;  // odometer thread only
    boost::asio::steady_timer watch_timer_;
    boost::asio::steady_timer reopen_timer_;
    std::atomic<bool> halted_{false};

    std::mutex codes_mutex_;  // guards latest_code_, late_codes_, joined_
    std::string latest_code_;
    std::deque<std::string> late_codes_;  // set after the queue closed, applied at the close
    bool joined_ = false;

    std::atomic<int> exit_code_{0};
    std::unique_ptr<store_pipeline> pipeline_;
    std::thread odometer_thread_;  // started last, joined by wait()
    std::thread coordinate_thread_;
};
