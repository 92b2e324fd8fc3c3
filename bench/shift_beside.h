#pragma once
// Loads a shift runs beside its recording, each started and ended by the shift's main thread:
// an upload to the depot (--depot-upload) and browsers watching the live page (--web-watchers);
// and the processor time of this process's threads by name, to say what each load cost.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/depot_store.h"
#include "bench/shift_plan.h"
#include "depot/depot_uploader.h"

extern char** environ;

namespace shift_beside {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

// --depot-upload: a closed recording goes to the depot while the shift records, as the program
// does it: the depot tests' object store on loopback (tests/depot/swift-fixture.sh) and a
// depot_uploader with its own low-priority thread. The recording lives outside the shift's
// write path, so the shift's key check and list timings see the shift's recordings alone; the
// disk and the processors are the same.
class depot_beside {
public:
    // what: a recording's folder, or the gigabytes of one to make in dir first.
    depot_beside(const std::string& what, const fs::path& dir)
        : port_(bench_depot::free_ports(25000 + static_cast<int>(getpid() % 2000) * 5)) {
        std::error_code ec;
        if (fs::is_directory(what, ec)) {
            folder_ = fs::absolute(what).lexically_normal();
            if (folder_.filename().empty()) folder_ = folder_.parent_path();
        } else {
            folder_ = dir / "depot" / "2026-01-15_08-30-00";
            fs::create_directories(folder_.parent_path());
            const auto start = clock_type::now();
            bench_depot::make_recording(folder_, static_cast<std::uint64_t>(std::strtod(what.c_str(), nullptr) * 1e9),
                                        400 * 1024);
            std::printf("depot upload: recording of %s made in %.1f s in %s\n",
                        shift_plan::gigabytes(bench_depot::folder_bytes(folder_)).c_str(),
                        std::chrono::duration<double>(clock_type::now() - start).count(), folder_.c_str());
        }
        for (const auto& e : fs::directory_iterator(folder_))
            if (e.is_regular_file()) total_ += e.file_size();
        store_ = std::make_unique<bench_depot::object_store>(dir / "depot-store", port_);
        if (!store_->start()) throw std::runtime_error("the object store did not start");
        std::printf("depot upload: object store on 127.0.0.1:%d\n", port_);
        std::fflush(stdout);
    }
    ~depot_beside() {
        if (uploader_) uploader_->stop();  // before the store goes
        uploader_.reset();
    }
    depot_beside(const depot_beside&) = delete;
    depot_beside& operator=(const depot_beside&) = delete;

    // Bytes the store will hold: a copy of the recording.
    static std::uint64_t room(const std::string& what) {
        std::error_code ec;
        if (!fs::is_directory(what, ec)) return static_cast<std::uint64_t>(std::strtod(what.c_str(), nullptr) * 1e9);
        return bench_depot::folder_bytes(what);
    }

    void start() {
        depot_uploader_config c;
        c.write_path = folder_.parent_path().string();
        c.settings.enabled = true;
        c.settings.endpoint = "http://127.0.0.1:" + std::to_string(port_);
        c.settings.bucket = "recordings";
        c.settings.prefix = "shift";
        c.settings.region = "us-east-1";
        c.settings.access_key = "depot:uploader";
        c.settings.secret = "depot-secret";
        const std::string name = folder_.filename().string();
        // Only this recording: a folder given on the command line may have neighbours.
        c.being_written = [name](const std::string& folder) { return folder != name; };
        c.status = [this](const std::string&, const depot_status& s) {
            if (s.state == depot_status::kind::in_depot && finished_ns_ == 0) finished_ns_ = since_start_ns();
        };
        c.log = [](const std::string& row, bool error) {
            std::fprintf(error ? stderr : stdout, "depot upload: %s\n", row.c_str());
        };
        c.push.progress = [this](const depot_progress& p) { done_ = p.done; };
        started_ = clock_type::now();
        uploader_ = std::make_unique<depot_uploader>(std::move(c));
        uploader_->start();
    }

    // "depot upload at 1.5 min: 0.62 of 2.00 GB (31 %), 7.1 MB/s so far" (once finished: over
    // the upload's own time)
    std::string progress_text(double minutes) const {
        const std::int64_t finished = finished_ns_;
        const double seconds = (finished ? finished : since_start_ns()) / 1e9;
        char text[200];
        std::snprintf(text, sizeof text, "depot upload at %.1f min: %.2f of %.2f GB (%.0f %%), %.1f MB/s so far", minutes,
                      done_ / 1e9, total_ / 1e9, total_ ? 100.0 * done_ / total_ : 0.0,
                      seconds > 0 ? done_ / 1e6 / seconds : 0.0);
        return text;
    }
    // "depot upload: finished, 2.00 GB in 212 s = 9.4 MB/s" or "... not finished: ...".
    std::string end_text() const {
        char text[200];
        const std::int64_t finished = finished_ns_;
        if (finished)
            std::snprintf(text, sizeof text, "depot upload: finished and verified, %.2f GB in %.0f s = %.1f MB/s",
                          total_ / 1e9, finished / 1e9, total_ / 1e6 / (finished / 1e9));
        else
            std::snprintf(text, sizeof text, "depot upload: not finished when the shift ended: %.2f of %.2f GB (%.0f %%)",
                          done_ / 1e9, total_ / 1e9, total_ ? 100.0 * done_ / total_ : 0.0);
        return text;
    }

private:
    std::int64_t since_start_ns() const {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - started_).count();
    }

