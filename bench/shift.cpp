// bench_shift: a whole shift of recording, compressed in time. The program's recording path as
// it runs in "Захват и запись": the simulated camera showing the under-car scene at 1920 x 1200
// (50 fps), continuous_grab_write with the write thread's pipeline (recording queue, pairing,
// encoders, store), quillmar-odometer-sim at 200 messages a second on a pseudo-terminal, and
// the image data service, asked for a live frame once a second by a client on 127.0.0.1.
//
// Which frames were due is worked out apart from the recorder, from the queue's arrivals
// (bench/shift_due.h), and compared with the frame keys the database holds once the recording
// is closed (LevelDB lets no second handle read it while it is written).
//
// Per window (5 minutes) it prints: frames stored against distinct frames the camera delivered
// while recording, the recording step's latency percentiles over the steps that stored a frame
// (50, 99, 99.9, max; the store itself, which behind the queue is no longer a
// loss risk), the process's RSS (anonymous and file-backed apart), threads and open files (at
// the window's end: the median of its last 30 s, sampled once a second; and the window's
// highest), the log rows and their bytes, fsyncs a second, bytes written to the disk per stored
// JPEG byte, the database's size, and the live frames served. A second line: the queue's
// highest level (frames, MB; sampled once a second) against its capacity and when it first
// filled, the time from a frame's arrival to the end of its store (50, 99, max), the messages
// due a frame (and of them due a frame the queue dropped) and the queue's drops. After the run,
// per window and for the run: due, stored, lost (due and not stored), stored but not due (must
// be 0) and the queue's drops, from the database's keys; then the list's start-up time over
// this database closed properly, and after a simulated crash (its "count" gone), at the first
// start and at later ones. The last line, "verdict: ...", sums the run up for --find-fps.
//
// Options: --minutes M (default 34: 100,000 frames at 50 fps), --dir DIR (default the system's
// temporary folder; the database goes into a new folder there and is deleted afterwards unless
// --keep), --reserve-gb G (free space that must remain after the run, default 20), --fps F
// (the camera's rate, default 50), --odometer-rate R (default 200), --window-minutes W
// (default 5), --default-heap (leave glibc's large-block policy as it is, instead of setting it
// as the program does), --no-list-timing (skip the list's start-up figures), --depot-upload
// FOLDER_OR_GB (a closed recording, or one of that many GB made in --dir before the shift, goes
// to a loopback object store by a depot_uploader on its own low-priority thread while the
// shift records; its progress every 30 s, and at the end whether it finished), --web-watchers N
// (the browser service on 127.0.0.1, a port of the system's choice, fed as the window feeds it:
// the newest frame offered on each of the capture's new-frame cues, a health strip with the lamp
// and the frames stored once a second; and N headless Chromium started by
// bench/shift_web_watchers.py watching its live page through the shift, ended with the bench
// however it ends; --web-watchers-nice K starts them at nice K, as browsers that yield to the
// recorder would be. At the end: the live pictures and events the pages received, and the
// processor time of the web threads against the recording's encoders).
// Before anything it checks the free space and stops with a clear message when it is short.
//
// --find-fps: the headroom. First one thread JPEG-encodes the scene's frames and puts them into
// a recording as fast as it can (the work of one frame on one core); then runs of --minutes
// each (default 1) at 50, 60, 70, 80, 90, 100, 120, 140, ... fps, each a bench_shift of its
// own with the odometer at twice the camera's rate (at least 200) so that every frame is due,
// until a rate loses a frame (due != stored, or the queue dropped one) or the simulated camera
// cannot deliver it (under 97 % of the rate asked); prints the highest rate without loss and
// why the next one failed.
#include "app/heap_policy.h"
#include "base/locale_text.h"
#include "base/thread_name.h"
#include "bench/bench_args.h"
#include "bench/shift_beside.h"
#include "bench/shift_due.h"
#include "bench/shift_plan.h"
#include "bench/thread_time.h"
#include "camera/camera_backend.h"
#include "camera/camera_list.h"
#include "camera/continuous_grab_write.h"
#include "camera/jai_factory.h"
#include "camera/jai_sdk.h"
#include "camera/undercar_scene.h"
#include "database/database_layout.h"
#include "database/database_reader.h"
#include "database/database_scan.h"
#include "database/database_registry.h"
#include "database/durable_env.h"
#include "database/frame_image.h"
#include "database/recording_database.h"
#include "depot/depot_uploader.h"
#include "net/img_service.h"
#include "net/service_client.h"
#include "net/web_service.h"
#include "recording/write_thread_settings.h"
#include "settings/settings_keys.h"

#include <arpa/inet.h>
#include <leveldb/db.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <malloc.h>
#include <wx/init.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

namespace {

using bench_args::flag;
using bench_args::option;
using bench_args::text_option;
using bench_depot::folder_bytes;
using shift_beside::depot_beside;
using shift_beside::named_threads;
using shift_beside::threads_named;
using shift_beside::web_watchers;

// One value of /proc/self/<file> ("Key: value" or "key value" lines).
std::uint64_t proc_value(const char* file, const std::string& key) {
    std::ifstream in(std::string("/proc/self/") + file);
    std::string k;
    while (in >> k) {
        if (k == key) {
            std::uint64_t v = 0;
            in >> v;
            return v;
        }
        in.ignore(1 << 16, '\n');
    }
    return 0;
}

// Seconds the host took this machine's processors away (steal), over all of them.
double steal_seconds() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {};
    in >> cpu >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >> v[6] >> v[7];
    return v[7] / double(::sysconf(_SC_CLK_TCK));
}

std::size_t open_files() {
    std::size_t n = 0;
    std::error_code ec;
    for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
    return n;
}


