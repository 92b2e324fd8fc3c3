#pragma once
// The byte-level layout shared by the writer, the reader and the tools: key names, the frame
// key, value parsing, the storage options and the getters over an open LevelDB handle. What a
// stored frame's bytes are is database/frame_image.h. Free functions without state; safe from
// any thread (LevelDB handles allow concurrent reads).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class read_only_env;

namespace leveldb {
class DB;
class Env;
class Logger;
}  // namespace leveldb

namespace db_keys {
inline constexpr const char* version = "version";
inline constexpr const char* dpp_start = "dpp_start";
inline constexpr const char* time_start = "time_start";
inline constexpr const char* dpp_end = "dpp_end";
inline constexpr const char* time_end = "time_end";
inline constexpr const char* count = "count";
inline constexpr const char* session = "session";
inline constexpr const char* side = "side";
inline constexpr const char* orientation = "orientation";
inline constexpr const char* version_value = "1";
}  // namespace db_keys

// "%010u" of an odometer count: always exactly ten digits.
std::string make_frame_key(std::uint32_t count);
// "%010u" of a 64-bit count: ten digits, more beyond 9999999999.
std::string format_count(std::uint64_t count);
// A frame key is exactly ten decimal digits.
bool is_frame_key(std::string_view key);

// Parse rules of stored numbers; malformed text throws boost::bad_lexical_cast.
// Counts: unsigned decimal, leading zeros allowed, optional "+" or "-" ("-" negates modulo
// 2^32). Times: signed 64-bit decimal; -1 means invalid.
std::uint32_t parse_count(const std::string& text);
std::uint64_t parse_count64(const std::string& text);
std::int64_t parse_time(const std::string& text);
inline constexpr std::int64_t invalid_time = -1;

// Opens the LevelDB directory at path (narrow, locale multibyte) with default options, plus
// create_if_missing when create is true. Throws std::runtime_error with the status text.
// Without create, a folder holding no database is refused before LevelDB touches it (same
// text as LevelDB's: "Invalid argument: <path>: does not exist (create_if_missing is false)").
// env: the storage environment (null: LevelDB's default); it must outlive the handle.
// tuning: the writer's storage options (null: LevelDB's defaults, as every reader has them).
struct frame_store_tuning;
std::unique_ptr<leveldb::DB> open_leveldb(const std::string& path, bool create, leveldb::Env* env = nullptr,
                                          const frame_store_tuning* tuning = nullptr);

// A handle that only reads: the database at path opened through a read_only_env, so that
// the open and every read leave each file in the folder as it was (an uncompacted log is
// replayed into memory), and with a shared lock, so that any number of such handles of one
// folder coexist in this process and in others while a writer is kept out. Throws as
// open_leveldb (without create); a folder a writer holds gives LevelDB's "IO error: lock" text.
struct read_handle {
    read_handle();
    ~read_handle();  // the handle first, then what it uses
    read_handle(const read_handle&) = delete;
    read_handle& operator=(const read_handle&) = delete;

    std::unique_ptr<read_only_env> env;
    std::unique_ptr<leveldb::Logger> info_log;
    std::unique_ptr<leveldb::DB> db;
};
std::unique_ptr<read_handle> open_leveldb_read_only(const std::string& path);

// The recorder's storage options for values of hundreds of kilobytes (JPEG frames). They
// change only how LevelDB buffers and files what it writes, never the format: a reader with
// default options reads every key. 0 keeps LevelDB's default.
struct frame_store_tuning {
    // Memtable size: a larger one writes fewer, larger level-0 tables, so fewer compactions
    // and write pauses per gigabyte.
    std::size_t write_buffer_size = 0;
    // Table file size: larger files mean fewer files and open handles for tens of GB, but
    // longer single compactions.
    std::size_t max_file_size = 0;
    // JPEG data does not compress: trying costs CPU and saves nothing.
    bool compress = true;
    // Tables kept open, each with its index mapped into memory (about 28 KB of the process's
    // memory per table here). The writer reads only the newest frames and what it compacts,
    // so a small number keeps its memory flat over tens of GB (LevelDB keeps 1000 open, which
    // a shift's 2,000 tables would fill). LevelDB takes at least 74.
    int max_open_files = 0;
};

// The options the recording writer uses (chosen from measurements with bench_database_options).
frame_store_tuning recording_storage_tuning();

// Getters: a fresh iterator seeked to name. exact_value gives the value only when the key
// found is name itself; at_or_after_value gives the value of whatever key is found. Both give
// nullopt when nothing is found.
std::optional<std::string> exact_value(leveldb::DB& db, const std::string& name);
std::optional<std::string> at_or_after_value(leveldb::DB& db, const std::string& name);

// The number of frame keys (they sort before every metadata key). Reads every stored frame
// block once, without filling the block cache: linear in the stored bytes.
std::uint64_t count_frame_keys(leveldb::DB& db);

// LevelDB's approximate stored size of [from, to), full 64 bits.
std::uint64_t approximate_size(leveldb::DB& db, const std::string& from, const std::string& to);
