#include "database/database_layout.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include <boost/lexical_cast.hpp>
#include <leveldb/db.h>
#include <leveldb/env.h>

#include "database/read_only_env.h"

std::string make_frame_key(std::uint32_t count) {
    char text[16];
    std::snprintf(text, sizeof text, "%010u", static_cast<unsigned>(count));
    return text;
}

std::string format_count(std::uint64_t count) {
    char text[32];
    std::snprintf(text, sizeof text, "%010llu", static_cast<unsigned long long>(count));
    return text;
}

bool is_frame_key(std::string_view key) {
    if (key.size() != 10) return false;
    for (char c : key)
        if (c < '0' || c > '9') return false;
    return true;
}

std::uint32_t parse_count(const std::string& text) { return boost::lexical_cast<std::uint32_t>(text); }

std::uint64_t parse_count64(const std::string& text) { return boost::lexical_cast<std::uint64_t>(text); }

std::int64_t parse_time(const std::string& text) { return boost::lexical_cast<std::int64_t>(text); }

namespace {

class silent_log : public leveldb::Logger {
public:
    void Logv(const char*, std::va_list) override {}
};

void refuse_missing_database(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::path(path) / "CURRENT", ec))
        throw std::runtime_error("Invalid argument: " + path + ": does not exist (create_if_missing is false)");
}

}  // namespace

frame_store_tuning recording_storage_tuning() {
    frame_store_tuning t;
    // Measured with 1920 x 1200 JPEGs of about 400 KB at 50 steps/s and flat out: LevelDB's
    // defaults and 64 MB buffers/files both had a longer tail and a higher write amplification
    // at the camera's rate; 16 MB took 1.5 times the defaults' throughput flat out.
    t.write_buffer_size = 16u << 20;
    t.max_file_size = 16u << 20;
    t.compress = false;
    t.max_open_files = 128;
    return t;
}

std::unique_ptr<leveldb::DB> open_leveldb(const std::string& path, bool create, leveldb::Env* env,
                                          const frame_store_tuning* tuning) {
    // LevelDB creates the folder and its LOCK and LOG files before it finds out that there is
    // no database; answer that case itself, with the same text, so that a scan or a mistyped
    // path leaves foreign folders untouched.
    if (!create) refuse_missing_database(path);
    leveldb::Options options;
    options.create_if_missing = create;
    if (env) options.env = env;
    if (tuning) {
        if (tuning->write_buffer_size) options.write_buffer_size = tuning->write_buffer_size;
        if (tuning->max_file_size) options.max_file_size = tuning->max_file_size;
        if (!tuning->compress) options.compression = leveldb::kNoCompression;
        if (tuning->max_open_files) options.max_open_files = tuning->max_open_files;
    }
    leveldb::DB* db = nullptr;
    leveldb::Status status = leveldb::DB::Open(options, path, &db);
    if (!status.ok()) {
        delete db;
        throw std::runtime_error(status.ToString());
    }
    return std::unique_ptr<leveldb::DB>(db);
}

read_handle::read_handle() = default;

read_handle::~read_handle() {
    db.reset();  // waits for LevelDB's background work, which uses env
    info_log.reset();
    env.reset();
}

std::unique_ptr<read_handle> open_leveldb_read_only(const std::string& path) {
    refuse_missing_database(path);
    auto handle = std::make_unique<read_handle>();
    handle->env = std::make_unique<read_only_env>(leveldb::Env::Default());
    // With a logger of its own LevelDB neither renames LOG to LOG.old nor starts a new LOG.
    handle->info_log = std::make_unique<silent_log>();
    leveldb::Options options;
    options.env = handle->env.get();
    options.info_log = handle->info_log.get();
    leveldb::DB* db = nullptr;
    const leveldb::Status status = leveldb::DB::Open(options, path, &db);
    if (!status.ok()) {
        delete db;
        throw std::runtime_error(status.ToString());
    }
    handle->db.reset(db);
    return handle;
}

std::optional<std::string> exact_value(leveldb::DB& db, const std::string& name) {
    std::unique_ptr<leveldb::Iterator> it(db.NewIterator(leveldb::ReadOptions()));
    it->Seek(name);
    if (it->Valid() && it->key() == leveldb::Slice(name)) return it->value().ToString();
    return std::nullopt;
}

std::optional<std::string> at_or_after_value(leveldb::DB& db, const std::string& name) {
    std::unique_ptr<leveldb::Iterator> it(db.NewIterator(leveldb::ReadOptions()));
    it->Seek(name);
    if (it->Valid()) return it->value().ToString();
    return std::nullopt;
}

std::uint64_t count_frame_keys(leveldb::DB& db) {
    leveldb::ReadOptions options;
    options.fill_cache = false;  // one pass over every frame: keep the cache for lookups
    std::unique_ptr<leveldb::Iterator> it(db.NewIterator(options));
    std::uint64_t n = 0;
    for (it->SeekToFirst(); it->Valid() && is_frame_key(std::string_view(it->key().data(), it->key().size()));
         it->Next())
        ++n;
    return n;
}

std::uint64_t approximate_size(leveldb::DB& db, const std::string& from, const std::string& to) {
    leveldb::Range range(from, to);
    std::uint64_t size = 0;
    db.GetApproximateSizes(&range, 1, &size);
    return size;
}
