#include "recording/recording_session.h"

#include "camera/frame_buffer.h"
#include "database/frame_image.h"
#include "database/database_reader.h"
#include "database/database_scan.h"
#include "base/locale_text.h"

#include <ctime>
#include <filesystem>

namespace {

std::wstring stopped_status(const std::wstring& why, std::uint64_t frames) {
    return L"Запись остановлена: " + why + L". Записано кадров: " + std::to_wstring(frames);
}

}  // namespace

recording_session::recording_session(event_sink_ptr sink, std::wstring write_path, std::wstring side,
                                     std::string session_code, frame_buffer* frame, recording_database& db, clock now,
                                     disk_space_guard::query space, disk_space_limits limits)
    : sink_(std::move(sink)),
      write_path_(std::move(write_path)),
      side_(std::move(side)),
      frame_(frame),
      db_(db),
      now_(std::move(now)),
      guard_(space ? std::move(space) : disk_space_guard::volume_of_folder(write_path_), limits),
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
    for (int n = 2; std::filesystem::exists(candidate, ec); ++n) candidate = base + "_" + std::to_string(n);
    return to_wide(candidate);
}

void recording_session::step(std::uint32_t count, int format) {
    const auto start = std::chrono::steady_clock::now();
    bool fresh = false;
    if (frame_ && !halted_) {
        const std::uint64_t stamp = copy_frame_gray8(*frame_, image_);
        fresh = !image_.empty() && stamp != last_stored_;
        if (fresh) {
            encode_frame(image_, jpeg_);
            last_stored_ = stamp;
        }
    }
    const std::string_view jpeg =
        fresh ? std::string_view(reinterpret_cast<const char*>(jpeg_.data()), jpeg_.size()) : std::string_view();
    step_encoded(count, format, fresh ? &jpeg : nullptr, now_(), start);
}

bool recording_session::step_encoded(std::uint32_t count, int format, const std::string_view* jpeg, std::time_t now,
                                     std::optional<std::chrono::steady_clock::time_point> began) {
    struct timing {
        const step_observer& observer;
        std::chrono::steady_clock::time_point start;
        std::size_t stored = 0;
        ~timing() {
            if (observer) observer(std::chrono::steady_clock::now() - start, stored);
        }
    } timed{observer_, began.value_or(std::chrono::steady_clock::now())};
    if (halted_) return false;
    if (count < previous_ && db_.is_open()) {
        post_log_info(sink_, L"Сброс ДПП: " + std::to_wstring(previous_) + L" → " + std::to_wstring(count));
        report_and_close();
        if (halted_) return false;
    }
    previous_ = count;
    const bool fresh = jpeg != nullptr;
    if ((fresh || !db_.is_open()) && !space_allows()) return false;
    if (!db_.is_open()) db_.open(new_database_path(now), session_code(), side_);
    if (fresh) {
        const std::uint64_t before = db_.frame_count();
        try {
            db_.store_encoded_frame(*jpeg, count, now);
            timed.stored = jpeg->size();
        } catch (const std::exception& e) {
            fail(e.what(), before);
            return false;
        }
    }
    record_status_message status;
    status.news = recording_news::step;
    status.count = count;
    status.stored = fresh;
    status.frames = db_.frame_count();
    status.database = db_.path();
    status.text = L"ДПП[" + std::to_wstring(format) + L"]: " + std::to_wstring(count) + L" Записано кадров: " +
                  std::to_wstring(status.frames);
    post_message(sink_, std::move(status));
    return fresh;
}

bool recording_session::space_allows() {
    const disk_space_guard::verdict v = guard_.check();
    if (v.level == disk_space_guard::state::fine) return true;
    const std::wstring free_text = mebibytes_text(v.free) + L" МБ";
    if (v.level == disk_space_guard::state::low) {
        if (v.first_low) {
            post_log_error(sink_, L"Мало места на диске: свободно " + free_text + L" (" + write_path_ + L")");
            post_message(sink_, status_text_message{3, L"Мало места на диске: свободно " + free_text});
        }
        return true;
    }
    // Exhausted: end the database while its closing keys still fit, before LevelDB meets a
    // full disk in the middle of a log record or a table.
    const std::uint64_t frames = db_.frame_count();
    report_and_close();
    halted_ = true;
    post_log_error(sink_,
                   L"Запись остановлена: мало места на диске, свободно " + free_text + L" (" + write_path_ + L")");
    post_message(sink_, make_record_status(recording_news::stopped, stopped_status(L"мало места на диске", frames)));
    return false;
}