// What the window would get: grab statistics, the odometer count, log rows.
class bench_sink : public event_sink {
public:
    void post(thread_message m) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::holds_alternative<new_frame_message>(m)) {
            // The window's cue to show (and offer the web service) the newest frame.
            ++new_frames_;
            new_frame_.notify_all();
        } else if (auto* g = std::get_if<grab_stats_message>(&m)) {
            // "delivered: N lost: ..."
            delivered_ = std::wcstoull(g->text.c_str() + std::wcslen(L"delivered: "), nullptr, 10);
            const auto lost_at = g->text.find(L"lost: ");
            if (lost_at != std::wstring::npos) lost_ = std::wcstoull(g->text.c_str() + lost_at + 6, nullptr, 10);
        } else if (auto* r = std::get_if<record_status_message>(&m)) {
            const auto colon = r->text.find(L"]: ");
            if (colon != std::wstring::npos) count_ = std::wcstoul(r->text.c_str() + colon + 3, nullptr, 10);
        } else if (auto* e = std::get_if<log_error_message>(&m)) {
            ++rows_;
            row_bytes_ += to_narrow(e->text).size();
            std::fprintf(stderr, "error row: %s\n", to_narrow(e->text).c_str());
        } else if (auto* i = std::get_if<log_info_message>(&m)) {
            ++rows_;
            row_bytes_ += to_narrow(i->text).size();
        }
    }
    std::uint64_t delivered() { return locked(delivered_); }
    std::uint64_t lost() { return locked(lost_); }
    std::uint32_t count() { return locked(count_); }
    std::uint64_t rows() { return locked(rows_); }
    std::uint64_t row_bytes() { return locked(row_bytes_); }
    // Waits until more than `seen` new-frame cues came, or until `until`; the cues so far.
    std::uint64_t wait_new_frame(std::uint64_t seen, clock_type::time_point until) {
        std::unique_lock<std::mutex> lock(mutex_);
        new_frame_.wait_until(lock, until, [&] { return new_frames_ > seen; });
        return new_frames_;
    }

private:
    template <class T>
    T locked(const T& field) {
        std::lock_guard<std::mutex> l(mutex_);
        return field;
    }

    std::mutex mutex_;  // guards everything below
    std::condition_variable new_frame_;
    std::uint64_t new_frames_ = 0;
    std::uint64_t delivered_ = 0;
    std::uint64_t lost_ = 0;
    std::uint32_t count_ = 0;
    std::uint64_t rows_ = 0;
    std::uint64_t row_bytes_ = 0;
};

// The write thread's step timings (observer) and the first and last stored moments.
struct step_log {
    std::mutex mutex;               // guards everything below
    std::vector<double> stored_ms;  // this window's steps that stored a frame
    std::vector<double> all_stored_ms;
    // From a frame's arrival in the queue to the end of its store (the pipeline's writer).
    std::vector<double> arrival_ms;  // this window's
    std::vector<double> all_arrival_ms;
    // Steps longer than a 25 fps frame period: (stored frame number, ms and where the time went),
    // so a stall can be told from the first step, which creates the database.
    std::vector<std::pair<std::uint64_t, std::string>> slow;
    // Steps over half that: how many, and their time on a processor, waiting for one, and elsewhere.
    std::uint64_t tail_steps = 0;
    double tail_ms = 0, tail_cpu_ms = 0, tail_wait_ms = 0;
    // The recording thread's figures at the end of its previous step.
    std::unique_ptr<thread_time> recording_thread;
    thread_sample previous;
    clock_type::time_point previous_end;
    std::uint64_t steps = 0;
    std::uint64_t stored = 0;
    std::uint64_t jpeg_bytes = 0;
    std::uint64_t delivered_at_first_store = 0;
    bool started = false;
};

constexpr double slow_step_ms = 40;

// "; N steps over 40 ms: #frame ms (...) ..." for the first few, nothing when there were none.
std::string slow_steps_text(const std::vector<std::pair<std::uint64_t, std::string>>& slow) {
    if (slow.empty()) return {};
    char item[64];
    std::snprintf(item, sizeof item, " steps over %.0f ms:", slow_step_ms);
    std::string text = "; " + std::to_string(slow.size()) + item;
    for (std::size_t i = 0; i < slow.size() && i < 8; ++i)
        text += " #" + std::to_string(slow[i].first) + " " + slow[i].second;
    return text;
}

// "; N steps over 20 ms: of their X ms (with the waits before them), Y on a processor, Z waiting for one".
std::string tail_text(std::uint64_t steps, double ms, double cpu_ms, double wait_ms) {
    if (steps == 0) return {};
    char text[160];
    std::snprintf(text, sizeof text,
                  "; %llu steps over %.0f ms: of their %.0f ms, %.0f on a processor, %.0f waiting for one",
                  static_cast<unsigned long long>(steps), slow_step_ms / 2, ms, cpu_ms, wait_ms);
    return text;
}

// The process's footprint, sampled once a second through a window. A compaction maps its input
// tables (file-backed RSS) and holds its output open for a moment, so a single sample at the
// window's end can land on one: the figure for the window's end is the median of its last 30
// samples, and the window's highest sample is printed beside it.
class footprint_samples {
public:
    void take() {
        rss_.push_back(proc_value("status", "VmRSS:") / 1024.0);
        anon_.push_back(proc_value("status", "RssAnon:") / 1024.0);
        file_.push_back(proc_value("status", "RssFile:") / 1024.0);
        threads_.push_back(proc_value("status", "Threads:"));
        files_.push_back(open_files());
    }
    // "RSS 233 MB (176 anonymous, 57 files; highest 246), 13 threads (highest 13), 23 open
    // files (highest 25)"; the samples start again.
    std::string take_text();

private:
    std::vector<double> rss_, anon_, file_, threads_, files_;
};

struct percentiles {
    double p50 = 0, p99 = 0, p999 = 0, max = 0;
};

percentiles of(std::vector<double> v) {
    percentiles p;
    if (v.empty()) return p;
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))]; };
    p.p50 = at(0.5);
    p.p99 = at(0.99);
    p.p999 = at(0.999);
    p.max = v.back();
    return p;
}

std::string footprint_samples::take_text() {
    take();  // never empty
    const auto at_end = [](const std::vector<double>& v) {
        return of(std::vector<double>(v.end() - std::min<std::size_t>(v.size(), 30), v.end())).p50;
    };
    char text[200];
    std::snprintf(text, sizeof text,
                  "RSS %.0f MB (%.0f anonymous, %.0f files; highest %.0f), %.0f threads (highest %.0f), %.0f open "
                  "files (highest %.0f)",
                  at_end(rss_), at_end(anon_), at_end(file_), of(rss_).max, at_end(threads_), of(threads_).max,
                  at_end(files_), of(files_).max);
    for (auto* v : {&rss_, &anon_, &file_, &threads_, &files_}) v->clear();
    return text;
}

