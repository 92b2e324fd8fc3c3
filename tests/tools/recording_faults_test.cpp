// A real recording process (quillmar-record-driver: the simulated camera, the write thread,
// quillmar-odometer-sim on a pseudo-terminal) meeting the faults of the road: killed with
// SIGKILL mid-recording, and a disk that fills up under it.
#include "database/database_layout.h"
#include "database/database_reader.h"
#include "database/database_registry.h"
#include "database/database_scan.h"
#include "base/locale_text.h"
#include "tests/support/temp_home.h"
#include "tests/tools/sim_process.h"

#include <gtest/gtest.h>
#include <leveldb/db.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/statvfs.h>

using namespace std::chrono_literals;

namespace {

struct event_line {
    std::string kind;
    std::string text;
};

event_line parse(const std::string& line) {
    const auto a = line.find('\t');
    if (a == std::string::npos) return {line, {}};
    const auto b = line.find('\t', a + 1);
    return {line.substr(0, a), b == std::string::npos ? std::string() : line.substr(b + 1)};
}

// The frame count of a status line "ДПП[7]: N Записано кадров: K", or -1.
long frames_of(const event_line& e) {
    const std::string mark = "Записано кадров: ";
    const auto at = e.text.rfind(mark);
    if (e.kind != "record_status" || at == std::string::npos) return -1;
    return std::stol(e.text.substr(at + mark.size()));
}

// Reads the driver's lines until one satisfies pred; every line read goes to seen.
bool read_until(sim_test::child_process& p, std::vector<event_line>& seen,
                const std::function<bool(const event_line&)>& pred, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto line = p.read_line(1s);
        if (!line) continue;
        seen.push_back(parse(*line));
        if (pred(seen.back())) return true;
    }
    return false;
}

std::uint64_t raw_frame_keys(const std::string& folder) {
    auto db = open_leveldb(folder, false);
    return count_frame_keys(*db);
}

std::vector<std::string> folders_in(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_directory() && e.path().filename().string().front() != '.') out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

sim_test::child_process odometer(int rate) {
    return sim_test::child_process(sim_test::tool_path("quillmar-odometer-sim"),
                                   {"--format", "7", "--rate", std::to_string(rate), "--start", "1000", "--delay", "1",
                                    "--linger", "120", "--messages", std::to_string(rate * 120)});
}

}  // namespace

TEST(RecordingFaults, AfterKillNineTheRecordingIsListedWithItsSessionAndTrueCount) {
    test_support::temp_dir dir("qm-kill");
    auto sim = odometer(500);
    const auto port = sim.read_line();
    ASSERT_TRUE(port);
    const std::string write_path = dir.str() + "/db";
    sim_test::child_process driver(
        sim_test::test_program_path("quillmar-record-driver"),
        {"--write-path", write_path, "--port", *port, "--session", "42 : k", "--side", "правый", "--seconds", "60"});
    std::vector<event_line> seen;
    long claimed = -1;
    ASSERT_TRUE(read_until(driver, seen, [&](const event_line& e) {
        claimed = std::max(claimed, frames_of(e));
        return claimed >= 40;
    })) << "the recording did not get going";
    driver.signal(SIGKILL);
    driver.wait(10s);
    sim.terminate();

    // The restart: the write path is scanned as at start-up.
    database_registry registry;
    std::vector<std::string> failures;
    scan_databases(to_wide(write_path),
                   {[&](const std::wstring& folder, const ldb_info& info) { registry.add(info, folder); },
                    [&](const std::wstring&, const std::string& why) { failures.push_back(why); }});
    EXPECT_TRUE(failures.empty()) << failures.front();
    const auto entries = registry.snapshot();
    ASSERT_EQ(entries.size(), 1u);
    const ldb_info& info = entries[0].info;
    EXPECT_EQ(info.session, L"42 : k");
    EXPECT_EQ(info.side, L"правый");
    EXPECT_GE(info.count, static_cast<std::uint64_t>(claimed));  // nothing reported stored is lost
    EXPECT_EQ(info.count, raw_frame_keys(to_narrow(entries[0].path)));
    EXPECT_GE(info.dpp_start, 1000u);
    EXPECT_GT(info.dpp_end, info.dpp_start);
    // The image service's lookup finds it by its session code: a camera frame, not the
    // 640-wide placeholder.
    const cv::Mat frame = registry.frame_lookup(L"42 : k", (info.dpp_start + info.dpp_end) / 2);
    EXPECT_EQ(frame.cols, 512);
}