void recording_session::close_database() {
    const std::uint64_t frames = db_.frame_count();
    try {
        db_.close(session_code(), side_);
    } catch (const std::exception& e) {
        fail(e.what(), frames);
    }
}

void recording_session::fail(const std::string& what, std::uint64_t frames) {
    const std::wstring path = db_.path();
    ldb_info info;
    bool report = false;
    if (db_.is_open() && frames > 0) {
        try {
            info = db_.summary();
            info.count = frames;
            report = true;
        } catch (const std::exception&) {
            // Not listed now; the next scan of the write path will show what is readable.
        }
    }
    // Never written again: a second write after a failure lands behind a torn log record,
    // and everything after it would be lost on the next open.
    db_.abandon();
    halted_ = true;
    if (report) {
        info.session = to_wide(session_code());
        info.side = side_;
        post_message(sink_, database_info_message{path, info});
    }
    post_log_error(sink_, L"Запись остановлена: не удалось записать в базу данных " + path + L": " + to_wide(what));
    post_message(sink_, make_record_status(recording_news::stopped, stopped_status(L"ошибка записи", frames)));
}

void recording_session::remove_frameless_database(const std::wstring& path) {
    if (path.empty() || database_has_frames(path) != false) return;  // frames, or cannot tell: keep
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(to_narrow(path)), ec);
    if (ec)
        post_log_error(sink_, L"Не удалось удалить пустую базу " + path + L": " + to_wide(ec.message()));
}

void recording_session::set_session_code(const std::string& code) {
    const std::string current = session_code();
    if (code == current) return;
    // The database of the old session is closed under the old code (and listed at once); a
    // database recorded while no code was set is kept, now under the new one, on disk at once.
    if (!current.empty()) {
        const bool frameless = db_.is_open() && db_.frame_count() == 0;
        const std::wstring path = db_.path();
        report_and_close();
        // A code that came before the first frame would leave a database with no frame,
        // which lists as unreadable: remove it, but only after checking it holds no frame.
        if (frameless && !db_.is_open() && !halted_) remove_frameless_database(path);
    } else if (db_.is_open()) {
        const std::uint64_t frames = db_.frame_count();
        try {
            db_.write_session_and_side(code, side_);
        } catch (const std::exception& e) {
            fail(e.what(), frames);
        }
    }
    post_log_info(sink_, L"Начат новый сеанс (код: " + to_wide(code) + L")");
    std::lock_guard<std::mutex> code_lock(code_mutex_);
    session_code_ = code;
}

std::string recording_session::session_code() const {
    std::lock_guard<std::mutex> lock(code_mutex_);
    return session_code_;
}

std::optional<std::chrono::steady_clock::time_point> recording_session::sync_deadline() const {
    return db_.sync_deadline();
}

void recording_session::sync_due(std::chrono::steady_clock::time_point now) {
    const auto deadline = db_.sync_deadline();
    if (!deadline || *deadline > now) return;
    const std::uint64_t frames = db_.frame_count();
    try {
        db_.sync_pending();
    } catch (const std::exception& e) {
        fail(e.what(), frames);
    }
}

void recording_session::finish() { report_and_close(); }

void recording_session::report_and_close() {
    if (!db_.is_open()) return;
    if (db_.frame_count() == 0) {
        // Nothing to summarise (a recording that ended before its first frame has no start
        // values to read) and nothing to list.
        close_database();
        return;
    }
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
    if (frames == 0 || !summarised || halted_) return;
    // The open handle's size leaves out what still sits in LevelDB's log; a scan opens the
    // closed database, which turns the log into tables first. Measure it the same way, so the
    // list shows the same size now and after a reload.
    try {
        info.size = database_reader(path).summary().size;
    } catch (const std::exception&) {
        // Held open elsewhere (a frame lookup): keep the open handle's figure.
    }
    info.session = to_wide(session_code());
    info.side = side_;
    post_message(sink_, database_info_message{path, info});
}
