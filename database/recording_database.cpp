#include "database/recording_database.h"

#include <stdexcept>
#include <vector>

#include <leveldb/db.h>
#include <leveldb/write_batch.h>

#include "database/database_layout.h"
#include "database/frame_image.h"
#include "database/local_time.h"
#include "database/durable_env.h"
#include "base/locale_text.h"

namespace {

std::string time_text(std::int64_t seconds) { return std::to_string(seconds); }

}  // namespace

recording_database::recording_database(recording_database_options options)
    : options_(std::move(options)),
      env_(std::make_unique<durable_env>(options_.env ? options_.env : leveldb::Env::Default())) {}

recording_database::~recording_database() = default;

std::chrono::steady_clock::time_point recording_database::steady_now() const {
    return options_.steady_now ? options_.steady_now() : std::chrono::steady_clock::now();
}

void recording_database::open(const std::wstring& path) {
    leveldb::WriteBatch batch;
    batch.Put(db_keys::version, db_keys::version_value);
    open_with(path, batch);
}

void recording_database::open(const std::wstring& path, const std::string& session_code, const std::wstring& side) {
    // A recording names its session and side from the start: a recording cut short by a crash
    // is still listed under them and found by the image service's lookup.
    leveldb::WriteBatch batch;
    batch.Put(db_keys::version, db_keys::version_value);
    batch.Put(db_keys::session, session_code);
    batch.Put(db_keys::side, to_narrow(side));
    open_with(path, batch);
}

void recording_database::open_with(const std::wstring& path, leveldb::WriteBatch& first) {
    drop_handle();
    // The last database's syncs end with it: their failure is not this one's.
    if (sync_ticket_) env_->wait_logs_synced(*sync_ticket_);
    sync_ticket_.reset();
    env_->forget_log_failure();
    path_ = path;
    frame_count_ = 0;
    failure_.clear();
    synced_since_open_ = false;
    unsynced_ = false;
    // Opened and first written before any reader can see it.
    std::unique_ptr<leveldb::DB> fresh = open_leveldb(to_narrow(path), true, env_.get(), &options_.storage);
    try {
        write_to(*fresh, first, durability::later);
    } catch (...) {
        failure_.clear();
        throw;
    }
    std::unique_lock<std::shared_mutex> hold(handle_lock_);
    db_ = std::move(fresh);
    open_ = true;
}

void recording_database::drop_handle() {
    std::unique_ptr<leveldb::DB> old;
    {
        std::unique_lock<std::shared_mutex> hold(handle_lock_);
        old = std::move(db_);
        open_ = false;
    }
    // Closed here, after letting go: LevelDB's close may wait for a compaction.
}

void recording_database::write(leveldb::WriteBatch& batch, durability how) {
    if (db_) write_to(*db_, batch, how);
}

void recording_database::fail(const std::string& text) {
    failure_ = text;
    throw std::runtime_error(failure_);
}

void recording_database::write_to(leveldb::DB& db, leveldb::WriteBatch& batch, durability how) {
    if (!failure_.empty()) throw std::runtime_error(failure_);
    // Nothing more goes after frames whose sync failed: they may be gone already.
    check_sync(false);
    leveldb::WriteOptions options;
    options.sync = how == durability::synced;
    leveldb::Status status = db.Write(options, &batch);
    if (!status.ok()) fail(status.ToString());
    if (how == durability::synced) {
        synced_since_open_ = true;
        unsynced_ = false;
        last_sync_ = steady_now();
        ++synced_writes_;
    } else if (how == durability::sync_point) {
        sync_point(false);
    } else if (!unsynced_) {
        unsynced_ = true;
        first_unsynced_ = steady_now();
    }
}

void recording_database::sync_point(bool wait) {
    // The previous point's sync has had a whole interval; a disk that slow is waited for.
    if (!wait && sync_ticket_ && !env_->logs_synced(*sync_ticket_)) ++sync_waits_;
    check_sync(true);
    sync_ticket_ = env_->sync_logs_later();
    if (wait) check_sync(true);
    synced_since_open_ = true;
    unsynced_ = false;
    last_sync_ = steady_now();
    ++synced_writes_;
}

