#pragma once
// write_thread: the recording half of "Захват и запись". One thread running one I/O loop
// that carries the odometer reader, the optional coordinate server client and the
// recording steps (recording_session), all one handler at a time.
//
// Construction takes the values it needs as a plain write_thread_config (the program reads
// them from the settings once, with write_thread_config_from() in
// recording/write_thread_settings.h), creates the write path when missing, and starts the
// thread. The thread
// opens the odometer port and posts "Последовательный порт: %s", or posts why it could not
// and ends with -1. At the end of the run (stop, or a failure out of the loop) the port is
// closed and the current database is closed and, when it holds frames, reported with
// EVT_DATABASE_INFO.
//
// A session code set from outside the loop (the operator's session-code command on the GUI
// thread) is posted onto the loop: the database is closed or rewritten there, never on the
// caller's thread. Codes still queued when the loop ends are applied before the final close.
//
// Writes that the frame sync policy left unsynced are synced by a timer on the loop once the
// oldest of them has waited the database's sync interval (1 s), also when no further odometer
// message comes (a train that stopped): a power cut loses at most about that last interval.
//
// While the thread runs, an odometer that sends no valid message for the silence time (5 s)
// gives one error row naming the port and a status field 2 text; the first message after it
// one information row. A line that fails (an adapter pulled) gives one error row with the
// system's text and is reopened every second; recording goes on into the same database when
// messages return (the first gives the information row).
//
// A recording that ends before stop() (port cannot be opened, failed write, disk guard, an
// exception) says so in a record_status_message of news `stopped`, "Запись остановлена: ...",
// and the thread ends; capture is not the write thread's to stop.
//
// Ownership: the frame buffer and a database given in the tuning must
// outlive the object, which is the database's owner while it runs and the single owner of
// its thread: the destructor stops the loop and joins, so the database is
// closed and reported before the destructor returns.
// Thread safety: session_code(), set_session_code() and stop() may be called from any
// thread (the session-code command calls them on the GUI thread).
// Errors: every failure is posted to the sink (EVT_LOG_ERROR); nothing is thrown to the
// caller.
#include "base/thread_message.h"
#include "camera/frame_source.h"
#include "recording/coordinate_client.h"
#include "recording/disk_space_guard.h"
#include "recording/odometer_watchdog.h"
#include "recording/odometer_reader.h"
#include "recording/recording_session.h"

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
};

class write_thread : public recorder {
public:
    write_thread(event_sink_ptr sink, write_thread_config config, const std::string& session_code, frame_buffer* frame,
                 write_thread_tuning tuning = {});
    ~write_thread() override;
    write_thread(const write_thread&) = delete;
    write_thread& operator=(const write_thread&) = delete;

    std::string session_code() override;
    void set_session_code(const std::string& code) override;

    // Asks the loop to stop; the thread then does its end-of-run work and ends.
    void stop();
    // Joins the thread; its exit code: 0 after an orderly stop, -1 after a failure.
    int wait();

    // The device path of the odometer port, from the settings.
    const std::wstring& device_path() const { return device_path_; }

private:
    int run();
    int run_loop();
    bool finish_recording();
    void apply_requested_codes();  // loop thread
    void on_count(std::uint32_t count, int format);
    void watch_odometer();                           // arms the silence check
    void keep_synced();                              // arms the sync of writes left unsynced
    void line_lost(const std::string& system_text);  // loop thread
    void reopen_line();                              // loop thread; again every second until it opens
    void end_recording(const std::wstring& why);     // the `stopped` status

    // The silence texts name the port.
    std::wstring silence_seconds() const;

    event_sink_ptr sink_;
    std::wstring device_path_;
    int format_ = 7;
    bool coordinate_enabled_ = true;
    std::string coordinate_address_;
    std::string coordinate_port_;
    long query_period_ = 5;

    boost::asio::io_context io_;
    std::unique_ptr<recording_database> own_database_;  // when the tuning gives none
    recording_session session_;
    odometer_reader reader_;
    std::optional<coordinate_client> coordinate_;
    odometer_watchdog watchdog_;  // loop thread only
    boost::asio::steady_timer watch_timer_;
    boost::asio::steady_timer sync_timer_;
    bool sync_armed_ = false;  // loop thread only
    boost::asio::steady_timer reopen_timer_;
    bool step_failed_ = false;  // loop thread only: a recording step threw

    std::mutex requests_mutex_;  // guards requested_codes_, loop_ended_
    std::deque<std::string> requested_codes_;
    bool loop_ended_ = false;

    std::atomic<int> exit_code_{0};
    std::thread thread_;  // started last, joined by wait()
};
