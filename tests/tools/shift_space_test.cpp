// bench_shift checks the free space before it records anything, and stops with a clear
// message when the run would not fit with the reserve left free.
#include "bench/shift_plan.h"
#include "tests/support/temp_home.h"
#include "tests/tools/tool_run.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(ShiftSpaceCheck, RefusesARunThatWouldEatIntoTheReserve) {
    constexpr std::uint64_t gb = 1000 * 1000 * 1000;
    struct row {
        std::uint64_t frames, free, reserve;
        bool enough;
    };
    // 100,000 frames need 50 GB plus LevelDB's slack.
    for (const row r : {row{100000, 80 * gb, 20 * gb, true}, row{100000, 70 * gb, 20 * gb, false},
                        row{100000, 50 * gb, 0, false}, row{15000, 30 * gb, 20 * gb, true}, row{0, 2 * gb, 0, true},
                        row{0, 0, 0, false}, row{1, 40 * gb, 40 * gb, false}}) {
        const auto v = shift_plan::check("/data", r.frames, r.free, r.reserve);
        EXPECT_EQ(v.enough, r.enough) << r.frames << " frames, " << r.free / gb << " GB free";
        EXPECT_EQ(v.needed, r.frames * shift_plan::frame_bytes_max + shift_plan::storage_slack);
        EXPECT_EQ(v.message.empty(), r.enough) << v.message;
    }
    const auto v = shift_plan::check("/data", 100000, 30 * gb, 20 * gb);
    EXPECT_EQ(v.message,
              "not enough free space on /data: 30.0 GB free, but 100000 frames of up to 500 KB need 51.1 GB "
              "and 20.0 GB must stay free; shorten the run (--minutes), choose another disk (--dir) or "
              "lower the reserve (--reserve-gb)");

    // The program itself: nothing started, nothing written, a non-zero exit.
    test_support::temp_dir dir("qm-shift-check");
    const auto bench = tool_test::tool_path("quillmar-db").parent_path().parent_path() / "bench" / "bench_shift";
    if (!std::filesystem::exists(bench)) GTEST_SKIP() << bench << " is not built";
    const std::string command = tool_test::quoted(bench.string()) + " --minutes 1 --dir " +
                                tool_test::quoted(dir.str()) + " --reserve-gb 1000000000 >" +
                                tool_test::quoted((dir.path() / "out.txt").string()) + " 2>" +
                                tool_test::quoted((dir.path() / "err.txt").string());
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    const std::string err = tool_test::slurp(dir.path() / "err.txt");
    EXPECT_EQ(err.rfind("bench_shift: not enough free space on " + dir.str() + ": ", 0), 0u) << err;
    EXPECT_NE(err.find("3000 frames of up to 500 KB need 2.6 GB"), std::string::npos) << err;
    std::size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        entries += e.path().filename() != "out.txt" && e.path().filename() != "err.txt";
    EXPECT_EQ(entries, 0u);
}
