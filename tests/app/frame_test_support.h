#pragma once
// Helpers for tests that build the real main window with HOME in a scratch folder.
#include "app/quillmar_frame.h"
#include "tests/support/event_loop.h"
#include "tests/support/temp_home.h"

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <wx/app.h>

namespace test_support {

inline std::vector<std::string> file_lines(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The messages of the rows of a log file, in order, with "red:"/"blue:" in front.
inline std::vector<std::string> log_messages(const std::filesystem::path& path) {
    std::vector<std::string> out;
    for (const auto& line : file_lines(path)) {
        for (const char* colour : {"blue", "red"}) {
            const std::string open = std::string("<td> <font color='") + colour + "'>";
            if (line.rfind(open, 0) == 0 && line.size() >= open.size() + 12) {
                out.push_back(std::string(colour) + ":" + line.substr(open.size(), line.size() - open.size() - 12));
            }
        }
    }
    return out;
}

// The image data and remote-control services listen where the system chooses and the browser
// service is off, never on the fixed ports a recorder on this machine (or another test run) may
// hold; the test environment does the same for discovery (QUILLMAR_DISCOVERY_PORT).
inline void keep_services_off_fixed_ports(const std::filesystem::path& settings_file) {
    std::string text;
    {
        std::ifstream in(settings_file, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::ofstream out(settings_file, std::ios::binary | std::ios::app);
    if (!text.empty() && text.back() != '\n') out << "\n";
    if (text.find("data_service_port=") == std::string::npos) out << "data_service_port=0\n";
    if (text.find("rc_service_port=") == std::string::npos) out << "rc_service_port=0\n";
    if (text.find("web_service_port=") == std::string::npos) out << "web_service_port=0\n";
}

// The built `quillmar` program (QUILLMAR_BUILD_DIR, else the working directory's) started as a
// process of its own with HOME at home.
inline pid_t start_program(const std::filesystem::path& home) {
    const char* build = std::getenv("QUILLMAR_BUILD_DIR");
    const std::string exe = std::string(build ? build : ".") + "/app/quillmar";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("HOME", home.c_str(), 1);
        ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// Polls `done` every 100 ms without running the event loop (for other processes' doings).
inline bool wait_until(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

inline void destroy_frame(wxFrame* frame) {
    if (!frame) return;
    frame->Destroy();
    wxTheApp->ProcessIdle();
}

// A main window built in a fresh HOME; destroyed with the fixture.
class frame_fixture {
public:
    scoped_home home;
    quillmar_frame* frame = nullptr;

    // Builds the window, its cameras served by `cameras` (by default the environment's). Unless
    // the test wrote its own settings file, the recordings folder is an empty one, so the
    // start-up scan reports nothing into the rows a test looks at.
    void open(std::shared_ptr<camera_backend> cameras = nullptr) {
        if (!std::filesystem::exists(settings_path())) write_settings();
        keep_services_off_fixed_ports(settings_path());
        frame = new quillmar_frame(true, std::move(cameras));
        // Tests look at the window as the operator finds it once the camera search ended.
        pump_until([&] { return !frame->discovering(); });
    }
    // The settings file open() reads: the recordings folder as write_path, then `lines`.
    void write_settings(const std::string& lines = "") const {
        std::filesystem::create_directories(settings_path().parent_path());
        std::filesystem::create_directories(records());
        std::ofstream(settings_path()) << "write_path=" << records().string() << "\n" << lines;
    }
    std::filesystem::path settings_path() const { return home.path() / "Velkor3" / "config" / ".quillmar"; }
    std::filesystem::path records() const { return home.path() / "records"; }
    void close() {
        destroy_frame(frame);
        frame = nullptr;
    }
    ~frame_fixture() { close(); }

    std::filesystem::path log_path() const { return frame->log_file_path().ToStdString(); }
    std::vector<std::string> messages() const { return log_messages(log_path()); }
    // Whether the log holds this row ("colour:text", as log_messages gives it).
    bool has(const std::string& row) const {
        const auto rows = messages();
        return std::find(rows.begin(), rows.end(), row) != rows.end();
    }
    void pump() { wxTheApp->ProcessPendingEvents(); }
    // Runs the event loop until `done` or the limit.
    bool pump_until(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20)) {
        return test_support::pump_until(done, limit);
    }
};

}  // namespace test_support
