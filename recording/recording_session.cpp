#include "recording/recording_session.h"

#include "camera/frame_buffer.h"
#include "base/locale_text.h"

#include <ctime>
#include <filesystem>

recording_session::recording_session(event_sink_ptr sink, std::wstring write_path,
                                     std::wstring side, std::string session_code,
                                     frame_buffer* frame, recording_database& db,
                                     std::mutex& db_lock, clock now)
    : sink_(std::move(sink)),
      write_path_(std::move(write_path)),
      side_(std::move(side)),
      frame_(frame),
      db_(db),
      db_lock_(db_lock),
      now_(std::move(now)),
      session_code_(std::move(session_code)) {}

std::wstring recording_session::new_database_path(std::time_t now) const {
    std::tm local{};
    localtime_r(&now, &local);
    char name[64] = {};
    std::strftime(name, sizeof name, "%Y.%m.%d %H.%M.%S", &local);
    // The file system sees the locale's multibyte form of the path (as LevelDB will); a wide
    // std::filesystem::path would convert through the "C" locale and fail on any non-ASCII
    // write path.
    std::string base = to_narrow(write_path_);
    if (!base.empty() && base.back() != '/') base.push_back('/');
    base += name;
    std::string candidate = base;
    // Several recordings can start within one second (backwards count, session change,
    // restart): each gets a folder of its own instead of reopening a closed one.
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(candidate, ec); ++n)
        candidate = base + "_" + std::to_string(n);
    return to_wide(candidate);
}

void recording_session::step(std::uint32_t count, int format) {
    std::uint64_t frames = 0;
    {
        std::lock_guard<std::mutex> lock(db_lock_);
        if (count < previous_ && db_.is_open()) {
            post_log_info(sink_, L"dpp reset: " + std::to_wstring(previous_) + L" to " +
                                     std::to_wstring(count));
            close_database();
        }
        previous_ = count;
        const std::time_t now = now_();
        if (!db_.is_open()) db_.open(new_database_path(now));
        if (db_.is_open() && frame_) {
            const std::uint64_t stamp = copy_frame_gray8(*frame_, image_);
            if (!image_.empty() && stamp != last_stored_) {
                last_stored_ = stamp;
                db_.store_frame(image_, count, now);
            }
        }
        frames = db_.frame_count();
    }
    post_message(sink_, record_status_message{L"ДПП[" + std::to_wstring(format) + L"]: " + std::to_wstring(count) +
                   L" Записано кадров: " + std::to_wstring(frames)});
}

void recording_session::close_database() {
    db_.close(session_code(), side_);
}

void recording_session::set_session_code(const std::string& code) {
    std::lock_guard<std::mutex> lock(db_lock_);
    const std::string current = session_code();
    if (code == current) return;
    // The database of the old session is closed under the old code; a database recorded
    // while no code was set is kept and later closed under the new one.
    if (!current.empty()) close_database();
    post_log_info(sink_, L"New session started (id: " + to_wide(code) + L")");
    std::lock_guard<std::mutex> code_lock(code_mutex_);
    session_code_ = code;
}

std::string recording_session::session_code() const {
    std::lock_guard<std::mutex> lock(code_mutex_);
    return session_code_;
}

void recording_session::finish() {
    std::lock_guard<std::mutex> lock(db_lock_);
    if (!db_.is_open()) return;
    std::wstring missing_start;
    ldb_info info;
    bool summarised = true;
    try {
        info = db_.summary(&missing_start);
    } catch (const std::exception& e) {
        // A damaged value must not keep the recording open: close it, just don't report it.
        post_log_error(sink_, to_wide(e.what()));
        summarised = false;
    }
    if (!missing_start.empty()) post_log_error(sink_, missing_start);
    const std::wstring path = db_.path();
    const std::uint64_t frames = db_.frame_count();
    close_database();
    if (frames == 0 || !summarised) return;
    info.session = to_wide(session_code());
    info.side = side_;
    post_message(sink_, database_info_message{path, info});
}
