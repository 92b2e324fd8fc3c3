#pragma once
// Helpers for database tests: raw LevelDB access to write foreign databases and read back
// every stored byte, and a small frame with non-constant content.
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include <leveldb/db.h>
#include <opencv2/core.hpp>

#include "database/database_layout.h"

namespace db_test {

inline std::map<std::string, std::string> all_keys(const std::string& path) {
    auto db = open_leveldb(path, false);
    std::map<std::string, std::string> out;
    std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
    for (it->SeekToFirst(); it->Valid(); it->Next()) out[it->key().ToString()] = it->value().ToString();
    return out;
}

// The number of tables in level 0, as LevelDB reports it at an open.
inline std::string level0_tables(const std::string& path) {
    std::string tables;
    if (!open_leveldb(path, false)->GetProperty("leveldb.num-files-at-level0", &tables)) return "unknown";
    return tables;
}

inline void write_raw(const std::string& path, const std::map<std::string, std::string>& keys) {
    auto db = open_leveldb(path, true);
    for (const auto& [key, value] : keys) db->Put(leveldb::WriteOptions(), key, value);
}

// Every file of a folder, by name, with its size and a checksum of its bytes: equal snapshots
// mean no file was added, removed or changed (and a difference prints short).
inline std::map<std::string, std::pair<std::size_t, std::size_t>> folder_checksums(
    const std::filesystem::path& folder) {
    std::map<std::string, std::pair<std::size_t, std::size_t>> out;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        out[entry.path().filename().string()] = {bytes.size(), std::hash<std::string>{}(bytes)};
    }
    return out;
}

// A grey gradient with a value-dependent square, so different values give different JPEGs.
inline cv::Mat test_frame(int value, int width = 64, int height = 48) {
    cv::Mat image(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.at<uchar>(y, x) = static_cast<uchar>((x * 3 + y) & 0xff);
    image(cv::Rect(8, 8, 16, 16)).setTo(cv::Scalar(value & 0xff));
    return image;
}

}  // namespace db_test
