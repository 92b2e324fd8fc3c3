#include "database/database_layout.h"

#include <cctype>
#include <climits>
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
    std::error_code ec;
    if (!create && !std::filesystem::exists(std::filesystem::path(path) / "CURRENT", ec))
        throw std::runtime_error("Invalid argument: " + path +
                                 ": does not exist (create_if_missing is false)");
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

void encode_frame(const cv::Mat& gray8, std::vector<unsigned char>& out) {
    static const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, 85};
    if (!cv::imencode(".jpeg", gray8, out, parameters)) throw std::runtime_error("JPEG encoding failed");
}

std::uint64_t approximate_size(leveldb::DB& db, const std::string& from, const std::string& to) {
    leveldb::Range range(from, to);
    std::uint64_t size = 0;
    db.GetApproximateSizes(&range, 1, &size);
    return size;
}

namespace {

// Width x height from the frame header of JPEG data, or 0 when there is none before the scan.
std::uint64_t jpeg_pixels(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return 0;
    std::size_t i = 2;
    while (i + 4 <= bytes.size()) {
        if (byte(i) != 0xFF) return 0;
        const unsigned marker = byte(i + 1);
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        const std::size_t length = std::size_t(byte(i + 2)) << 8 | byte(i + 3);
        const bool frame_header = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 &&
                                  marker != 0xC8 && marker != 0xCC;
        if (frame_header) {
            if (i + 9 > bytes.size()) return 0;
            const std::uint64_t height = std::uint64_t(byte(i + 5)) << 8 | byte(i + 6);
            const std::uint64_t width = std::uint64_t(byte(i + 7)) << 8 | byte(i + 8);
            return width * height;
        }
        if (marker == 0xDA || length < 2) return 0;  // scan data, or a broken segment
        i += 2 + length;
    }
    return 0;
}

// Far beyond any camera frame: larger headers are damage, and decoding them would allocate
// gigabytes for a few stored bytes.
constexpr std::uint64_t max_frame_pixels = std::uint64_t(1) << 26;

}  // namespace

cv::Mat decode_frame(std::string_view bytes) {
    // A value too long for OpenCV's int sizes is not a frame this system could have stored.
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) return {};
    if (jpeg_pixels(bytes) > max_frame_pixels) return {};
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