// The odometer simulator as a child process; its first output line is the line's path.
class odometer_sim {
public:
    odometer_sim(const fs::path& program, double rate) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const std::string rate_text = std::to_string(static_cast<long>(rate));
        std::vector<std::string> args{program.string(), "--rate", rate_text, "--format", "7"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            throw std::runtime_error("cannot start " + program.string());
        }
        out_ = fdopen(fds[0], "r");
        char line[512] = {};
        if (!out_ || !std::fgets(line, sizeof line, out_))
            throw std::runtime_error("the odometer simulator said nothing");
        path_ = line;
        while (!path_.empty() && (path_.back() == '\n' || path_.back() == '\r')) path_.pop_back();
    }
    ~odometer_sim() {
        kill(pid_, SIGTERM);  // ends at once, also with its line full
        int status = 0;
        waitpid(pid_, &status, 0);
        if (out_) fclose(out_);
    }
    const std::string& path() const { return path_; }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    std::string path_;
};

// The list's start-up over the write path: every database opened and summarised, as at start.
double list_seconds(const fs::path& write_path, std::uint64_t* count) {
    const auto start = clock_type::now();
    scan_callbacks callbacks;
    callbacks.found = [&](const std::wstring&, const ldb_info& info) { *count = info.count; };
    callbacks.failed = [](const std::wstring&, const std::string& why) {
        std::fprintf(stderr, "list: %s\n", why.c_str());
    };
    callbacks.settle_databases = true;
    scan_databases(write_path.wstring(), callbacks);
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// A later start takes milliseconds, most of them LevelDB's manifest and log syncs at open, so
// one start is one disk's mood: the median of nine.
double later_start_seconds(const fs::path& write_path, std::uint64_t* count) {
    std::vector<double> starts;
    for (int i = 0; i < 9; ++i) starts.push_back(list_seconds(write_path, count));
    return of(starts).p50;
}

// The frame keys of every database in the write path (a recording splits when its count goes
// back), read once the recording is closed.
std::unordered_set<std::uint32_t> stored_keys(const fs::path& write_path) {
    std::unordered_set<std::uint32_t> keys;
    for (const auto& e : fs::directory_iterator(write_path)) {
        if (!e.is_directory()) continue;
        try {
            database_reader reader(e.path().wstring());
            for (std::uint32_t k : reader.frame_counts([] { return true; })) keys.insert(k);
        } catch (const std::exception& x) {
            std::fprintf(stderr, "bench_shift: cannot read the keys of %s: %s\n", e.path().c_str(), x.what());
        }
    }
    return keys;
}

// "due 9000 (0 to dropped frames), stored 9000, lost 0, stored but not due 0, queue dropped 0"
std::string due_text(const shift_due::tally& t, std::uint64_t queue_dropped) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "due %llu (%llu to dropped frames), stored %llu, lost %llu, stored but not due %llu, "
                  "queue dropped %llu",
                  static_cast<unsigned long long>(t.due), static_cast<unsigned long long>(t.due_dropped),
                  static_cast<unsigned long long>(t.stored), static_cast<unsigned long long>(t.lost),
                  static_cast<unsigned long long>(t.not_due), static_cast<unsigned long long>(queue_dropped));
    return text;
}

// The recording queue's level through a window, sampled once a second.
struct queue_watch {
    std::size_t highest = 0;      // this window's: the samples and the queue's own highest since open
    std::size_t run_highest = 0;  // the run's
    std::size_t frame_bytes = 0;  // one buffer's bytes
    std::size_t capacity = 0;
    std::uint64_t dropped = 0;  // since the recording began
    double first_full_minutes = -1;

    void take(const std::optional<recording_queue::levels>& l, double minutes) {
        if (!l) return;
        highest = std::max({highest, l->frames, l->highest_frames});
        run_highest = std::max(run_highest, highest);
        if (l->frames) frame_bytes = l->bytes / l->frames;
        capacity = l->capacity_frames;
        dropped = l->dropped;
        // The queue's own highest catches a fill between two samples.
        if (first_full_minutes < 0 && capacity > 0 && l->highest_frames >= capacity) first_full_minutes = minutes;
    }
    // "queue highest 12 frames (26 MB) of 208, never full"; the window's highest starts again.
    std::string take_text(bool whole_run = false) {
        const std::size_t frames = whole_run ? run_highest : highest;
        char text[160];
        char full[64] = "never full";
        if (first_full_minutes >= 0) std::snprintf(full, sizeof full, "first full at %.1f min", first_full_minutes);
        std::snprintf(text, sizeof text, "queue highest %zu frames (%.0f MB) of %zu, %s", frames,
                      frames * frame_bytes / 1048576.0, capacity, full);
        highest = 0;
        return text;
    }
};

// One thread JPEG-encoding the scene's 1920 x 1200 frames (quality 85, as stored) and putting
// them into a recording: the work one frame costs, with no pipeline around it.
struct one_core_figures {
    double fps = 0, encode_ms = 0, put_ms = 0, jpeg_kb = 0;
};

one_core_figures one_core_rate(const fs::path& base, double seconds) {
    constexpr std::uint32_t width = 1920, height = 1200;
    // Several scene positions, drawn before the clock starts: the camera's work is not counted.
    undercar_scene scene;
    std::vector<std::vector<std::uint8_t>> frames(16, std::vector<std::uint8_t>(std::size_t{width} * height));
    for (std::size_t i = 0; i < frames.size(); ++i) scene.fill(frames[i].data(), frames[i].size(), width, height, i);

    std::string scratch = (base / "qm-shift-core-XXXXXX").string();
    if (!mkdtemp(scratch.data())) throw std::runtime_error("cannot make a folder in " + base.string());
    one_core_figures f;
    {
        recording_database db;
        db.open((fs::path(scratch) / "one-core").wstring(), "bench : one core", L"");
        std::vector<unsigned char> jpeg;
        double encode = 0, put = 0, bytes = 0;
        std::uint32_t n = 0;
        const auto start = clock_type::now();
        for (auto now = start; std::chrono::duration<double>(now - start).count() < seconds; ++n) {
            const cv::Mat gray(height, width, CV_8UC1, frames[n % frames.size()].data());
            encode_frame(gray, jpeg);
            const auto encoded = clock_type::now();
            db.store_encoded_frame(std::string_view(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()), n + 1,
                                   std::time(nullptr));
            encode += std::chrono::duration<double, std::milli>(encoded - now).count();
            now = clock_type::now();
            put += std::chrono::duration<double, std::milli>(now - encoded).count();
            bytes += jpeg.size();
        }
        const double took = std::chrono::duration<double>(clock_type::now() - start).count();
        db.close(std::string("bench : one core"), L"");
        f.fps = n / took;
        f.encode_ms = n ? encode / n : 0;
        f.put_ms = n ? put / n : 0;
        f.jpeg_kb = n ? bytes / 1024 / n : 0;
    }
    std::error_code ec;
    fs::remove_all(scratch, ec);
    return f;
}