// The write path on a small tmpfs of its own (a private mount namespace), filled from outside
// while the recording runs: the recording stops, either by the disk guard or at the wall;
// every frame it reported stored is readable; after space returns the next recording gets a
// database of its own.
TEST(RecordingFaults, AFullDiskStopsTheRecordingWithoutLosingWhatItClaimed) {
    struct variant {
        const char* name;
        bool guard;
        std::uint64_t leave;  // bytes left free by the filler
    };
    for (const variant v : {variant{"disk guard", true, 700 << 10}, variant{"full disk", false, 64 << 10}}) {
        SCOPED_TRACE(v.name);
        test_support::temp_dir dir("qm-full");
        auto sim = odometer(100);
        const auto port = sim.read_line();
        ASSERT_TRUE(port);
        const std::string write_path = dir.str() + "/db";
        std::filesystem::create_directories(write_path);
        std::vector<std::string> args{
            "-m",
            "--propagation",
            "private",
            "sh",
            "-c",
            "mount -t tmpfs -o size=24m tmpfs \"$1\" || exit 97; echo mounted; shift; exec \"$@\"",
            "sh",
            write_path,
            sim_test::test_program_path("quillmar-record-driver"),
            "--write-path",
            write_path,
            "--port",
            *port,
            "--session",
            "7 : t",
            "--seconds",
            "90"};
        if (!v.guard) args.push_back("--no-space-guard");
        sim_test::child_process driver("/usr/bin/unshare", args);
        const auto first = driver.read_line(10s);
        if (!first || *first != "mounted") GTEST_SKIP() << "no private tmpfs here (unshare -m and mount need root)";
        // The test sees the namespace's tmpfs through the driver's root.
        const std::string inside = "/proc/" + std::to_string(driver.pid()) + "/root" + write_path;

        std::vector<event_line> seen;
        ASSERT_TRUE(read_until(driver, seen, [](const event_line& e) { return frames_of(e) >= 10; }));
        struct statvfs fs {};
        ASSERT_EQ(statvfs(inside.c_str(), &fs), 0);
        const std::uint64_t free_bytes = std::uint64_t(fs.f_bavail) * fs.f_frsize;
        ASSERT_GT(free_bytes, v.leave);
        {
            std::ofstream filler(inside + "/filler", std::ios::binary);
            const std::string block(1 << 16, 'x');
            for (std::uint64_t left = free_bytes - v.leave; left > 0 && filler;) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
                filler.write(block.data(), static_cast<std::streamsize>(n));
                left -= n;
            }
        }
        long claimed = -1;
        ASSERT_TRUE(read_until(driver, seen, [&](const event_line& e) {
            claimed = std::max(claimed, frames_of(e));
            return e.kind == "record_status" && e.text.rfind("Запись остановлена: ", 0) == 0;
        })) << "the recording went on into a full disk";
        bool stop_row = false, low_row = false, reported = false;
        for (const auto& e : seen) {
            stop_row = stop_row || (e.kind == "log_error" && e.text.rfind("Запись остановлена: ", 0) == 0);
            low_row = low_row || (e.kind == "log_error" && e.text.rfind("Мало места на диске: ", 0) == 0);
            reported = reported || e.kind == "database_info";
        }
        // The stop row is posted just after the status; give it a moment.
        if (!stop_row)
            stop_row = read_until(
                driver, seen,
                [](const event_line& e) {
                    return e.kind == "log_error" && e.text.rfind("Запись остановлена: ", 0) == 0;
                },
                5s);
        EXPECT_TRUE(stop_row);
        if (v.guard) {
            EXPECT_TRUE(low_row);
        }
        EXPECT_TRUE(reported);

        std::filesystem::remove(inside + "/filler");  // space returns
        driver.signal(SIGUSR1);                       // "Захват и запись" again
        ASSERT_TRUE(read_until(driver, seen, [](const event_line& e) { return e.kind == "started"; }));
        const std::size_t restart = seen.size();
        ASSERT_TRUE(read_until(driver, seen, [](const event_line& e) { return frames_of(e) >= 5; }));
        for (std::size_t i = restart; i < seen.size(); ++i) EXPECT_NE(seen[i].kind, "log_error") << seen[i].text;
        driver.signal(SIGUSR2);
        ASSERT_TRUE(read_until(driver, seen, [](const event_line& e) { return e.kind == "stopped"; }));

        const auto folders = folders_in(inside);
        ASSERT_EQ(folders.size(), 2u);
        {
            database_reader stopped(to_wide(folders[0]));
            const ldb_info info = stopped.summary();
            EXPECT_EQ(info.session, L"7 : t");
            EXPECT_EQ(info.count, static_cast<std::uint64_t>(claimed));
            EXPECT_EQ(stopped.read_frame(info.dpp_end).cols, 512);
        }
        EXPECT_GE(raw_frame_keys(folders[0]), static_cast<std::uint64_t>(claimed));
        {
            database_reader next(to_wide(folders[1]));
            EXPECT_GE(next.summary().count, 5u);
        }
        driver.terminate();
    }
}
