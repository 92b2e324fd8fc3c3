#include "tests/tools/sim_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace sim_test {

std::string tool_path(const std::string& name) {
    const char* dir = std::getenv("QUILLMAR_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/tools/" + name;
}

std::string test_program_path(const std::string& name) {
    const char* dir = std::getenv("QUILLMAR_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/tests/" + name;
}

void child_process::signal(int sig) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

child_process::child_process(const std::string& program, const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
    if (rc != 0) {
        pid_ = -1;
        ::close(out_);
        throw std::runtime_error("cannot start " + program);
    }
}

child_process::~child_process() {
    terminate();
    if (out_ >= 0) ::close(out_);
}

std::optional<std::string> child_process::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[512];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) return std::nullopt;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

std::optional<int> child_process::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (r < 0 || std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

int child_process::terminate() {
    if (pid_ < 0 || reaped_) return status_;
    ::kill(pid_, SIGTERM);
    if (!wait(std::chrono::seconds(5))) {
        ::kill(pid_, SIGKILL);
        wait(std::chrono::seconds(5));
    }
    return status_;
}

}  // namespace sim_test
