// Runs the real `quillmar` executable as processes, with HOME in a scratch folder.
#include "tests/app/frame_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using test_support::start_program;
using test_support::wait_until;
using namespace std::chrono_literals;

std::vector<fs::path> log_files(const fs::path& home) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(home / "Velkor3" / "log", ec)) out.push_back(e.path());
    return out;
}


// The X window id of a top-level window with exactly this title, or empty.
std::string window_titled(const std::string& title_regex) {
    FILE* p = ::popen(("xdotool search --name '" + title_regex + "' 2>/dev/null").c_str(), "r");
    if (!p) return {};
    char buf[64] = {};
    const bool found = std::fgets(buf, sizeof buf, p) != nullptr;
    ::pclose(p);
    std::string id = found ? buf : "";
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
}

// Presses OK (Return) in the message box `window`.
void press_ok(const std::string& window) {
    (void)std::system(("xdotool windowfocus --sync " + window + " key Return >/dev/null 2>&1").c_str());
}

bool error_box_shown() { return !window_titled("^Ошибка$").empty(); }

bool exited(pid_t pid, int* status) { return ::waitpid(pid, status, WNOHANG) == pid; }

void end_process(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

TEST(instance, a_second_copy_for_the_same_user_is_refused_and_the_first_runs_on) {
    test_support::temp_dir home("qm-instance");
    fs::create_directories(home.path() / "Velkor3" / "config");
    test_support::keep_services_off_fixed_ports(home.path() / "Velkor3" / "config" / ".quillmar");
    const pid_t first = start_program(home.path());
    ASSERT_GT(first, 0);
    // The first copy is up once its log holds the last start-up row.
    const bool started = wait_until(
        [&] {
            const auto logs = log_files(home.path());
            if (logs.size() != 1) return false;
            for (const auto& m : test_support::log_messages(logs[0]))
                if (m.rfind("blue:Борт: ", 0) == 0) return true;
            return false;
        },
        60s);
    if (!started) end_process(first);
    ASSERT_TRUE(started);

    const pid_t second = start_program(home.path());
    ASSERT_GT(second, 0);
    int status = 0;
    bool second_exited = false;
    // The refusal is a modal box captioned "Ошибка"; the second copy waits on it without a window
    // of its own and without a log.
    const bool refused = wait_until(
        [&] {
            if (exited(second, &status)) return second_exited = true;
            return error_box_shown();
        },
        60s);
    EXPECT_TRUE(refused);
    if (!second_exited) {
        press_ok(window_titled("^Ошибка$"));
        second_exited = wait_until([&] { return exited(second, &status); }, 20s);
    }
    if (second_exited)
        EXPECT_NE(WEXITSTATUS(status), 0) << "the refused copy reported success";
    else
        end_process(second);
    EXPECT_TRUE(second_exited) << "the refused copy did not end after OK";
    EXPECT_EQ(log_files(home.path()).size(), 1u);

    EXPECT_FALSE(exited(first, &status)) << "the first copy ended";
    end_process(first);
}

TEST(instance, a_start_up_failure_is_shown_and_then_ends_the_program) {
    test_support::temp_dir home("qm-failing");
    fs::create_directories(home.path() / "Velkor3");
    std::ofstream(home.path() / "Velkor3" / "log") << "a file where the log folder belongs";
    const pid_t pid = start_program(home.path());
    ASSERT_GT(pid, 0);
    std::string box;
    int status = 0;
    bool ended = false;
    wait_until(
        [&] {
            if (exited(pid, &status)) return ended = true;
            box = window_titled("^Ошибка$");
            return !box.empty();
        },
        60s);
    ASSERT_FALSE(box.empty()) << "no message box";
    press_ok(box);
    ended = wait_until([&] { return exited(pid, &status); }, 20s);
    if (!ended) end_process(pid);
    ASSERT_TRUE(ended) << "the program ran on without a window";
    EXPECT_NE(WEXITSTATUS(status), 0);
}

}  // namespace