void recording_database::check_sync(bool wait) {
    if (!sync_ticket_) return;
    leveldb::Status status;
    if (wait)
        status = env_->wait_logs_synced(*sync_ticket_);
    else if (!env_->logs_synced(*sync_ticket_, &status))
        return;
    sync_ticket_.reset();
    if (!status.ok()) fail(status.ToString());
}

std::optional<std::chrono::steady_clock::time_point> recording_database::sync_deadline() const {
    if (!db_ || !unsynced_ || failed()) return std::nullopt;
    return first_unsynced_ + options_.sync_interval;
}

void recording_database::sync_pending() {
    if (!db_ || !unsynced_) return;
    if (failed()) throw std::runtime_error(failure_);
    sync_point(true);
}

void recording_database::put(const std::string& key, const std::string& value) {
    leveldb::WriteBatch batch;
    batch.Put(key, value);
    write(batch, durability::later);
}

void recording_database::write_session(const std::wstring& session) { put(db_keys::session, to_narrow(session)); }
void recording_database::write_session(const std::string& session) { put(db_keys::session, session); }
void recording_database::write_side(const std::wstring& side) { put(db_keys::side, to_narrow(side)); }
void recording_database::write_session_and_side(const std::string& session, const std::wstring& side) {
    leveldb::WriteBatch batch;
    batch.Put(db_keys::session, session);
    batch.Put(db_keys::side, to_narrow(side));
    write(batch, durability::later);
}
void recording_database::write_count() { put(db_keys::count, format_count(frame_count_)); }
void recording_database::write_dpp_start(std::uint32_t count) { put(db_keys::dpp_start, make_frame_key(count)); }
void recording_database::write_dpp_end(std::uint32_t count) { put(db_keys::dpp_end, make_frame_key(count)); }
void recording_database::write_time_start(std::int64_t seconds) { put(db_keys::time_start, time_text(seconds)); }
void recording_database::write_time_end(std::int64_t seconds) { put(db_keys::time_end, time_text(seconds)); }

void recording_database::write_frame(const cv::Mat& gray8, std::uint32_t count) {
    if (!db_) return;
    encode_frame(gray8, jpeg_);
    put(make_frame_key(count), std::string(reinterpret_cast<const char*>(jpeg_.data()), jpeg_.size()));
}

bool recording_database::sync_due() const {
    return !synced_since_open_ || steady_now() - last_sync_ >= options_.sync_interval;
}

void recording_database::store_frame(const cv::Mat& gray8, std::uint32_t count, std::int64_t now_seconds) {
    if (!db_) return;
    // The buffer is kept between frames: no allocation per frame once it has grown.
    encode_frame(gray8, jpeg_);
    store_encoded_frame(std::string_view(reinterpret_cast<const char*>(jpeg_.data()), jpeg_.size()), count,
                        now_seconds);
}

void recording_database::store_encoded_frame(std::string_view jpeg, std::uint32_t count, std::int64_t now_seconds) {
    if (!db_) return;
    if (!frame_batch_) frame_batch_ = std::make_unique<leveldb::WriteBatch>();
    leveldb::WriteBatch& batch = *frame_batch_;
    batch.Clear();
    if (frame_count_ == 0) {
        batch.Put(db_keys::dpp_start, make_frame_key(count));
        batch.Put(db_keys::time_start, time_text(now_seconds));
    }
    batch.Put(db_keys::dpp_end, make_frame_key(count));
    batch.Put(db_keys::time_end, time_text(now_seconds));
    batch.Put(make_frame_key(count), leveldb::Slice(jpeg.data(), jpeg.size()));
    write(batch, sync_due() ? durability::sync_point : durability::later);
    ++frame_count_;
}

void recording_database::abandon() {
    unsynced_ = false;
    frame_count_ = 0;
    failure_.clear();
    drop_handle();
}

