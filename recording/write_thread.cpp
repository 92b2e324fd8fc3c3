#include "recording/write_thread.h"

#include "base/locale_text.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <pthread.h>

namespace {

// Created when missing, so that the first database can be opened there.
const std::wstring& ensure_folder(const std::wstring& path) {
    // Narrow (locale multibyte) like every other file path here: a wide std::filesystem::path
    // converts through the "C" locale and throws on a non-ASCII write path.
    const std::filesystem::path narrow(to_narrow(path));
    std::error_code ec;
    // Mode 0777 less the umask, like mkdir(1) -p. Failures surface later, when the first
    // database cannot be opened there.
    if (!std::filesystem::exists(narrow, ec)) std::filesystem::create_directories(narrow, ec);
    return path;
}

}  // namespace

write_thread::write_thread(event_sink_ptr sink, write_thread_config config, const std::string& session_code,
                           frame_buffer* frame, write_thread_tuning tuning)
    : sink_(sink),
      device_path_(std::move(config.device_path)),
      format_(config.format),
      coordinate_enabled_(config.coordinate_enabled),
      coordinate_address_(std::move(config.coordinate_address)),
      coordinate_port_(std::move(config.coordinate_port)),
      query_period_(config.query_period),
      own_database_(tuning.database ? nullptr : std::make_unique<recording_database>()),
      session_(
          sink, ensure_folder(config.write_path), config.side, session_code, frame,
          tuning.database ? *tuning.database : *own_database_, [] { return std::time(nullptr); },
          std::move(tuning.free_space), tuning.space_limits),
      reader_(io_, format_, sink, [this](std::uint32_t count, int format) { on_count(count, format); }),
      watchdog_(tuning.odometer_silence),
      watch_timer_(io_),
      sync_timer_(io_),
      reopen_timer_(io_) {
    reader_.on_lost([this](const std::string& text) { line_lost(text); });
    // At least one second between queries: a period of 0 (or a negative one) would poll the
    // server in a tight loop for the whole recording.
    if (coordinate_enabled_)
        coordinate_.emplace(io_, coordinate_address_, coordinate_port_,
                            std::chrono::seconds(std::clamp(query_period_, 1L, 86400L)), sink_,
                            [this](const std::string& code) {
                                session_.set_session_code(code);
                                keep_synced();
                            });
    session_.observe_steps(std::move(tuning.step_observer));
    thread_ = std::thread([this] { exit_code_ = run(); });
}

write_thread::~write_thread() {
    stop();
    wait();
}

std::string write_thread::session_code() {
    {
        std::lock_guard<std::mutex> lock(requests_mutex_);
        if (!requested_codes_.empty()) return requested_codes_.back();
    }
    return session_.session_code();
}

void write_thread::set_session_code(const std::string& code) {
    {
        std::lock_guard<std::mutex> lock(requests_mutex_);
        if (!loop_ended_) {
            // Closing LevelDB (a sync, maybe a wait for a compaction) must not stall the
            // caller, which is the GUI thread: the loop does it between two recording steps.
            requested_codes_.push_back(code);
            boost::asio::post(io_, [this] { apply_requested_codes(); });
            return;
        }
    }
    // The loop is over and the recording closed: nothing is left to close or rewrite.
    session_.set_session_code(code);
}

void write_thread::apply_requested_codes() {
    for (;;) {
        std::string code;
        {
            std::lock_guard<std::mutex> lock(requests_mutex_);
            if (requested_codes_.empty()) return;
            code = requested_codes_.front();
        }
        session_.set_session_code(code);
        {
            std::lock_guard<std::mutex> lock(requests_mutex_);
            requested_codes_.pop_front();
        }
        if (!io_.stopped()) keep_synced();
    }
}

std::wstring write_thread::silence_seconds() const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_.timeout()).count();
    std::wstring text = std::to_wstring(ms / 1000);
    if (ms % 1000) text += L"." + std::to_wstring(ms % 1000 / 100);
    return text;
}

void write_thread::on_count(std::uint32_t count, int format) {
    if (watchdog_.message(odometer_watchdog::clock::now()) && !session_.halted()) {
        post_log_info(sink_, L"Сообщения ДПП снова поступают: последовательный порт " + device_path_);
        post_message(sink_, make_record_status(recording_news::odometer_back, L"ДПП снова на связи: " + device_path_));
    }
    try {
        session_.step(count, format);
    } catch (const std::exception& e) {
        // A database that cannot be opened: no later message can be recorded either.
        post_log_error(sink_, to_wide(e.what()));
        end_recording(to_wide(e.what()));
        step_failed_ = true;
        io_.stop();
        return;
    }
    // The session has said why; nothing is left for this thread to record.
    if (session_.halted()) {
        io_.stop();
        return;
    }
    keep_synced();
}

