// quillmar-db run as a program on databases written by recording_database.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <leveldb/db.h>

#include "database/database_layout.h"
#include "database/recording_database.h"
#include "tests/support/temp_home.h"
#include "tests/tools/tool_run.h"

namespace fs = std::filesystem;

namespace {

using tool_test::result;
using tool_test::slurp;

result run_tool(const fs::path& dir, const std::vector<std::string>& args) {
    return tool_test::run_tool("quillmar-db", dir, args);
}

cv::Mat frame(int value) {
    cv::Mat image(60, 80, CV_8UC1);
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x) image.at<uchar>(y, x) = static_cast<uchar>(x + y + value);
    return image;
}

std::string record(const fs::path& path, const std::string& session) {
    recording_database db;
    db.open(path.wstring());
    db.store_frame(frame(1), 5, 1714566645);
    db.store_frame(frame(2), 9, 1714566650);
    db.close(session, L"левый");
    return path.string();
}

std::string stored(const std::string& path, const std::string& key) {
    auto db = open_leveldb(path, false);
    std::string value;
    db->Get(leveldb::ReadOptions(), key, &value);
    return value;
}

}  // namespace

TEST(DbTool, ListPrintsOneLinePerDatabaseAndNamesUnreadableFolders) {
    test_support::temp_dir work, out;
    const std::string a = record(work.path() / "2024.05.01 12.30.45", "12 : 34");
    fs::create_directory(work.path() / "junk");
    { std::ofstream(work.path() / "readme.txt") << "x"; }

    result r = run_tool(out.path(), {"list", work.str()});
    EXPECT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::vector<std::string> rows;
    while (std::getline(lines, line)) rows.push_back(line);
    ASSERT_EQ(rows.size(), 1u) << r.out;
    std::vector<std::string> fields;
    std::istringstream cells(rows[0]);
    while (std::getline(cells, line, '\t')) fields.push_back(line);
    ASSERT_EQ(fields.size(), 9u) << rows[0];
    EXPECT_EQ(fields[0], a);
    EXPECT_EQ(fields[1], "12 : 34");
    EXPECT_EQ(fields[2], "левый");
    EXPECT_EQ(fields[3].size(), 19u);
    EXPECT_EQ(fields[5], "5");
    EXPECT_EQ(fields[6], "9");
    EXPECT_EQ(fields[8], "2");

    EXPECT_EQ(r.err, "quillmar-db: cannot read " + (work.path() / "junk").string() + ": Invalid argument: " +
                         (work.path() / "junk").string() + ": does not exist (create_if_missing is false)\n");
    EXPECT_TRUE(fs::is_empty(work.path() / "junk"));  // the scan left it untouched
}

TEST(DbTool, ListNamesAnEmptyDatabaseAndGoesOnWithTheOthers) {
    test_support::temp_dir work, out;
    {
        recording_database db;
        db.open((work.path() / "a empty").wstring());
        db.close(std::string("12 : 34"), L"левый");
    }
    const std::string b = record(work.path() / "b", "S : 1");
    result r = run_tool(out.path(), {"list", work.str()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind(b + "\t", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "quillmar-db: cannot read " + (work.path() / "a empty").string() + ": no frames\n");
}

TEST(DbTool, InfoShowsMetadataAndTheFrameKeyCount) {
    test_support::temp_dir work, out;
    const std::string a = record(work.path() / "db", "S : 1");
    result r = run_tool(out.path(), {"info", a});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "count\t0000000002\n"
              "dpp_end\t0000000009\n"
              "dpp_start\t0000000005\n"
              "session\tS : 1\n"
              "side\tлевый\n"
              "time_end\t1714566650\n"
              "time_start\t1714566645\n"
              "version\t1\n"
              "frame keys\t2\n");
}

TEST(DbTool, FrameExportsTheStoredBytesAtOrAfterTheCount) {
    test_support::temp_dir work, out;
    const std::string a = record(work.path() / "db", "S : 1");
    const fs::path file = out.path() / "frame.jpeg";

    result r = run_tool(out.path(), {"frame", a, "6", "-o", file.string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(file), stored(a, "0000000009"));

    r = run_tool(out.path(), {"frame", a, "0", "-o", file.string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(file), stored(a, "0000000005"));

    // Past the last frame the next key is "count": metadata, not a frame.
    fs::remove(file);
    r = run_tool(out.path(), {"frame", a, "10", "-o", file.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "quillmar-db: no frame at or after 10 in " + a + "\n");
    EXPECT_FALSE(fs::exists(file));
}

TEST(DbTool, BadArgumentsAndBadFoldersFailClearly) {
    test_support::temp_dir work, out;
    result r = run_tool(out.path(), {"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("quillmar-db frame DB COUNT -o FILE"), std::string::npos);

    r = run_tool(out.path(), {});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("Usage:"), std::string::npos);
    EXPECT_EQ(run_tool(out.path(), {"remove", "x"}).code, 2);
    EXPECT_EQ(run_tool(out.path(), {"frame", "x", "-5", "-o", "f"}).code, 2);
    EXPECT_EQ(run_tool(out.path(), {"frame", "x", "4294967296", "-o", "f"}).code, 2);
    EXPECT_EQ(run_tool(out.path(), {"frame", "x", "5"}).code, 2);

    fs::create_directory(work.path() / "plain");
    r = run_tool(out.path(), {"info", (work.path() / "plain").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("does not exist (create_if_missing is false)"), std::string::npos) << r.err;
    r = run_tool(out.path(), {"list", (work.path() / "missing").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "quillmar-db: cannot list " + (work.path() / "missing").string() + ": not a directory\n");
    EXPECT_FALSE(fs::exists(work.path() / "missing"));
}
