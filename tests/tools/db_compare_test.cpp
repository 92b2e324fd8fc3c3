// quillmar-db compare run as a program on two synthetic runs written by recording_database.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "tests/support/temp_home.h"
#include "tests/tools/tool_run.h"
#include "tests/viewer/synthetic_runs.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<std::string> fields_of(const std::string& row) {
    std::vector<std::string> out;
    std::istringstream in(row);
    for (std::string f; std::getline(in, f, ',');) out.push_back(f);
    return out;
}

class DbCompare : public ::testing::Test {
protected:
    test_support::temp_dir work, out;
    fs::path a = work.path() / "2024.05.01 12.30.45";
    fs::path b = work.path() / "2024.06.01 09.00.00";
    fs::path dir = work.path() / "differences";

    tool_test::result compare(const std::vector<std::string>& args) {
        return tool_test::run_tool("quillmar-db", out.path(), args);
    }
};

TEST_F(DbCompare, WritesOneRowAndBothFramesPerDifference) {
    // B 37 counts on and (5, -3) px aside, a dark bar in its frames 1077 and 1078.
    const synthetic_runs::strip s(640, 400, 90, 12);
    synthetic_runs::record(a.wstring(), s, 1000, 80, 0, 0, 3, 1, "A : 1");
    synthetic_runs::record(b.wstring(), s, 1037, 80, 5, -3, 3, 2, "A : 2", [](cv::Mat& f, std::uint32_t c) {
        if (c == 1077 || c == 1078) cv::rectangle(f, cv::Rect(200, 250, 70, 20), cv::Scalar(240), cv::FILLED);
    });
    const auto r = compare({"compare", a.string(), b.string(), "-o", dir.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto rows = lines_of(tool_test::slurp(dir / "differences.csv"));
    ASSERT_EQ(rows.size(), 3u) << r.out;
    EXPECT_EQ(rows[0], "count_a,count_b,dx,dy,match,changed_px");
    for (int i = 0; i < 2; ++i) {
        const auto f = fields_of(rows[static_cast<std::size_t>(i) + 1]);
        ASSERT_EQ(f.size(), 6u) << rows[static_cast<std::size_t>(i) + 1];
        EXPECT_EQ(f[0], std::to_string(1040 + i));
        EXPECT_EQ(f[1], std::to_string(1077 + i));
        EXPECT_NEAR(std::stoi(f[2]), 5, 1);
        EXPECT_NEAR(std::stoi(f[3]), -3, 1);
        EXPECT_EQ(f[4].substr(0, 2), "0.") << "a point as the separator, 0 .. 1";
        EXPECT_GT(std::stod(f[4]), 0.5);
        EXPECT_GT(std::stol(f[5]), 70 * 20 / 3);
        EXPECT_EQ(tool_test::slurp(dir / (f[0] + "_a.jpg")).substr(0, 2), "\xFF\xD8");
        EXPECT_EQ(tool_test::slurp(dir / (f[1] + "_b.jpg")).substr(0, 2), "\xFF\xD8");
    }
    EXPECT_NE(r.out.find("2 differences in 80 frame pairs"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "") << "no progress when standard error is no terminal";
}

TEST_F(DbCompare, RunsOfDifferentPlacesAreRefusedWithTheBestMatch) {
    const synthetic_runs::strip s(640, 400, 40, 12, 7), elsewhere(640, 400, 40, 12, 8);
    synthetic_runs::record(a.wstring(), s, 1000, 30, 0, 0, 3, 1, "A : 1");
    synthetic_runs::record(b.wstring(), elsewhere, 1000, 30, 0, 0, 3, 2, "A : 2");
    const auto r = compare({"compare", a.string(), b.string(), "-o", dir.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.rfind("quillmar-db: runs do not match: best match 0.", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(" at offset "), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "differences.csv"));
}

TEST_F(DbCompare, BadLinesAndMissingDatabases) {
    struct bad_case {
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    const std::string missing = (work.path() / "missing").string();
    for (const bad_case& c : {bad_case{{"compare", "x"}, 2, "compare takes two database folders"},
                              bad_case{{"compare", "x", "y"}, 2, "compare needs -o DIR"},
                              bad_case{{"compare", "x", "y", "-o"}, 2, "-o needs a directory"},
                              bad_case{{"compare", "x", "y", "--fast", "-o", "d"}, 2, "unknown option --fast"},
                              bad_case{{"compare", missing, missing, "-o", dir.string()}, 1, "does not exist"}}) {
        const auto r = compare(c.args);
        EXPECT_EQ(r.code, c.code) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(dir));
}

}  // namespace