void write_thread::keep_synced() {
    if (sync_armed_) return;
    const auto deadline = session_.sync_deadline();
    if (!deadline) return;
    sync_armed_ = true;
    sync_timer_.expires_at(*deadline);
    sync_timer_.async_wait([this](const boost::system::error_code& ec) {
        sync_armed_ = false;
        if (ec) return;
        session_.sync_due(std::chrono::steady_clock::now());
        keep_synced();  // writes that came meanwhile have a later deadline
    });
}

void write_thread::line_lost(const std::string& system_text) {
    reader_.close();
    watchdog_.lost();
    post_log_error(sink_,
                   L"Потеряна связь с ДПП: последовательный порт " + device_path_ + L": " + to_wide(system_text));
    post_message(sink_, make_record_status(recording_news::odometer_lost, L"ДПП потерян: " + device_path_));
    reopen_line();
}

void write_thread::reopen_line() {
    reopen_timer_.expires_after(std::chrono::seconds(1));
    reopen_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec) return;
        try {
            reader_.open(device_path_);
        } catch (const std::exception&) {
            // Still gone; the loss was reported once, the return will be.
            reader_.close();
            reopen_line();
            return;
        }
        reader_.start();
    });
}

void write_thread::end_recording(const std::wstring& why) {
    post_message(sink_, make_record_status(recording_news::stopped, L"Запись остановлена: " + why));
}

void write_thread::watch_odometer() {
    // A few checks per time-out: the warning comes at most a fifth late.
    const auto period = std::min<odometer_watchdog::clock::duration>(std::chrono::seconds(1), watchdog_.timeout() / 5);
    watch_timer_.expires_after(period);
    watch_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec) return;
        if (watchdog_.silence_began(odometer_watchdog::clock::now()) && !session_.halted()) {
            post_log_error(sink_,
                           L"Нет сообщений ДПП " + silence_seconds() + L" с: последовательный порт " + device_path_);
            post_message(sink_,
                         make_record_status(recording_news::odometer_silent, L"Нет сообщений ДПП: " + device_path_));
        }
        watch_odometer();
    });
}

void write_thread::stop() { io_.stop(); }

int write_thread::wait() {
    if (thread_.joinable()) thread_.join();
    return exit_code_;
}

int write_thread::run() {
    // Named so that top -H and the benchmarks can tell its CPU time apart.
    pthread_setname_np(pthread_self(), "qm-write");
    int code = run_loop();
    {
        std::lock_guard<std::mutex> lock(requests_mutex_);
        loop_ended_ = true;
    }
    // Codes asked for but not reached by the loop still decide the session of the close.
    try {
        apply_requested_codes();
    } catch (...) {
        code = -1;
    }
    // Also after a failure: a database left open would otherwise be continued by the next
    // write thread and mix two recordings.
    if (!finish_recording()) code = -1;
    return code;
}

int write_thread::run_loop() {
    try {
        try {
            reader_.open(device_path_);
        } catch (const boost::system::system_error& e) {
            // The port and the system's own words: "open: ..." alone names neither.
            post_log_error(sink_, L"Не удалось открыть последовательный порт: " + device_path_ + L": " +
                                      to_wide(e.code().message()));
            end_recording(L"не удалось открыть порт ДПП " + device_path_);
            return -1;
        } catch (const std::exception& e) {
            post_log_error(sink_,
                           L"Не удалось открыть последовательный порт: " + device_path_ + L": " + to_wide(e.what()));
            end_recording(L"не удалось открыть порт ДПП " + device_path_);
            return -1;
        }
        if (!reader_.is_open()) {
            post_log_error(sink_, L"Не удалось открыть последовательный порт: " + device_path_);
            end_recording(L"не удалось открыть порт ДПП " + device_path_);
            return -1;
        }
        post_log_info(sink_, L"Последовательный порт: " + device_path_);
        reader_.start();
        watchdog_.start(odometer_watchdog::clock::now());
        watch_odometer();
        if (coordinate_) coordinate_->start();
        // Runs until stop(), also when the odometer reader has given up after a failure.
        auto work = boost::asio::make_work_guard(io_);
        io_.run();
        return session_.halted() || step_failed_ ? -1 : 0;
    } catch (const std::exception& e) {
        post_log_error(sink_, to_wide(e.what()));
        end_recording(to_wide(e.what()));
    } catch (...) {
        post_log_error(sink_, L"Unknown exception in write thread");
        end_recording(L"Unknown exception in write thread");
    }
    return -1;
}

bool write_thread::finish_recording() {
    try {
        reader_.close();
        session_.finish();
        return true;
    } catch (const std::exception& e) {
        post_log_error(sink_, to_wide(e.what()));
    } catch (...) {
        post_log_error(sink_, L"Unknown exception in write thread");
    }
    return false;
}
