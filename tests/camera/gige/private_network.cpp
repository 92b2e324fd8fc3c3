#include "tests/camera/gige/private_network.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <iostream>
#include <regex>

extern char** environ;

namespace gige_test {

namespace {

constexpr const char* marker = "QUILLMAR_GIGE_NETNS";
constexpr const char* fake_program = "arv-fake-gv-camera-0.8";
constexpr const char* tool_program = "arv-tool-0.8";

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    dirs += ":/usr/sbin:/sbin";
    std::size_t at = 0;
    while (at <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (end > at && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return {};
}

// Starts argv[0] (a full path) with stdout/stderr as given (-1: /dev/null), killed when the
// test process dies, so no fake camera outlives a crashed or timed-out test.
int spawn(const std::vector<std::string>& argv, int out_fd, int err_fd, const std::vector<std::string>& env_extra) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_store;
    for (char** e = environ; *e; ++e) env_store.emplace_back(*e);
    env_store.insert(env_store.end(), env_extra.begin(), env_extra.end());
    std::vector<char*> env;
    for (auto& e : env_store) env.push_back(e.data());
    env.push_back(nullptr);
    const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(out_fd >= 0 ? out_fd : devnull, 1);
        ::dup2(err_fd >= 0 ? err_fd : devnull, 2);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    ::close(devnull);
    return pid;
}

// Waits for `pid` until the deadline; its exit status, or -1 after killing it.
int reap(int pid, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// True while some process has the GigE Vision control port (UDP 3956) bound on loopback.
bool control_port_taken() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(3956);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
    ::close(fd);
    return taken;
}

}  // namespace

bool inside_private_network() {
    const char* v = std::getenv(marker);
    return v && std::string(v) == "1";
}

int run_command(const std::vector<std::string>& argv, std::chrono::seconds timeout) {
    std::vector<std::string> full = argv;
    full[0] = find_program(argv[0]);
    if (full[0].empty()) return -1;
    const int pid = spawn(full, -1, 2, {});
    return pid > 0 ? reap(pid, std::chrono::steady_clock::now() + timeout) : -1;
}

outer_run run_current_test_in_private_network(std::chrono::seconds limit) {
    outer_run run;
    run.result = outer_run::outcome::skipped;
    for (const char* tool : {"unshare", "ip", fake_program, tool_program})
        if (find_program(tool).empty()) {
            run.message = std::string(tool) +
                          " not found: the fake GigE camera tests need util-linux, iproute2, aravis-tools "
                          "and aravis-tools-cli (scripts/install-deps.sh)";
            return run;
        }
    if (run_command({"unshare", "-n", "true"}, std::chrono::seconds(10)) != 0) {
        run.message =
            "a private network namespace is not permitted here (unshare -n failed; it needs root or "
            "CAP_SYS_ADMIN): the fake GigE camera tests are skipped";
        return run;
    }

    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        run.result = outer_run::outcome::failed;
        run.message = "cannot find this test binary";
        return run;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        run.result = outer_run::outcome::failed;
        run.message = "pipe failed";
        return run;
    }
    const int pid = spawn({find_program("unshare"), "-n", "--", self, filter, "--gtest_color=no"}, fds[1], fds[1],
                          {std::string(marker) + "=1"});
    ::close(fds[1]);

    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string output;
    bool timed_out = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 500))) <= 0) continue;
        char buf[4096];
        const ssize_t got = ::read(fds[0], buf, sizeof buf);
        if (got <= 0) break;
        output.append(buf, static_cast<std::size_t>(got));
        std::cout.write(buf, got);
        std::cout.flush();
    }
    ::close(fds[0]);
    const int status = reap(pid, timed_out ? std::chrono::steady_clock::now() : deadline + std::chrono::seconds(5));
    if (timed_out) {
        run.result = outer_run::outcome::failed;
        run.message = "the run in the private network was killed after " + std::to_string(limit.count()) + " s";
    } else if (status == 0 && output.find("[  SKIPPED ]") != std::string::npos) {
        run.result = outer_run::outcome::skipped;
        run.message = "skipped inside the private network (see above)";
    } else if (status == 0 && output.find("[  PASSED  ] 1 test") != std::string::npos) {
        run.result = outer_run::outcome::passed;
    } else {
        run.result = outer_run::outcome::failed;
        run.message = "the run in the private network failed (exit status " + std::to_string(status) + ", see above)";
    }
    return run;
}

void prepare_private_network() {
    ASSERT_EQ(run_command({"ip", "link", "set", "lo", "up"}), 0) << "cannot bring lo up";
    // The test runner asks for the simulated camera; here the real GigE path is the point.
    ::unsetenv("QUILLMAR_CAMERAS");
}

fake_camera::fake_camera(std::vector<std::string> extra) : extra_(std::move(extra)) { start(); }

fake_camera::~fake_camera() { stop(); }

void fake_camera::start() {
    if (pid_ > 0) return;
    std::vector<std::string> argv = {find_program(fake_program), "-i", "127.0.0.1"};
    argv.insert(argv.end(), extra_.begin(), extra_.end());
    pid_ = spawn(argv, -1, -1, {});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!control_port_taken() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(control_port_taken()) << "the fake camera did not start";
}

void fake_camera::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool fake_camera::control(const std::vector<std::string>& assignments) {
    std::vector<std::string> argv = {tool_program, "-a", "127.0.0.1", "control"};
    argv.insert(argv.end(), assignments.begin(), assignments.end());
    return run_command(argv) == 0;
}

std::optional<int> whole_pattern_offset(const std::uint8_t* image, std::int64_t width, std::int64_t height) {
    if (!image || width <= 0 || height <= 0) return std::nullopt;
    const int k = image[0];
    for (std::int64_t y = 0; y < height; ++y) {
        const std::uint8_t* row = image + y * width;
        int expected = static_cast<int>((y + k) % 255);
        for (std::int64_t x = 0; x < width; ++x) {
            if (row[x] != expected) return std::nullopt;
            if (++expected == 255) expected = 0;
        }
    }
    return k;
}

std::optional<grab_stats> parse_grab_stats(const std::wstring& text) {
    static const std::wregex form(L"delivered: (\\d+) lost: (\\d+) await: (\\d+) corrupt: (\\d+) fps: (\\d+)");
    std::wsmatch m;
    if (!std::regex_match(text, m, form)) return std::nullopt;
    grab_stats s;
    s.delivered = std::stoull(m[1].str());
    s.lost = std::stoull(m[2].str());
    s.awaiting = std::stoull(m[3].str());
    s.corrupt = std::stoull(m[4].str());
    s.fps = std::stoull(m[5].str());
    return s;
}

}  // namespace gige_test
