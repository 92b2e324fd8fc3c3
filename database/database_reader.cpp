#include "database/database_reader.h"

#include <leveldb/db.h>

#include <stdexcept>
#include <string>

#include "database/database_layout.h"
#include "database/frame_image.h"
#include "database/read_only_env.h"
#include "database/local_time.h"
#include "base/locale_text.h"

namespace {

const wchar_t* const no_data = L"нет данных";

std::wstring exact_text(leveldb::DB& db, const char* name) {
    auto value = exact_value(db, name);
    return value ? to_wide(*value) : std::wstring(no_data);
}

}  // namespace

database_reader::database_reader(const std::wstring& path, access how) {
    if (how == access::maintain) {
        writable_ = open_leveldb(to_narrow(path), false);
        db_ = writable_.get();
    } else {
        handle_ = open_leveldb_read_only(to_narrow(path));
        db_ = handle_->db.get();
    }
    position();
}

database_reader::database_reader(std::shared_ptr<read_handle> handle, std::shared_ptr<void> keep)
    : keep_(std::move(keep)), handle_(std::move(handle)) {
    if (!handle_ || !handle_->db) throw std::invalid_argument("database_reader: no handle");
    db_ = handle_->db.get();
    position();
}

bool database_reader::replayed_log() const { return handle_ && handle_->env->holds_tables(); }

void database_reader::position() {
    first_.reset(db_->NewIterator(leveldb::ReadOptions()));
    last_.reset(db_->NewIterator(leveldb::ReadOptions()));
    current_.reset(db_->NewIterator(leveldb::ReadOptions()));
    // A throwing getter unwinds the members above in reverse order: no reader is left.
    const std::string start_key = make_frame_key(dpp_start());
    const std::string end_key = make_frame_key(dpp_end());
    first_->Seek(start_key);
    current_->Seek(start_key);
    last_->Seek(end_key);
}

database_reader::~database_reader() {
    current_.reset();
    last_.reset();
    first_.reset();
    writable_.reset();
    handle_.reset();
    keep_.reset();
}

std::wstring database_reader::session() const { return exact_text(*db_, db_keys::session); }
std::wstring database_reader::orientation() const { return exact_text(*db_, db_keys::orientation); }
std::wstring database_reader::side() const { return exact_text(*db_, db_keys::side); }

std::uint64_t database_reader::count() const {
    auto value = exact_value(*db_, db_keys::count);
    return value ? parse_count64(*value) : 0;
}

std::uint32_t database_reader::dpp_start() const {
    auto value = at_or_after_value(*db_, db_keys::dpp_start);
    return value ? parse_count(*value) : 0;
}

std::uint32_t database_reader::dpp_end() const {
    auto value = at_or_after_value(*db_, db_keys::dpp_end);
    return value ? parse_count(*value) : 0;
}

std::int64_t database_reader::time_start() const {
    auto value = at_or_after_value(*db_, db_keys::time_start);
    return value ? parse_time(*value) : invalid_time;
}

std::int64_t database_reader::time_end() const {
    auto value = at_or_after_value(*db_, db_keys::time_end);
    return value ? parse_time(*value) : invalid_time;
}

std::wstring database_reader::version() const {
    auto value = at_or_after_value(*db_, db_keys::version);
    return value ? to_wide(*value) : std::wstring();
}

ldb_info database_reader::summary(bool* counted) const {
    ldb_info info;
    info.session = session();
    info.orientation = orientation();
    info.side = side();
    info.time_start = format_local_time(time_start());
    info.time_end = format_local_time(time_end());
    info.dpp_start = dpp_start();
    info.dpp_end = dpp_end();
    info.version = version();
    if (first_->Valid() && last_->Valid())
        info.size = approximate_size(*db_, first_->key().ToString(), last_->key().ToString());
    // A recording cut short (crash, power cut, failed write) never wrote "count": its true
    // number of stored frames is the number of frame keys.
    auto stored = exact_value(*db_, db_keys::count);
    info.count = stored ? parse_count64(*stored) : count_frame_keys(*db_);
    if (counted) *counted = !stored;
    return info;
}

void database_reader::write_back_count(std::uint64_t count) {
    if (!writable_) throw std::runtime_error("IO error: the database is open for reading only");
    leveldb::WriteOptions options;
    options.sync = true;
    const leveldb::Status status = db_->Put(options, db_keys::count, format_count(count));
    if (!status.ok()) throw std::runtime_error(status.ToString());
    settle();
}

bool database_reader::level0_at_compaction_trigger() const {
    // LevelDB's config::kL0_CompactionTrigger, which its public headers do not export.
    constexpr int trigger = 4;
    std::string tables;
    if (!db_->GetProperty("leveldb.num-files-at-level0", &tables)) return false;
    try {
        return std::stoi(tables) >= trigger;
    } catch (const std::exception&) {
        return false;
    }
}

void database_reader::settle() {
    // A read handle's compaction would only be refused (its tables stay on disk unchanged).
    if (!writable_) return;
    const leveldb::Slice key(db_keys::count);
    db_->CompactRange(&key, &key);
}

void database_reader::seek(std::uint32_t count) { current_->Seek(make_frame_key(count)); }

cv::Mat database_reader::current_frame() const {
    if (!current_->Valid()) return {};
    leveldb::Slice value = current_->value();
    return decode_frame(std::string_view(value.data(), value.size()));
}

std::string database_reader::current_key() const {
    return current_->Valid() ? current_->key().ToString() : std::string();
}

std::string database_reader::current_bytes() const {
    return current_->Valid() ? current_->value().ToString() : std::string();
}

void database_reader::advance() {
    if (!current_->Valid() || !last_->Valid()) return;
    if (current_->key().compare(last_->key()) < 0) current_->Next();
}

cv::Mat database_reader::read_frame(std::uint32_t count) const { return read_frame_at_or_after(*db_, count); }

std::optional<std::string> database_reader::read_stored(std::uint32_t count) const {
    std::unique_ptr<leveldb::Iterator> it(db_->NewIterator(leveldb::ReadOptions()));
    it->Seek(make_frame_key(count));
    if (!it->Valid()) return std::nullopt;
    return it->value().ToString();
}

std::vector<std::uint32_t> database_reader::frame_counts(const std::function<bool()>& keep_going) const {
    std::vector<std::uint32_t> counts;
    std::unique_ptr<leveldb::Iterator> it(db_->NewIterator(leveldb::ReadOptions()));
    for (it->Seek(make_frame_key(0)); it->Valid() && keep_going(); it->Next()) {
        const std::string key = it->key().ToString();
        if (!is_frame_key(key)) break;  // the metadata keys sort after every frame key
        counts.push_back(parse_count(key));
    }
    return counts;
}

void database_reader::each_stored(std::uint32_t from, std::uint32_t to,
                                  const std::function<void(std::uint32_t, const std::string&)>& take) const {
    std::unique_ptr<leveldb::Iterator> it(db_->NewIterator(leveldb::ReadOptions()));
    for (it->Seek(make_frame_key(from)); it->Valid(); it->Next()) {
        const std::string key = it->key().ToString();
        if (!is_frame_key(key)) break;
        const std::uint32_t count = parse_count(key);
        if (count > to) break;
        take(count, it->value().ToString());
    }
}
