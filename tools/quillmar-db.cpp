// quillmar-db: recorded databases from the command line, for field engineers and scripts.
//
//   quillmar-db list DIR                 one tab-separated line per database under DIR
//   quillmar-db info DB                  every metadata key and value, and the frame key count
//   quillmar-db frame DB COUNT -o FILE   the stored JPEG of the frame at or after COUNT
//
// Errors go to standard error with a non-zero exit: 1 when the work failed, 2 for bad usage.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <leveldb/db.h>

#include "database/database_layout.h"
#include "database/database_scan.h"
#include "base/locale_text.h"

namespace {

const char* const usage_text =
    "Usage:\n"
    "  quillmar-db list DIR\n"
    "      One line per recorded database under DIR, fields separated by tabs:\n"
    "      path, session, side, start time, end time, first odometer count,\n"
    "      last odometer count, size in bytes, number of frame writes.\n"
    "      Folders that cannot be read are named on standard error.\n"
    "  quillmar-db info DB\n"
    "      Every metadata key and its value (key, tab, value), then the line\n"
    "      \"frame keys<TAB>N\" with the number of frame keys.\n"
    "  quillmar-db frame DB COUNT -o FILE\n"
    "      Writes the stored JPEG bytes of the first frame at or after the\n"
    "      odometer count COUNT to FILE, unchanged.\n"
    "  quillmar-db --help\n";

int usage_error(const std::string& message) {
    std::cerr << "quillmar-db: " << message << "\n" << usage_text;
    return 2;
}

int failure(const std::string& message) {
    std::cerr << "quillmar-db: " << message << "\n";
    return 1;
}

void use_locale() {
    // Stored texts are in the locale's multibyte form; without any locale use UTF-8.
    const char* name = std::setlocale(LC_ALL, "");
    if (!name || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0)
        std::setlocale(LC_ALL, "C.UTF-8");
}

int list_command(const std::string& dir) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec))
        return failure("cannot list " + dir + ": not a directory");
    scan_callbacks callbacks;
    callbacks.found = [](const std::wstring& folder, const ldb_info& s) {
        std::cout << to_narrow(folder) << '\t' << to_narrow(s.session) << '\t'
                  << to_narrow(s.side) << '\t' << to_narrow(s.time_start) << '\t'
                  << to_narrow(s.time_end) << '\t' << s.dpp_start << '\t' << s.dpp_end << '\t'
                  << s.size << '\t' << s.count << '\n';
    };
    callbacks.failed = [](const std::wstring& folder, const std::string& reason) {
        std::cerr << "quillmar-db: cannot read " << to_narrow(folder) << ": " << reason << '\n';
    };
    scan_databases(to_wide(dir), callbacks);
    std::cout.flush();
    return 0;
}

int info_command(const std::string& path) {
    std::unique_ptr<leveldb::DB> db = open_leveldb(path, false);
    std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
    std::size_t frames = 0;
    for (it->SeekToFirst(); it->Valid(); it->Next()) {
        const std::string key = it->key().ToString();
        if (is_frame_key(key)) {
            ++frames;
            continue;
        }
        std::cout << key << '\t' << it->value().ToString() << '\n';
    }
    if (!it->status().ok()) return failure(path + ": " + it->status().ToString());
    std::cout << "frame keys\t" << frames << '\n';
    return 0;
}

bool parse_odometer_count(const std::string& text, std::uint32_t& count) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 4294967295u) return false;
    count = static_cast<std::uint32_t>(value);
    return true;
}

int frame_command(const std::string& path, const std::string& count_text, const std::string& out) {
    std::uint32_t count = 0;
    if (!parse_odometer_count(count_text, count))
        return usage_error("COUNT must be an odometer count from 0 to 4294967295, not \"" +
                           count_text + "\"");
    std::unique_ptr<leveldb::DB> db = open_leveldb(path, false);
    std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
    it->Seek(make_frame_key(count));
    if (!it->status().ok()) return failure(path + ": " + it->status().ToString());
    // A metadata key found at or after COUNT is not a frame.
    if (!it->Valid() || !is_frame_key(it->key().ToString()))
        return failure("no frame at or after " + std::to_string(count) + " in " + path);
    const leveldb::Slice bytes = it->value();
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (file) file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (file) file.close();
    if (!file) return failure("cannot write " + out + ": " + std::strerror(errno));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    use_locale();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage_error("no command given");
    for (const auto& arg : args)
        if (arg == "--help" || arg == "-h") {
            std::cout << usage_text;
            return 0;
        }
    const std::string command = args[0];
    try {
        if (command == "list") {
            if (args.size() != 2) return usage_error("list takes one directory");
            return list_command(args[1]);
        }
        if (command == "info") {
            if (args.size() != 2) return usage_error("info takes one database folder");
            return info_command(args[1]);
        }
        if (command == "frame") {
            std::vector<std::string> positional;
            std::string out;
            for (std::size_t i = 1; i < args.size(); ++i) {
                if (args[i] == "-o") {
                    if (i + 1 >= args.size()) return usage_error("-o needs a file name");
                    if (!out.empty()) return usage_error("-o given twice");
                    out = args[++i];
                } else {
                    positional.push_back(args[i]);
                }
            }
            if (positional.size() != 2) return usage_error("frame takes DB and COUNT");
            if (out.empty()) return usage_error("frame needs -o FILE");
            return frame_command(positional[0], positional[1], out);
        }
        return usage_error("unknown command \"" + command + "\"");
    } catch (const std::exception& e) {
        return failure(e.what());
    }
}