// A bench_shift of its own for one rate of --find-fps; its output passes through, and its
// "verdict:" line is read.
struct rate_verdict {
    bool ran = false;
    int exit_code = 0;
    double camera_fps = 0;
    unsigned long long due = 0, stored = 0, lost = 0, not_due = 0, dropped = 0;
};

rate_verdict run_rate(const std::vector<std::string>& args) {
    rate_verdict v;
    int fds[2];
    if (pipe(fds) != 0) return v;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, copy[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return v;
    }
    FILE* out = fdopen(fds[0], "r");
    char line[4096];
    while (out && std::fgets(line, sizeof line, out)) {
        std::fputs("  | ", stdout);
        std::fputs(line, stdout);
        std::fflush(stdout);
        if (std::strncmp(line, "verdict:", 8) == 0)
            v.ran = std::sscanf(line,
                                "verdict: camera %lf fps, due %llu, stored %llu, lost %llu, not due %llu, queue "
                                "dropped %llu",
                                &v.camera_fps, &v.due, &v.stored, &v.lost, &v.not_due, &v.dropped) == 6;
    }
    if (out) fclose(out);
    int status = 0;
    waitpid(pid, &status, 0);
    v.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return v;
}

// --find-fps: the highest camera rate the pipeline records for a whole run without a loss.
int find_fps(int argc, char** argv, const fs::path& base) {
    const double minutes = option(argc, argv, "--minutes", 1);
    const fs::path self = fs::read_symlink("/proc/self/exe");
    std::printf("bench_shift --find-fps: runs of %.1f min at 1920 x 1200 in %s\n", minutes, base.c_str());
    std::fflush(stdout);
    const one_core_figures core = one_core_rate(base, 10);
    std::printf("one core, encode + put: %.1f frames/s (JPEG %.1f ms, put %.1f ms, %.0f KB a frame)\n", core.fps,
                core.encode_ms, core.put_ms, core.jpeg_kb);
    std::fflush(stdout);

    double best = 0;
    std::string why = "no rate was tried";
    for (double fps = 50;; fps += fps < 100 ? 10 : 20) {
        const double odometer = std::max(200.0, 2 * fps);
        std::vector<std::string> args{self.string(),
                                      "--minutes",
                                      std::to_string(minutes),
                                      "--window-minutes",
                                      std::to_string(minutes),
                                      "--fps",
                                      std::to_string(static_cast<long>(fps)),
                                      "--odometer-rate",
                                      std::to_string(static_cast<long>(odometer)),
                                      "--dir",
                                      base.string(),
                                      "--reserve-gb",
                                      text_option(argc, argv, "--reserve-gb", "20"),
                                      "--no-list-timing"};
        if (flag(argc, argv, "--default-heap")) args.push_back("--default-heap");
        std::printf("rate %.0f fps, odometer %.0f/s:\n", fps, odometer);
        std::fflush(stdout);
        const rate_verdict v = run_rate(args);
        char text[200];
        if (!v.ran) {
            std::snprintf(text, sizeof text, "the run at %.0f fps did not finish (exit %d)", fps, v.exit_code);
            why = text;
            break;
        }
        if (v.lost > 0 || v.not_due > 0 || v.dropped > 0 || v.due != v.stored) {
            std::snprintf(text, sizeof text,
                          "%.0f fps lost frames (due %llu, stored %llu, lost %llu, stored but not due %llu, queue "
                          "dropped %llu)",
                          fps, v.due, v.stored, v.lost, v.not_due, v.dropped);
            why = text;
            break;
        }
        if (v.camera_fps < 0.97 * fps) {
            std::snprintf(text, sizeof text,
                          "the simulated camera delivered only %.1f of %.0f fps (nothing lost of what it delivered)",
                          v.camera_fps, fps);
            why = text;
            break;
        }
        best = fps;
    }
    std::printf("highest rate without loss: %.0f fps (%s); one core encodes and puts %.1f frames/s\n", best,
                why.c_str(), core.fps);
    return 0;
}


}  // namespace