    int port_;
    fs::path folder_;
    std::unique_ptr<bench_depot::object_store> store_;  // stopped by its destructor, after the uploader
    std::uint64_t total_ = 0;
    clock_type::time_point started_;  // set before the uploader's thread starts
    // Written on the uploader's thread, read on the main one.
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::int64_t> finished_ns_{0};
    std::unique_ptr<depot_uploader> uploader_;  // last: stopped before the rest goes
};

// The processor time and nice value of this process's threads of one name (a name ending in
// '*': every name beginning so), read from /proc/self/task.
struct named_threads {
    std::size_t count = 0;
    double seconds = 0;
    int nice = 0;  // the last one's
};

inline named_threads threads_named(const std::string& name) {
    const bool prefix = !name.empty() && name.back() == '*';
    const std::string stem = prefix ? name.substr(0, name.size() - 1) : name;
    named_threads t;
    std::error_code ec;
    for (fs::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) {
        std::ifstream in(it->path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        const std::string comm = stat.substr(open + 1, close - open - 1);
        if (prefix ? comm.rfind(stem, 0) != 0 : comm != stem) continue;
        // After the name: state (field 3) ... utime (14), stime (15), ..., nice (19).
        std::istringstream fields(stat.substr(close + 1));
        std::vector<std::string> f;
        for (std::string v; fields >> v && f.size() < 17;) f.push_back(v);
        if (f.size() < 17) continue;
        ++t.count;
        t.seconds += (std::strtod(f[11].c_str(), nullptr) + std::strtod(f[12].c_str(), nullptr)) /
                     double(::sysconf(_SC_CLK_TCK));
        t.nice = std::atoi(f[16].c_str());
    }
    return t;
}

// --web-watchers: headless Chromium windows watching the web service's live page through the
// shift, started by bench/shift_web_watchers.py as the leader of its own process group (so a
// Ctrl-C at the terminal reaches the bench, not the browsers: the helper's parent-death signal
// ends them when the bench ends, however it ends). Its output goes to a file in the shift's
// folder; its last line holds what the pages received.
class web_watchers {
public:
    web_watchers(int browsers, int nice, std::uint16_t port, const fs::path& dir) : log_(dir / "web-watchers.log") {
        const std::string script = QM_SOURCE_DIR "/bench/shift_web_watchers.py";
        std::vector<std::string> args{"/usr/bin/python3",
                                      script,
                                      "--url",
                                      "http://127.0.0.1:" + std::to_string(port) + "/",
                                      "--browsers",
                                      std::to_string(browsers),
                                      "--scratch",
                                      dir.string(),
                                      "--nice",
                                      std::to_string(nice)};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        const int rc = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("cannot start " + script + ": " + std::strerror(rc));
        // Four browsers on two busy cores take a while; the shift starts once every page is up.
        const auto until = clock_type::now() + std::chrono::minutes(3);
        while (log_text().find("watching ") == std::string::npos) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("the browsers did not start:\n" + log_text());
            }
            if (clock_type::now() > until) {
                finish();
                throw std::runtime_error("the browsers did not start in 3 minutes:\n" + log_text());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    ~web_watchers() { finish(); }
    web_watchers(const web_watchers&) = delete;
    web_watchers& operator=(const web_watchers&) = delete;

    // Asks the helper for its counts and to quit the browsers, then ends its group; its
    // "watchers: ..." line (or why there is none).
    std::string finish() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            // Waited for without reaping: while the leader is a zombie its pid names only its group.
            const auto until = clock_type::now() + std::chrono::seconds(60);
            for (;;) {
                siginfo_t info{};
                const int rc = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
                if (rc != 0 || info.si_pid == pid_ || clock_type::now() >= until) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            ::killpg(pid_, SIGKILL);  // what the helper started and left behind
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        const std::string text = log_text();
        const auto at = text.rfind("watchers: ");
        if (at == std::string::npos) return "watchers: no counts (" + log_.string() + ")";
        return text.substr(at, text.find('\n', at) - at);
    }

private:
    std::string log_text() const {
        std::ifstream in(log_);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    fs::path log_;
    pid_t pid_ = -1;
};


}  // namespace shift_beside
