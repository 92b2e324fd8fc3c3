#include "recording/write_thread.h"

#include "base/error_text.h"

#include "base/locale_text.h"
#include "base/thread_name.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <ctime>
#include <filesystem>

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
                           recording_queue* queue, write_thread_tuning tuning)
    : sink_(sink),
      device_path_(std::move(config.device_path)),
      format_(config.format),
      coordinate_enabled_(config.coordinate_enabled),
      coordinate_address_(std::move(config.coordinate_address)),
      coordinate_port_(std::move(config.coordinate_port)),
      query_period_(config.query_period),
      own_queue_(queue ? nullptr : std::make_unique<recording_queue>()),
      queue_(queue ? *queue : *own_queue_),
      own_database_(tuning.database ? nullptr : std::make_unique<recording_database>()),
      session_(
          sink, ensure_folder(config.write_path), config.side, session_code, nullptr,
          tuning.database ? *tuning.database : *own_database_, [] { return std::time(nullptr); },
          std::move(tuning.free_space), tuning.space_limits),
      reader_(io_, format_, sink, [this](std::uint32_t count, int format) { on_count(count, format); }),
      watchdog_(tuning.odometer_silence),
      watch_timer_(io_),
      reopen_timer_(io_),
      latest_code_(session_code) {
    reader_.on_lost([this](const std::string& text) { line_lost(text); });
    // At least one second between queries: a period of 0 (or a negative one) would poll the
    // server in a tight loop for the whole recording.
    if (coordinate_enabled_)
        coordinate_.emplace(coordinate_io_, coordinate_address_, coordinate_port_,
                            std::chrono::seconds(std::clamp(query_period_, 1L, 86400L)), sink_,
                            [this](const std::string& code) { set_session_code(code); });
    session_.observe_steps(std::move(tuning.step_observer));
    store_pipeline_options options = std::move(tuning.pipeline);
    auto halted = std::move(options.halted);
    options.halted = [this, halted] {
        recording_halted();
        if (halted) halted();
    };
    queue_.open();
    pipeline_ = std::make_unique<store_pipeline>(sink_, queue_, session_, std::move(options));
    if (coordinate_)
        coordinate_thread_ = std::thread([this] {
            name_this_thread("qm-coordinate");
            try {
                coordinate_->start();
                auto work = boost::asio::make_work_guard(coordinate_io_);
                coordinate_io_.run();
            } catch (const std::exception& e) {
                // A server name that does not resolve ends the recording, as a port that
                // cannot be opened does; what was recorded is still stored and closed.
                post_log_error(sink_, to_wide(e.what()));
                end_recording(to_wide(e.what()));
                queue_.close();
                recording_halted();
            }
        });
    odometer_thread_ = std::thread([this] {
        name_this_thread("qm-odometer");
        if (run_odometer() != 0) {
            // No message can come any more: the pipeline stores what it has and ends.
            exit_code_ = -1;
            queue_.close();
        }
    });
}

write_thread::~write_thread() {
    stop();
    wait();
}

std::string write_thread::session_code() {
    std::lock_guard<std::mutex> lock(codes_mutex_);
    return latest_code_;
}

void write_thread::set_session_code(const std::string& code) {
    std::lock_guard<std::mutex> lock(codes_mutex_);
    latest_code_ = code;
    // Closing LevelDB (a sync, maybe a wait for a compaction) must not stall the caller, which
    // is the GUI thread: the writer does it where the code arrived among the messages.
    if (queue_.push_session(code)) return;
    if (!joined_) {
        late_codes_.push_back(code);
        return;
    }
    // Everything is over and the recording closed: nothing is left to close or rewrite.
    session_.set_session_code(code);
}

std::wstring write_thread::silence_seconds() const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_.timeout()).count();
    std::wstring text = std::to_wstring(ms / 1000);
    if (ms % 1000) text += L"." + std::to_wstring(ms % 1000 / 100);
    return text;
}

void write_thread::on_count(std::uint32_t count, int format) {
    // The arrival time is taken by the queue, here on the reading thread: how late the writer
    // is never changes which frame the message gets.
    const bool taken = queue_.push_count(count, format);
    if (watchdog_.message(odometer_watchdog::clock::now()) && !halted_) {
        post_log_info(sink_, L"Сообщения ДПП снова поступают: последовательный порт " + device_path_);
        post_message(sink_, make_record_status(recording_news::odometer_back, L"ДПП снова на связи: " + device_path_));
    }
    if (!taken) io_.stop();  // the recording has ended (a fault, or Stop)
}

void write_thread::recording_halted() {
    halted_ = true;
    exit_code_ = -1;
    io_.stop();
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
        if (watchdog_.silence_began(odometer_watchdog::clock::now()) && !halted_) {
            post_log_error(sink_,
                           L"Нет сообщений ДПП " + silence_seconds() + L" с: последовательный порт " + device_path_);
            post_message(sink_,
                         make_record_status(recording_news::odometer_silent, L"Нет сообщений ДПП: " + device_path_));
        }
        watch_odometer();
    });
}

void write_thread::stop() {
    io_.stop();
    coordinate_io_.stop();
}

int write_thread::wait() {
    if (odometer_thread_.joinable()) odometer_thread_.join();
    if (coordinate_thread_.joinable()) coordinate_thread_.join();
    if (!pipeline_) return exit_code_;
    {
        std::lock_guard<std::mutex> lock(codes_mutex_);
        // From here on a code can only be pushed into a closed queue: it waits in late_codes_.
        queue_.close();
    }
    pipeline_->finish();
    pipeline_.reset();
    reader_.close();
    std::deque<std::string> late;
    {
        std::lock_guard<std::mutex> lock(codes_mutex_);
        late.swap(late_codes_);
        joined_ = true;
    }
    // Codes asked for after Stop still decide the session of the close; the writer has
    // closed the recording by now, so they only change the code the next one starts with.
    try {
        for (const auto& code : late) session_.set_session_code(code);
    } catch (const std::exception& e) {
        post_log_error(sink_, to_wide(e.what()));
        exit_code_ = -1;
    }
    if (session_.halted()) exit_code_ = -1;
    return exit_code_;
}

int write_thread::run_odometer() {
    try {
        try {
            reader_.open(device_path_);
        } catch (const boost::system::system_error& e) {
            // The port and the system's own words: "open: ..." alone names neither.
            post_log_error(sink_, L"Не удалось открыть последовательный порт: " + device_path_ + L": " +
                                      error_text(e.code()));
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
        // Runs until stop(), also when the odometer reader has given up after a failure.
        auto work = boost::asio::make_work_guard(io_);
        io_.run();
        return 0;
    } catch (const std::exception& e) {
        post_log_error(sink_, to_wide(e.what()));
        end_recording(to_wide(e.what()));
    } catch (...) {
        post_log_error(sink_, L"Неизвестная ошибка в потоке записи");
        end_recording(L"Неизвестная ошибка в потоке записи");
    }
    return -1;
}