int main(int argc, char** argv) {
    if (flag(argc, argv, "--help")) {
        std::printf(
            "usage: bench_shift [--minutes M] [--dir DIR] [--reserve-gb G] [--fps F] [--odometer-rate R]\n"
            "                   [--window-minutes W] [--default-heap] [--keep] [--no-list-timing]\n"
            "                   [--depot-upload FOLDER_OR_GB] [--web-watchers N [--web-watchers-nice K]]\n"
            "       bench_shift --find-fps [--minutes M (each rate's run, default 1)] [--dir DIR] [--reserve-gb G]\n"
            "--fps is the camera's fixed rate; --find-fps steps it from 50 up to the highest recorded without loss\n"
            "--depot-upload uploads a closed recording (a folder, or one of G gigabytes made first) to a loopback\n"
            "object store while the shift records\n"
            "--web-watchers runs the browser service fed as the window feeds it, with N headless Chromium\n"
            "watching its live page through the shift (at nice K, default 0)\n");
        return 0;
    }
    if (flag(argc, argv, "--find-fps")) {
        std::setlocale(LC_ALL, "C.UTF-8");
        try {
            return find_fps(argc, argv, text_option(argc, argv, "--dir", fs::temp_directory_path().string()));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_shift: %s\n", e.what());
            return 1;
        }
    }
    const double fps = option(argc, argv, "--fps", 50);
    const double minutes = option(argc, argv, "--minutes", 100000 / fps / 60 + 0.5);
    const double odometer_rate = option(argc, argv, "--odometer-rate", 200);
    const double window_minutes = std::min(minutes, option(argc, argv, "--window-minutes", 5));
    const std::uint64_t reserve = static_cast<std::uint64_t>(option(argc, argv, "--reserve-gb", 20) * 1e9);
    const fs::path base = text_option(argc, argv, "--dir", fs::temp_directory_path().string());
    const std::string depot_what = text_option(argc, argv, "--depot-upload", "");
    std::error_code depot_ec;
    if (!depot_what.empty() && !fs::is_directory(depot_what, depot_ec) &&
        !(std::strtod(depot_what.c_str(), nullptr) > 0 && std::strtod(depot_what.c_str(), nullptr) <= 1000)) {
        std::fprintf(stderr, "bench_shift: --depot-upload takes a recording's folder or its size in GB (0 to 1000)\n");
        return 2;
    }
    const double watchers_asked = option(argc, argv, "--web-watchers", 0);
    if (!(watchers_asked >= 0 && watchers_asked <= 16) || watchers_asked != static_cast<int>(watchers_asked)) {
        std::fprintf(stderr, "bench_shift: --web-watchers takes a number of browsers, 0 to 16\n");
        return 2;
    }
    const int watcher_count = static_cast<int>(watchers_asked);
    const double nice_asked = option(argc, argv, "--web-watchers-nice", 0);
    if (!(nice_asked >= 0 && nice_asked <= 19) || nice_asked != static_cast<int>(nice_asked)) {
        std::fprintf(stderr, "bench_shift: --web-watchers-nice takes 0 to 19\n");
        return 2;
    }
    const int watcher_nice = static_cast<int>(nice_asked);
    if (minutes <= 0 || fps <= 0 || odometer_rate <= 0 || window_minutes <= 0) {
        std::fprintf(stderr, "bench_shift: --minutes, --fps, --odometer-rate and --window-minutes must be positive\n");
        return 2;
    }

    std::error_code ec;
    const fs::space_info space = fs::space(base, ec);
    if (ec) {
        std::fprintf(stderr, "bench_shift: cannot read the free space of %s: %s\n", base.c_str(), ec.message().c_str());
        return 3;
    }
    const auto frames_planned = static_cast<std::uint64_t>(minutes * 60 * fps);
    // The depot's store keeps a copy of the uploaded recording, and one made here takes as much again.
    std::uint64_t depot_bytes = 0;
    if (!depot_what.empty())
        depot_bytes = depot_beside::room(depot_what) * (fs::is_directory(depot_what, depot_ec) ? 1 : 2);
    const shift_plan::verdict plan = shift_plan::check(
        base.string(), frames_planned, space.available > depot_bytes ? space.available - depot_bytes : 0, reserve);
    if (!plan.enough) {
        std::fprintf(stderr, "bench_shift: %s\n", plan.message.c_str());
        return 3;
    }

    const bool program_heap = !flag(argc, argv, "--default-heap") && return_large_blocks_to_the_system();
    // The camera layer's own environment: the simulated camera with the under-car scene.
    setenv("QUILLMAR_CAMERAS", "simulated", 1);
    setenv("QUILLMAR_SIMULATED_SCENE", "undercar", 1);
    setenv("QUILLMAR_SIMULATED_SIZE", "1920x1200", 1);
    std::setlocale(LC_ALL, "C.UTF-8");
    wxInitializer wx;

    std::string scratch = (base / "qm-shift-XXXXXX").string();
    if (!mkdtemp(scratch.data())) {
        std::fprintf(stderr, "bench_shift: cannot make a folder in %s: %s\n", base.c_str(), std::strerror(errno));
        return 3;
    }
    const fs::path dir = scratch;
    const fs::path write_path = dir / "recordings";
    fs::create_directories(write_path);
    std::printf(
        "bench_shift: %.1f min at %.0f fps (%llu frames planned, up to %s), odometer %.0f/s, windows of "
        "%.1f min, in %s; %s free before; large blocks %s\n",
        minutes, fps, static_cast<unsigned long long>(frames_planned), shift_plan::gigabytes(plan.needed).c_str(),
        odometer_rate, window_minutes, dir.c_str(), shift_plan::gigabytes(space.available).c_str(),
        program_heap ? "mapped apart, as the program does" : "on glibc's default policy");
    std::fflush(stdout);

    std::unique_ptr<depot_beside> depot;
    if (!depot_what.empty()) {
        try {
            depot = std::make_unique<depot_beside>(depot_what, dir);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_shift: --depot-upload: %s\n", e.what());
            if (!flag(argc, argv, "--keep")) fs::remove_all(dir, ec);
            return 1;
        }
    }

    int result = 0;
    std::shared_ptr<shift_due::ledger> ledger;
    // Each window's end, and the frames the queue dropped in it, for the check against the keys.
    std::vector<clock_type::time_point> window_ends;
    std::vector<std::uint64_t> window_dropped;
    {
        const fs::path tools = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools";
        odometer_sim sim(tools / "quillmar-odometer-sim", odometer_rate);

        auto settings = std::make_shared<settings_store>((dir / ".quillmar").wstring());
        settings->write_text(settings_keys::dpp_port, to_wide(sim.path()));
        settings->write_text(settings_keys::dpp_format, L"ДПП7");
        settings->write_bool(settings_keys::coordinate_server_enabled, false);
        settings->write_text(settings_keys::write_path, write_path.wstring());
        settings->write_text(settings_keys::data_service_port, L"0");

        auto sink = std::make_shared<bench_sink>();
        auto steps = std::make_shared<step_log>();
        // Reserved for the whole run with room to spare: the queue's lock must not wait for a
        // reallocation.
        ledger =
            std::make_shared<shift_due::ledger>(static_cast<std::size_t>(minutes * 60 * odometer_rate * 1.25) + 1024);
        recording_database live;
        write_thread_tuning tuning;
        tuning.database = &live;
        tuning.step_observer = [steps, sink](clock_type::duration took, std::size_t jpeg) {
            std::lock_guard<std::mutex> lock(steps->mutex);
            ++steps->steps;
            // Every step, so a slow one is split over itself and the short wait before it only.
            if (!steps->recording_thread) steps->recording_thread = std::make_unique<thread_time>();
            const thread_sample before = steps->previous;
            const clock_type::time_point before_end = steps->previous_end;
            steps->previous = steps->recording_thread->now();
            steps->previous_end = clock_type::now();
            if (jpeg == 0) return;
            if (!steps->started) {
                steps->started = true;
                steps->delivered_at_first_store = sink->delivered();
            }
            const double ms = std::chrono::duration<double, std::milli>(took).count();
            steps->stored_ms.push_back(ms);
            steps->all_stored_ms.push_back(ms);
            ++steps->stored;
            steps->jpeg_bytes += jpeg;
            if (ms <= slow_step_ms / 2 || before_end == clock_type::time_point{}) return;
            const thread_sample& now = steps->previous;
            const double span = std::chrono::duration<double, std::milli>(steps->previous_end - before_end).count();
            ++steps->tail_steps;
            steps->tail_ms += span;
            steps->tail_cpu_ms += (now.on_cpu_ns - before.on_cpu_ns) / 1e6;
            steps->tail_wait_ms += (now.cpu_wait_ns - before.cpu_wait_ns) / 1e6;
            if (ms > slow_step_ms) {
                // The time of day, to find the step in LevelDB's LOG and in outside samplers.
                const auto wall = std::chrono::system_clock::now();
                const std::time_t seconds = std::chrono::system_clock::to_time_t(wall);
                std::tm local{};
                ::localtime_r(&seconds, &local);
                const long ms_of_second =
                    std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count() % 1000;
                char took_text[96];
                std::snprintf(took_text, sizeof took_text,
                              "%.1f at %02d:%02d:%02d.%03ld, of %.1f since the previous step:", ms, local.tm_hour,
                              local.tm_min, local.tm_sec, ms_of_second, span);
                steps->slow.emplace_back(steps->stored, took_text + thread_time::split(span, before, now));
            }
        };
        tuning.pipeline.stored = [steps](clock_type::duration since_arrival, std::size_t) {
            const double ms = std::chrono::duration<double, std::milli>(since_arrival).count();
            std::lock_guard<std::mutex> lock(steps->mutex);
            steps->arrival_ms.push_back(ms);
            steps->all_arrival_ms.push_back(ms);
        };
        const recorder_factory recording = write_thread_factory(settings, tuning);
        const recorder_factory factory = [recording, ledger = ledger](event_sink_ptr s, const std::string& code,
                                                                      recording_queue* queue) {
            if (queue)
                queue->observe([ledger](arrival::kind what, clock_type::time_point at, std::uint32_t count) {
                    ledger->arrived(what, at, count);
                });
            return recording(std::move(s), code, queue);
        };

        jai_factory cameras_factory;
        const camera_selection selected = select_startup_camera(cameras_factory, "SocketDriver");
        if (!selected.camera) {
            std::fprintf(stderr, "bench_shift: no simulated camera\n");
            return 1;
        }
        const std::string rate_text = std::to_string(static_cast<long>(fps));
        if (J_Camera_SetValueString(selected.camera->handle(), "AcquisitionFrameRate", rate_text.c_str()) !=
            J_ST_SUCCESS)
            std::fprintf(stderr, "bench_shift: the camera refused AcquisitionFrameRate %s\n", rate_text.c_str());

        database_registry registry;
        img_service::options service_options;
        service_options.bind_address = "127.0.0.1";
        service_options.registry = &registry;
        service_options.live = &live;
        img_service service(sink, settings, service_options);
        service.start();

        // --web-watchers: the browser service as the window runs it, and browsers watching it.
        std::unique_ptr<web_service> web;
        std::unique_ptr<web_watchers> watchers;
        if (watcher_count > 0) {
            web_service::options web_options;
            web_options.bind_address = "127.0.0.1";
            web_options.port = 0;
            web_options.registry = &registry;
            web = std::make_unique<web_service>(sink, settings, web_options);
            web->start();
            const auto bind_until = clock_type::now() + std::chrono::seconds(10);
            while (web->port() == 0 && clock_type::now() < bind_until)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const auto browsers_start = clock_type::now();
            try {
                if (web->port() == 0) throw std::runtime_error("the web service did not listen");
                watchers = std::make_unique<web_watchers>(watcher_count, watcher_nice, web->port(), dir);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "bench_shift: --web-watchers: %s\n", e.what());
                web->stop();
                service.stop();
                if (!flag(argc, argv, "--keep")) fs::remove_all(dir, ec);
                return 1;
            }
            std::printf(
                "web service on 127.0.0.1:%u, %d headless Chromium (nice %d) watching its live page (up in %.0f s)\n",
                        static_cast<unsigned>(web->port()), watcher_count, watcher_nice,
                        std::chrono::duration<double>(clock_type::now() - browsers_start).count());
            std::fflush(stdout);
        }

        // The live-frame client: one request a second for the newest count, as a viewer would.
        std::atomic<bool> client_stop{false};
        std::atomic<std::uint64_t> served{0}, failed{0};
        std::thread client([&] {
            name_this_thread("qm-bench-client");
            while (!client_stop) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                if (client_stop || service.port() == 0) continue;
                try {
                    service_connection connection("127.0.0.1", service.port(), std::chrono::seconds(10));
                    image_request request;
                    request.count = sink->count();
                    if (!connection.fetch(request).empty())
                        ++served;
                    else
                        ++failed;
                } catch (const std::exception&) {
                    ++failed;
                }
            }
        });

        const std::uint64_t write_bytes_start = proc_value("io", "write_bytes:");
        std::uint64_t write_bytes_before = write_bytes_start;
        double steal_before = steal_seconds();
        std::uint64_t syncs_before = live.storage().syncs();
        std::uint64_t sync_waits_before = 0;
        std::uint64_t rows_before = 0;
        if (depot) depot->start();
        const auto run_start = clock_type::now();
        auto source = std::make_unique<continuous_grab_write>(sink, capture_config{}, selected.camera, factory);
        source->set_session_code("bench : shift");

        // The window's feed of the web service: on each new-frame cue (the window's live display)
        // the newest frame is copied out and offered (the service takes a copy only while a page
        // watches, at most four a second), and the health strip once a second.
        std::atomic<bool> feeder_stop{false};
        std::atomic<std::uint64_t> offered{0};
        std::thread feeder;
        if (web) {
            frame_buffer* buffer = source->buffer();
            feeder = std::thread([&, buffer] {
                name_this_thread("qm-bench-web");
                cv::Mat picture;
                std::uint64_t seen = 0;
                auto next_health = clock_type::now();
                while (!feeder_stop) {
                    const std::uint64_t now_seen = sink->wait_new_frame(
                        seen, std::min(next_health, clock_type::now() + std::chrono::milliseconds(200)));
                    if (feeder_stop) break;
                    if (now_seen > seen && buffer) {
                        seen = now_seen;
                        copy_frame_gray8(*buffer, picture);
                        web->publish_live(picture);
                        ++offered;
                    }
                    if (clock_type::now() >= next_health) {
                        next_health += std::chrono::seconds(1);
                        web_health health;
                        health.lamp = L"ЗАПИСЬ";
                        health.lamp_level = "good";
                        health.recording = true;
                        {
                            std::lock_guard<std::mutex> lock(steps->mutex);
                            health.frames_stored = steps->stored;
                        }
                        health.cells.push_back(
                            web_health_cell{L"Записано", std::to_wstring(health.frames_stored), "normal", L""});
                        web->publish_health(std::move(health));
                    }
                }
            });
        }

        const auto window = std::chrono::duration<double>(window_minutes * 60);
        const auto run_end =
            run_start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(minutes * 60));
        std::uint64_t delivered_before = 0, stored_before = 0, jpeg_before = 0, served_before = 0;
        bool first_window = true;
        footprint_samples footprint;
        queue_watch queue;
        std::uint64_t dropped_before = 0;
        std::size_t messages_before = 0;
        int depot_ticks = 0;
        const auto minutes_since_start = [&] {
            return std::chrono::duration<double>(clock_type::now() - run_start).count() / 60;
        };
        for (int w = 1;; ++w) {
            auto w_end = run_start + std::chrono::duration_cast<clock_type::duration>(window * w);
            if (w_end > run_end) w_end = run_end;
            for (auto next = clock_type::now() + std::chrono::seconds(1); next < w_end;
                 next += std::chrono::seconds(1)) {
                std::this_thread::sleep_until(next);
                footprint.take();
                queue.take(source->queue_levels(), minutes_since_start());
                if (depot && ++depot_ticks % 30 == 0) {
                    std::printf("%s\n", depot->progress_text(minutes_since_start()).c_str());
                    std::fflush(stdout);
                }
            }
            std::this_thread::sleep_until(w_end);
            queue.take(source->queue_levels(), minutes_since_start());
            const double seconds = std::chrono::duration<double>(window).count();
            std::vector<double> ms, arrival_ms;
            std::vector<std::pair<std::uint64_t, std::string>> slow;
            std::uint64_t stored = 0, jpeg = 0, delivered_first = 0, tail_steps = 0;
            double tail_ms = 0, tail_cpu_ms = 0, tail_wait_ms = 0;
            {
                std::lock_guard<std::mutex> lock(steps->mutex);
                ms.swap(steps->stored_ms);
                arrival_ms.swap(steps->arrival_ms);
                slow.swap(steps->slow);
                std::swap(tail_steps, steps->tail_steps);
                std::swap(tail_ms, steps->tail_ms);
                std::swap(tail_cpu_ms, steps->tail_cpu_ms);
                std::swap(tail_wait_ms, steps->tail_wait_ms);
                stored = steps->stored;
                jpeg = steps->jpeg_bytes;
                delivered_first = steps->delivered_at_first_store;
            }
            if (first_window) delivered_before = delivered_first > 0 ? delivered_first - 1 : 0;
            const std::uint64_t delivered = sink->delivered();
            const std::uint64_t write_bytes = proc_value("io", "write_bytes:");
            const std::uint64_t syncs = live.storage().syncs();
            const percentiles p = of(ms);
            // Whether anonymous memory that grows is held by the program or left free in malloc's arenas.
            const struct mallinfo2 heap = ::mallinfo2();
            const double steal = steal_seconds();
            const double written_per_jpeg =
                jpeg > jpeg_before ? double(write_bytes - write_bytes_before) / double(jpeg - jpeg_before) : 0;
            std::printf(
                "window %d (to %.1f min): stored %llu / delivered %llu (camera lost %llu in all); step ms "
                "(the store itself, behind the queue: no longer a loss risk) "
                "p50 %.1f p99 %.1f p99.9 %.1f max %.1f; %s; heap %.0f MB in use, %.0f free; log +%llu "
                "rows (%llu bytes in all); %.1f fsyncs/s, %llu sync points waited for; %.2f bytes written per JPEG "
                "byte; database %s; "
                "live frames %llu served, %llu failed; processors stolen by the host %.1f s%s%s\n",
                w, std::chrono::duration<double>(w_end - run_start).count() / 60,
                static_cast<unsigned long long>(stored - stored_before),
                static_cast<unsigned long long>(delivered - delivered_before),
                static_cast<unsigned long long>(sink->lost()), p.p50, p.p99, p.p999, p.max,
                footprint.take_text().c_str(), heap.uordblks / 1048576.0 + heap.hblkhd / 1048576.0,
                heap.fordblks / 1048576.0, static_cast<unsigned long long>(sink->rows() - rows_before),
                static_cast<unsigned long long>(sink->row_bytes()), (syncs - syncs_before) / seconds,
                static_cast<unsigned long long>(live.sync_waits() - sync_waits_before), written_per_jpeg,
                shift_plan::gigabytes(folder_bytes(write_path)).c_str(),
                static_cast<unsigned long long>(served - served_before), static_cast<unsigned long long>(failed.load()),
                steal - steal_before, tail_text(tail_steps, tail_ms, tail_cpu_ms, tail_wait_ms).c_str(),
                slow_steps_text(slow).c_str());
            steal_before = steal;
            // What is due so far, from the arrivals; whether it was stored is read from the
            // database once it is closed.
            const std::vector<shift_due::message> messages = ledger->messages();
            const shift_due::tally due =
                shift_due::compare(messages.begin() + messages_before, messages.end(), nullptr);
            const percentiles a = of(arrival_ms);
            std::printf(
                "window %d pipeline: %s; frame arrival to stored ms p50 %.1f p99 %.1f max %.1f; messages %llu, due "
                "%llu "
                "(%llu to frames the queue dropped), queue dropped %llu\n",
                w, queue.take_text().c_str(), a.p50, a.p99, a.max, static_cast<unsigned long long>(due.messages),
                static_cast<unsigned long long>(due.due), static_cast<unsigned long long>(due.due_dropped),
                static_cast<unsigned long long>(queue.dropped - dropped_before));
            std::fflush(stdout);
            window_ends.push_back(w_end);
            window_dropped.push_back(queue.dropped - dropped_before);
            dropped_before = queue.dropped;
            messages_before = messages.size();
            first_window = false;
            delivered_before = delivered;
            stored_before = stored;
            jpeg_before = jpeg;
            served_before = served;
            write_bytes_before = write_bytes;
            syncs_before = syncs;
            sync_waits_before = live.sync_waits();
            rows_before = sink->rows();
            if (w_end >= run_end) break;
            // Never below the reserve, whatever the frames weighed.
            const fs::space_info now = fs::space(base, ec);
            if (!ec && now.available < reserve) {
                std::fprintf(stderr, "bench_shift: free space fell below the reserve (%s): stopping early\n",
                             shift_plan::gigabytes(now.available).c_str());
                result = 3;
                break;
            }
        }
        const std::uint64_t delivered_total = sink->delivered();
        if (web) {
            // Read while every thread still runs: who had the processors through the shift.
            const named_threads web_io = threads_named("qm-web"), web_work = threads_named("qm-web-w"),
                                encoders = threads_named("qm-encode-*");
            const double run_seconds = std::chrono::duration<double>(clock_type::now() - run_start).count();
            const std::size_t streams = web->streams();
            feeder_stop = true;
            feeder.join();
            const std::string watched = watchers->finish();
            std::printf("web: %s\n", watched.c_str());
            std::printf(
                "web: the feed offered %llu live frames; processor time over %.0f s: %zu qm-web threads %.1f s "
                "(nice %d), %zu qm-web-w workers (live JPEGs) %.1f s (nice %d), %zu recording encoders %.1f s "
                "(nice %d); %zu event streams open at the end\n",
                static_cast<unsigned long long>(offered.load()), run_seconds, web_io.count, web_io.seconds,
                web_io.nice, web_work.count, web_work.seconds, web_work.nice, encoders.count, encoders.seconds,
                encoders.nice, streams);
            std::fflush(stdout);
        }
        source.reset();  // the write thread closes the database with its count, then the camera stops
        client_stop = true;
        client.join();
        service.stop();
        if (web) web->stop();
        if (depot) {
            std::printf("%s\n", depot->end_text().c_str());
            std::fflush(stdout);
            depot.reset();  // the uploader stops between requests, then the store
        }

        std::vector<double> all, all_arrival;
        std::uint64_t stored_total = 0, jpeg_total = 0, delivered_first = 0;
        {
            std::lock_guard<std::mutex> lock(steps->mutex);
            all = steps->all_stored_ms;
            all_arrival = steps->all_arrival_ms;
            stored_total = steps->stored;
            jpeg_total = steps->jpeg_bytes;
            delivered_first = steps->delivered_at_first_store;
        }
        const percentiles p = of(all);
        const std::uint64_t delivered_recording = delivered_total - (delivered_first > 0 ? delivered_first - 1 : 0);
        std::printf(
            "whole run: stored %llu / delivered while recording about %llu (counters read a step apart); "
            "JPEG mean %.0f KB; step ms p50 %.1f p99 %.1f p99.9 %.1f max %.1f; %.2f bytes written per JPEG "
            "byte; database %s\n",
            static_cast<unsigned long long>(stored_total), static_cast<unsigned long long>(delivered_recording),
            stored_total ? jpeg_total / 1024.0 / stored_total : 0.0, p.p50, p.p99, p.p999, p.max,
            jpeg_total ? double(proc_value("io", "write_bytes:") - write_bytes_start) / jpeg_total : 0.0,
            shift_plan::gigabytes(folder_bytes(write_path)).c_str());
        const percentiles a = of(all_arrival);
        std::printf("whole run: frame arrival to stored ms p50 %.1f p99 %.1f p99.9 %.1f max %.1f; %s\n", a.p50, a.p99,
                    a.p999, a.max, queue.take_text(true).c_str());
        std::fflush(stdout);
    }

    // The list at start-up: closed properly, then as a crash leaves it (no "count"). The first
    // open after a recording replays its last log (up to a write buffer's worth) whether it was
    // closed or not, so each case is timed at the first start and at later ones; the keys are
    // read for the check after that, so as not to be that first open.
    if (!flag(argc, argv, "--no-list-timing")) {
        std::uint64_t count = 0;
        const double closed_first = list_seconds(write_path, &count);
        const double closed = later_start_seconds(write_path, &count);
        std::printf(
            "list start-up, database closed properly: first start %.3f s, later starts %.4f s (median of nine; %llu "
            "frames)\n",
            closed_first, closed, static_cast<unsigned long long>(count));
        for (const auto& e : fs::directory_iterator(write_path)) {
            if (!e.is_directory()) continue;
            auto db = open_leveldb(e.path().string(), false);
            db->Delete(leveldb::WriteOptions(), db_keys::count);
        }
        const double first = list_seconds(write_path, &count);
        std::printf(
            "list start-up after a simulated crash, first start (counts every frame, stores the count): %.3f s "
            "(%llu frames)\n",
            first, static_cast<unsigned long long>(count));
        const double second = later_start_seconds(write_path, &count);
        std::printf(
            "list start-up after a simulated crash, later starts: %.4f s (median of nine; %llu frames), %.2f x the "
            "closed one\n",
            second, static_cast<unsigned long long>(count), closed > 0 ? second / closed : 0.0);
    }

    // Due against the database: a window's keys are the counts of the messages that arrived in
    // it; messages after the last window's end (up to the stop) count in the last window.
    {
        const std::unordered_set<std::uint32_t> keys = stored_keys(write_path);
        const std::vector<shift_due::message> messages = ledger->messages();
        std::uint64_t dropped_in_windows = 0;
        for (std::uint64_t d : window_dropped) dropped_in_windows += d;
        shift_due::tally run;
        auto from = messages.begin();
        for (std::size_t w = 0; w < window_ends.size(); ++w) {
            const bool last = w + 1 == window_ends.size();
            const auto to = last ? messages.end()
                                 : std::find_if(from, messages.end(),
                                                [&](const shift_due::message& m) { return m.at >= window_ends[w]; });
            const shift_due::tally t = shift_due::compare(from, to, &keys);
            // The queue's drops after the last sample (while the recording stopped) go to the last window.
            const std::uint64_t dropped = window_dropped[w] + (last ? ledger->dropped() - dropped_in_windows : 0);
            std::printf("due against the database, window %zu: %s\n", w + 1, due_text(t, dropped).c_str());
            run += t;
            from = to;
        }
        run.not_due += shift_due::keys_without_message(messages, keys);
        run.stored = keys.size();
        std::printf("due against the database, whole run: %s; frames that reached the queue %llu (%.1f a second)%s\n",
                    due_text(run, ledger->dropped()).c_str(), static_cast<unsigned long long>(ledger->frames()),
                    ledger->frame_rate(), run.clean() && ledger->dropped() == 0 ? "" : " -- FRAMES LOST");
        std::printf("verdict: camera %.2f fps, due %llu, stored %llu, lost %llu, not due %llu, queue dropped %llu\n",
                    ledger->frame_rate(), static_cast<unsigned long long>(run.due),
                    static_cast<unsigned long long>(run.stored), static_cast<unsigned long long>(run.lost),
                    static_cast<unsigned long long>(run.not_due), static_cast<unsigned long long>(ledger->dropped()));
        std::fflush(stdout);
    }

    if (!flag(argc, argv, "--keep"))
        fs::remove_all(dir, ec);
    else
        std::printf("kept %s\n", dir.c_str());
    return result;
}
