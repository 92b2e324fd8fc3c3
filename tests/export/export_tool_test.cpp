// quillmar-db export run as a program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "tests/export/export_test_util.h"
#include "tests/support/temp_home.h"
#include "tests/tools/tool_run.h"

namespace fs = std::filesystem;
using export_test::entries;
using tool_test::result;

namespace {

result run_db_tool(const fs::path& dir, const std::vector<std::string>& args) {
    return tool_test::run_tool("quillmar-db", dir, args);
}

}  // namespace

TEST(ExportTool, WritesFramesIndexAndVideo) {
    test_support::temp_dir work, logs;
    const fs::path db = work.path() / "db";
    const auto keys = export_test::write_db(db, export_test::frames_at({100, 105, 110, 115}, 120, 80));
    const fs::path out = work.path() / "out", video = work.path() / "clips" / "clip.mp4";

    result r = run_db_tool(logs.path(), {"export", db.string(), "--from", "101", "--to", "115", "-o", out.string(),
                                         "--video", video.string(), "--fps", "12.5", "--scale-bar"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Кадров записано: 3"), std::string::npos) << r.out;
    for (std::uint32_t c : {105u, 110u, 115u})
        EXPECT_EQ(tool_test::slurp(out / (make_frame_key(c) + ".jpg")), keys.at(make_frame_key(c)));
    EXPECT_EQ(entries(out).size(), 4u);
    EXPECT_EQ(tool_test::slurp(out / "index.csv").substr(0, 17), "count,file,bytes\n");
    const auto facts = export_test::read_mp4(video);
    EXPECT_EQ(facts.packets, 3);
    EXPECT_EQ(facts.width, 120);
    EXPECT_EQ(facts.height, 80);
    EXPECT_NEAR(facts.fps, 12.5, 0.01);

    // Only the video, the whole database, the scale from the settings file.
    fs::create_directories(logs.path() / "home" / "Velkor3" / "config");
    { std::ofstream(logs.path() / "home" / "Velkor3" / "config" / ".quillmar") << "scale=1.5\n"; }
    const std::string command = "HOME=" + tool_test::quoted((logs.path() / "home").string()) + " " +
                                tool_test::quoted(tool_test::tool_path("quillmar-db").string()) + " export " +
                                tool_test::quoted(db.string()) + " --video " +
                                tool_test::quoted((work.path() / "all.mp4").string()) + " --scale-bar >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(export_test::read_mp4(work.path() / "all.mp4").packets, 4);
}

TEST(ExportTool, BadArgumentsAndFailuresExitNonZeroAndWriteNothing) {
    test_support::temp_dir work, logs;
    const fs::path db = work.path() / "db";
    export_test::write_db(db, export_test::frames_at({1, 2}));
    const std::string out = (work.path() / "out").string(), video = (work.path() / "v.mp4").string();
    struct row {
        std::vector<std::string> args;
        int code;
        std::string said;
    };
    const row rows[] = {
        {{"export", db.string()}, 2, "needs -o DIR, --video"},
        {{"export", "-o", out}, 2, "one database folder"},
        {{"export", db.string(), "-o", out, "--from", "x"}, 2, "--from: not a number"},
        {{"export", db.string(), "-o", out, "--to", "4294967296"}, 2, "--to: out of range"},
        {{"export", db.string(), "-o", out, "--from", "5", "--to", "4"}, 2, "--from is after --to"},
        {{"export", db.string(), "-o", out, "--fps", "25"}, 2, "belong to --video"},
        {{"export", db.string(), "--video", video, "--fps", "0"}, 2, "--fps: a frame rate"},
        {{"export", db.string(), "--video", video, "--scale", "2"}, 2, "--scale needs --scale-bar"},
        {{"export", db.string(), "-o", out, "--bogus"}, 2, "unknown option --bogus"},
        {{"export", db.string(), "-o", out, "-o", out}, 2, "-o given twice"},
        {{"export", db.string(), "-o", out, "--from", "3"}, 1, "нет кадров"},
        {{"export", (work.path() / "missing").string(), "-o", out}, 1, "Не удалось открыть базу"},
    };
    for (const auto& r : rows) {
        const result got = run_db_tool(logs.path(), r.args);
        EXPECT_EQ(got.code, r.code) << r.said << "\n" << got.err;
        EXPECT_NE(got.err.find(r.said), std::string::npos) << got.err;
        EXPECT_EQ(entries(work.path()), std::set<std::string>{"db"}) << r.said;
    }
    const result help = run_db_tool(logs.path(), {"--help"});
    EXPECT_NE(help.out.find("quillmar-db export DB"), std::string::npos);
}
