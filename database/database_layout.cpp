#include "database/database_layout.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include <boost/lexical_cast.hpp>
#include <leveldb/db.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

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

std::uint32_t parse_count(const std::string& text) {
    return boost::lexical_cast<std::uint32_t>(text);
}

std::uint64_t parse_count64(const std::string& text) {
    return boost::lexical_cast<std::uint64_t>(text);
}

std::int64_t parse_time(const std::string& text) {
    return boost::lexical_cast<std::int64_t>(text);
}

std::unique_ptr<leveldb::DB> open_leveldb(const std::string& path, bool create) {
    // LevelDB creates the folder and its LOCK and LOG files before it finds out that there is
    // no database; answer that case itself, with the same text, so that a scan or a mistyped
    // path leaves foreign folders untouched.
    std::error_code ec;
    if (!create && !std::filesystem::exists(std::filesystem::path(path) / "CURRENT", ec))
        throw std::runtime_error("Invalid argument: " + path +
                                 ": does not exist (create_if_missing is false)");
    leveldb::Options options;
    options.create_if_missing = create;
    leveldb::DB* db = nullptr;
    leveldb::Status status = leveldb::DB::Open(options, path, &db);
    if (!status.ok()) {
        delete db;
        throw std::runtime_error(status.ToString());
    }
    return std::unique_ptr<leveldb::DB>(db);
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

std::uint64_t approximate_size(leveldb::DB& db, const std::string& from, const std::string& to) {
    leveldb::Range range(from, to);
    std::uint64_t size = 0;
    db.GetApproximateSizes(&range, 1, &size);
    return size;
}

cv::Mat decode_frame(std::string_view bytes) {
    if (bytes.empty()) return {};
    // imdecode only reads the buffer; the Mat header is a view over the string's bytes.
    cv::Mat raw(1, static_cast<int>(bytes.size()), CV_8UC1,
                const_cast<char*>(bytes.data()));
    try {
        return cv::imdecode(raw, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        return {};  // a corrupt value is "no image", not a failure of the caller
    }
}

cv::Mat read_frame_at_or_after(leveldb::DB& db, std::uint32_t count) {
    std::unique_ptr<leveldb::Iterator> it(db.NewIterator(leveldb::ReadOptions()));
    it->Seek(make_frame_key(count));
    if (!it->Valid()) return {};
    leveldb::Slice value = it->value();
    return decode_frame(std::string_view(value.data(), value.size()));
}

cv::Mat make_placeholder_frame(const std::string& text) {
    cv::Mat image(480, 640, CV_8UC1, cv::Scalar(0));
    cv::putText(image, text, cv::Point(15, 15), cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(255),
                1, cv::LINE_8, false);
    return image;
}

std::wstring format_local_time(std::int64_t seconds) {
    if (seconds == invalid_time) return {};
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localtime_r(&t, &local)) return {};
    char text[64];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::wstring(text, text + n);
}