void recording_database::close(const std::string& session_code, const std::wstring& side) {
    if (!open_) return;
    if (failed()) {
        abandon();
        return;
    }
    leveldb::WriteBatch batch;
    batch.Put(db_keys::session, session_code);
    batch.Put(db_keys::side, to_narrow(side));
    batch.Put(db_keys::count, format_count(frame_count_));
    try {
        // The last sync point's sync first: a failed one leaves the count unwritten.
        check_sync(true);
        write(batch, durability::synced);
    } catch (...) {
        // Everything written before stays as LevelDB has it; the handle is never written again.
        abandon();
        throw;
    }
    abandon();
}

void recording_database::close(const std::wstring& session_code, const std::wstring& side) {
    close(to_narrow(session_code), side);
}

namespace {

std::wstring text_or_empty(leveldb::DB* db, const char* name) {
    if (!db) return {};
    auto value = at_or_after_value(*db, name);
    return value ? to_wide(*value) : std::wstring();
}

std::uint32_t count_or_zero(leveldb::DB* db, const char* name) {
    if (!db) return 0;
    auto value = at_or_after_value(*db, name);
    return value ? parse_count(*value) : 0;
}

std::int64_t time_or_invalid(leveldb::DB* db, const char* name) {
    if (!db) return invalid_time;
    auto value = at_or_after_value(*db, name);
    return value ? parse_time(*value) : invalid_time;
}

std::optional<std::string> key_at_or_after(leveldb::DB& db, const std::string& key) {
    std::unique_ptr<leveldb::Iterator> it(db.NewIterator(leveldb::ReadOptions()));
    it->Seek(key);
    if (it->Valid()) return it->key().ToString();
    return std::nullopt;
}

}  // namespace

std::wstring recording_database::session() const { return text_or_empty(db_.get(), db_keys::session); }
std::wstring recording_database::orientation() const { return text_or_empty(db_.get(), db_keys::orientation); }
std::wstring recording_database::side() const { return text_or_empty(db_.get(), db_keys::side); }
std::wstring recording_database::version() const { return text_or_empty(db_.get(), db_keys::version); }
std::uint32_t recording_database::dpp_start() const { return count_or_zero(db_.get(), db_keys::dpp_start); }
std::uint32_t recording_database::dpp_end() const { return count_or_zero(db_.get(), db_keys::dpp_end); }
std::int64_t recording_database::time_start() const { return time_or_invalid(db_.get(), db_keys::time_start); }
std::int64_t recording_database::time_end() const { return time_or_invalid(db_.get(), db_keys::time_end); }

ldb_info recording_database::summary(std::wstring* missing_time_start) const {
    if (missing_time_start) missing_time_start->clear();
    ldb_info info;
    if (!db_) return info;
    auto start = at_or_after_value(*db_, db_keys::time_start);
    if (!start && missing_time_start) *missing_time_start = L"Не задано время начала проезда";
    info.time_start = format_local_time(start ? parse_time(*start) : invalid_time);
    info.time_end = format_local_time(time_end());
    info.dpp_start = dpp_start();
    info.dpp_end = dpp_end();
    info.version = version();
    auto first = key_at_or_after(*db_, make_frame_key(info.dpp_start));
    auto last = key_at_or_after(*db_, make_frame_key(info.dpp_end));
    if (first && last) info.size = approximate_size(*db_, *first, *last);
    info.count = frame_count_;
    return info;
}

cv::Mat recording_database::read_frame(std::uint32_t count) const {
    cv::Mat image;
    {
        std::shared_lock<std::shared_mutex> hold(handle_lock_);
        if (db_) image = read_frame_at_or_after(*db_, count);
    }
    if (image.empty()) image = make_placeholder_frame("Requested frame not found [" + std::to_string(count) + "]");
    return image;
}

std::optional<std::string> recording_database::read_stored(std::uint32_t count, bool* was_open) const {
    std::shared_lock<std::shared_mutex> hold(handle_lock_);
    if (was_open) *was_open = db_ != nullptr;
    if (!db_) return std::nullopt;
    std::unique_ptr<leveldb::Iterator> it(db_->NewIterator(leveldb::ReadOptions()));
    it->Seek(make_frame_key(count));
    if (!it->Valid()) return std::nullopt;
    return it->value().ToString();
}
