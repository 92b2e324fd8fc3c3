// The recorder writes with storage options of its own (large buffers and files, no
// compression); every reader with LevelDB's default options must read every key it wrote:
// an independent binding (python3-plyvel), quillmar-db and our reader, both of a database
// closed properly and of one a crash left with its newest writes in the log alone.
#include "database/database_layout.h"
#include "database/database_reader.h"
#include "database/recording_database.h"
#include "tests/database/db_test_util.h"
#include "tests/support/temp_home.h"
#include "tests/tools/tool_run.h"

#include <gtest/gtest.h>

#include <boost/crc.hpp>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>

namespace {

constexpr int frames = 60;  // of 400 KB: more than one write buffer, so tables and a log

std::string frame_value(int i) {
    std::mt19937 random(static_cast<unsigned>(i % 8));
    std::string value(400 * 1000, '\0');
    for (auto& c : value) c = static_cast<char>(random());
    std::snprintf(value.data(), 16, "frame %d", i);  // each value differs
    return value;
}

std::string line_of(const std::string& key, const std::string& value) {
    static const char* const hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : key) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    boost::crc_32_type crc;
    crc.process_bytes(value.data(), value.size());
    return out + " " + std::to_string(value.size()) + " " + std::to_string(crc.checksum());
}

// Writes a recording with the recorder's own options; returns every key and value written.
std::map<std::string, std::string> record(const std::filesystem::path& path, bool close) {
    std::map<std::string, std::string> keys{{"version", "1"}, {"session", "12 : 34"}, {"side", "левый"}};
    recording_database db;
    db.open(path.wstring(), "12 : 34", L"левый");
    for (int i = 0; i < frames; ++i) {
        const std::string value = frame_value(i);
        const std::uint32_t count = 5000u + static_cast<std::uint32_t>(i);
        db.store_encoded_frame(value, count, 1714566645 + i);
        keys[make_frame_key(count)] = value;
    }
    keys["dpp_start"] = make_frame_key(5000);
    keys["time_start"] = "1714566645";
    keys["dpp_end"] = make_frame_key(5000 + frames - 1);
    keys["time_end"] = std::to_string(1714566645 + frames - 1);
    if (close) {
        db.close(std::string("12 : 34"), L"левый");
        keys["count"] = format_count(frames);
    }  // else destroyed without its close, as by a crash
    return keys;
}

std::string lines_of(const std::map<std::string, std::string>& keys) {
    std::string out;
    for (const auto& [k, v] : keys) out += line_of(k, v) + "\n";
    return out;
}

bool plyvel_available() { return std::system("/usr/bin/python3 -c 'import plyvel' >/dev/null 2>&1") == 0; }

}  // namespace

TEST(DefaultOptionsReaders, ReadEveryKeyTheRecorderWrote) {
    test_support::temp_dir dir("qm-readers");
    std::map<std::filesystem::path, std::map<std::string, std::string>> written;
    for (const bool close : {true, false}) {
        const auto path = dir.path() / (close ? "closed" : "cut");
        written[path] = record(path, close);
        int tables = 0;
        for (const auto& e : std::filesystem::directory_iterator(path)) tables += e.path().extension() == ".ldb";
        EXPECT_GE(tables, 1) << path << ": the data should reach table files, not only the log";
    }

    // First the independent binding, on the databases exactly as the recorder left them.
    if (plyvel_available()) {
        for (const auto& [path, keys] : written) {
            const auto out = dir.path() / "plyvel.txt";
            const std::string script =
                "import plyvel, sys, zlib\n"
                "db = plyvel.DB(sys.argv[1])\n"
                "with open(sys.argv[2], 'w') as out:\n"
                "    for k, v in db:\n"
                "        out.write('%s %d %d\\n' % (k.hex(), len(v), zlib.crc32(v)))\n"
                "db.close()\n";
            const std::string command = "/usr/bin/python3 -c " + tool_test::quoted(script) + " " +
                                        tool_test::quoted(path.string()) + " " + tool_test::quoted(out.string());
            ASSERT_EQ(std::system(command.c_str()), 0) << path;
            EXPECT_EQ(tool_test::slurp(out), lines_of(keys)) << path;
        }
    } else {
        std::printf(
            "python3-plyvel is missing (apt-get install python3-plyvel): the independent reader was "
            "not run\n");
    }

    for (const auto& [path, keys] : written) {
        // quillmar-db: the metadata and the number of frame keys, and stored frames unchanged.
        const auto info = tool_test::run_tool("quillmar-db", dir.path(), {"info", path.string()});
        ASSERT_EQ(info.code, 0) << info.err;
        EXPECT_NE(info.out.find("frame keys\t" + std::to_string(frames) + "\n"), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("dpp_end\t" + make_frame_key(5000 + frames - 1) + "\n"), std::string::npos);
        for (const int i : {0, frames / 2, frames - 1}) {
            const auto file = dir.path() / "frame.jpeg";
            const auto got = tool_test::run_tool(
                "quillmar-db", dir.path(), {"frame", path.string(), std::to_string(5000 + i), "-o", file.string()});
            ASSERT_EQ(got.code, 0) << got.err;
            EXPECT_TRUE(tool_test::slurp(file) == frame_value(i)) << path << " frame " << i;
        }

        // Our reader, whole.
        EXPECT_EQ(lines_of(db_test::all_keys(path.string())), lines_of(keys)) << path;
        database_reader reader(path.wstring());
        EXPECT_EQ(reader.summary().count, static_cast<std::uint64_t>(frames));
    }

    if (!plyvel_available()) GTEST_SKIP() << "python3-plyvel is missing: only our readers were checked";
}
