#pragma once
// Runs one of the simulator tools as a child process for a test: its standard output is
// read line by line with a time-out, and the process is terminated and reaped when the
// object goes away, so no test leaves a simulator behind.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sim_test {

// The path of a tool built beside the tests ($QUILLMAR_BUILD_DIR/tools/NAME).
std::string tool_path(const std::string& name);
// The path of a test program ($QUILLMAR_BUILD_DIR/tests/NAME).
std::string test_program_path(const std::string& name);

class child_process {
public:
    child_process(const std::string& program, const std::vector<std::string>& args);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    // The next line of standard output (without the newline), or nothing on time-out/EOF.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends SIGTERM and waits; returns the exit status (or -1).
    int terminate();
    // Waits for the process to end by itself; nothing on time-out.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Sends a signal (SIGKILL for a crash, or a command the program understands).
    void signal(int sig);
    int pid() const { return pid_; }

private:
    int pid_ = -1;
    int out_ = -1;
    std::string pending_;
    bool reaped_ = false;
    int status_ = -1;
};

}  // namespace sim_test
