// End to end recording: the simulated camera (Aravis's in-process fake camera, no network)
// through continuous_grab_write and the write thread, paced by quillmar-odometer-sim at
// 1,000 messages/s in the 7-byte format. Prints recording steps vs messages sent, the frames
// due (each message's newest frame not yet paired, from the arrivals the queue saw) against
// the frames stored, the frames the queue dropped and its highest level, and the recording
// threads' CPU use.
//
// A stalled disk: --stall-every MS --stall-for MS make every write of the recording wait out
// a stall of that length at that period (as a disk busy with writeback does). The operator's
// case: QUILLMAR_SIMULATED_SIZE=1920x1200 QUILLMAR_SIMULATED_SCENE=undercar
// bench_recording_end_to_end --seconds 36 --rate 100 --fps 25 --stall-every 2000 --stall-for 400
// Options: --seconds N (default 60), --rate N (default 1000), --fps F (the camera's rate;
// default: the simulated camera's own).
#include "base/thread_message.h"
#include "bench/shift_due.h"
#include "camera/camera_list.h"
#include "camera/continuous_grab_write.h"
#include "camera/frame_buffer.h"
#include "camera/jai_sdk.h"
#include "camera/jai_factory.h"
#include "database/database_layout.h"
#include "database/durable_env.h"
#include "base/ldb_info.h"
#include "recording/write_thread_settings.h"
#include "settings/settings_keys.h"

#include <leveldb/db.h>
#include <wx/init.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <unordered_set>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

long option(int argc, char** argv, const char* name, long def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::atol(argv[i + 1]);
    return def;
}

// Every write of the recording waits out the stall it falls into.
class stalling_env : public leveldb::EnvWrapper {
public:
    stalling_env(std::chrono::milliseconds every, std::chrono::milliseconds length)
        : EnvWrapper(leveldb::Env::Default()), every_(every), length_(length) {}
    leveldb::Status NewWritableFile(const std::string& name, leveldb::WritableFile** result) override {
        leveldb::Status s = target()->NewWritableFile(name, result);
        if (s.ok()) *result = new file(*this, *result);
        return s;
    }
    leveldb::Status NewAppendableFile(const std::string& name, leveldb::WritableFile** result) override {
        leveldb::Status s = target()->NewAppendableFile(name, result);
        if (s.ok()) *result = new file(*this, *result);
        return s;
    }
    void wait_out() const {
        if (every_.count() <= 0 || length_.count() <= 0) return;
        const auto into = (std::chrono::steady_clock::now() - start_) % every_;
        if (into < length_) std::this_thread::sleep_for(length_ - into);
    }

private:
    struct file : leveldb::WritableFile {
        file(const stalling_env& env, leveldb::WritableFile* target) : env(env), target(target) {}
        leveldb::Status Append(const leveldb::Slice& data) override {
            env.wait_out();
            return target->Append(data);
        }
        leveldb::Status Flush() override { return target->Flush(); }
        leveldb::Status Sync() override { return target->Sync(); }
        leveldb::Status Close() override { return target->Close(); }
        const stalling_env& env;
        std::unique_ptr<leveldb::WritableFile> target;
    };
    const std::chrono::milliseconds every_, length_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class counting_sink : public event_sink {
public:
    void post(thread_message m) override {
        if (kind_of(m) == thread_event::record_status) ++steps;
        std::lock_guard<std::mutex> lock(mutex);
        if (kind_of(m) == thread_event::database_info)
            reports.emplace_back(text_of(m), std::get<database_info_message>(m).summary);
        if (kind_of(m) == thread_event::log_error) errors.push_back(text_of(m));
    }
    std::atomic<long> steps{0};
    std::mutex mutex;  // guards reports, errors
    std::vector<std::pair<std::wstring, ldb_info>> reports;
    std::vector<std::wstring> errors;
};

// utime + stime of the threads whose name begins with `prefix`, in seconds.
double thread_cpu_seconds(const std::string& prefix) {
    DIR* d = opendir("/proc/self/task");
    if (!d) return -1;
    double total = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        std::string comm;
        std::getline(std::ifstream(base + "/comm"), comm);
        if (comm.rfind(prefix, 0) != 0) continue;
        std::string stat;
        std::getline(std::ifstream(base + "/stat"), stat);
        std::istringstream in(stat.substr(stat.rfind(')') + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        total += double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }
    closedir(d);
    return total;
}

// The odometer simulator as a child; its stdout is read for the device path and "sent N".
struct simulator {
    simulator(const std::string& program, std::vector<std::string> args) {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            std::fprintf(stderr, "cannot start %s\n", program.c_str());
            std::exit(1);
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out = fdopen(fds[0], "r");
    }
    std::string line() {
        char buf[256];
        if (!std::fgets(buf, sizeof buf, out)) return {};
        std::string s(buf);
        while (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }
    ~simulator() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::fclose(out);
    }
    pid_t pid = -1;
    FILE* out = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    // Only the in-process fake camera: no discovery traffic on any network.
    setenv("QUILLMAR_CAMERAS", "simulated", 1);
    std::setlocale(LC_ALL, "C.UTF-8");
    wxInitializer wx;
    const long seconds = option(argc, argv, "--seconds", 60);
    const long rate = option(argc, argv, "--rate", 1000);
    const long fps = option(argc, argv, "--fps", 0);
    const std::chrono::milliseconds stall_every(option(argc, argv, "--stall-every", 0));
    const std::chrono::milliseconds stall_for(option(argc, argv, "--stall-for", 0));

    const std::filesystem::path exe = std::filesystem::canonical("/proc/self/exe");
    const std::string sim_path = (exe.parent_path().parent_path() / "tools" / "quillmar-odometer-sim").string();
    char scratch_pattern[] = "/tmp/qm-bench-e2e-XXXXXX";
    if (!mkdtemp(scratch_pattern)) return 1;
    const std::filesystem::path scratch = scratch_pattern;

    // The simulator waits a second before its first message so the port is open by then.
    const long messages = seconds * rate;
    simulator sim(sim_path, {"--format", "7", "--rate", std::to_string(rate), "--messages", std::to_string(messages),
                             "--delay", "1", "--linger", "3600"});
    const std::string device = sim.line();

    auto settings = std::make_shared<settings_store>((scratch / ".quillmar").wstring());
    settings->write_text(settings_keys::dpp_port, wxString::FromUTF8(device));
    settings->write_text(settings_keys::dpp_format, L"ДПП7");
    settings->write_bool(settings_keys::coordinate_server_enabled, false);
    settings->write_text(settings_keys::write_path, (scratch / "db").wstring());

    jai_factory factory;
    const camera_selection selected = select_startup_camera(factory, "SocketDriver");
    if (!selected.camera) {
        std::fprintf(stderr, "no simulated camera that opens\n");
        return 1;
    }

    if (fps > 0 && J_Camera_SetValueString(selected.camera->handle(), "AcquisitionFrameRate",
                                           std::to_string(fps).c_str()) != J_ST_SUCCESS) {
        std::fprintf(stderr, "the camera refused AcquisitionFrameRate %ld\n", fps);
        return 1;
    }

    auto sink = std::make_shared<counting_sink>();
    // The reference pairing, worked out from the arrivals alone, as bench_shift does.
    shift_due::ledger due(static_cast<std::size_t>(seconds * rate * 2 + 1000));
    recording_queue::levels queue_levels;
    double write_cpu = 0, wall = 0, odometer_cpu = 0, encode_cpu = 0, pair_cpu = 0;
    std::uint64_t syncs_start = 0, syncs = 0, log_syncs_start = 0, log_syncs = 0;
    std::string sent_line;
    {
        stalling_env stalls(stall_every, stall_for);
        recording_database_options options;
        options.env = &stalls;
        recording_database live(options);
        const recorder_factory make = write_thread_factory(settings, &live);
        const recorder_factory observed = [&](event_sink_ptr s, const std::string& code, recording_queue* queue) {
            queue->observe([&](arrival::kind what, std::chrono::steady_clock::time_point at, std::uint32_t count) {
                due.arrived(what, at, count);
            });
            return make(std::move(s), code, queue);
        };
        continuous_grab_write source(sink, capture_config{}, selected.camera, observed);
        // From the first step to the last expected one (or a generous time-out).
        while (sink->steps == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = thread_cpu_seconds("qm-store");
        const double odometer_start = thread_cpu_seconds("qm-odometer");
        const double encode_start = thread_cpu_seconds("qm-encode");
        const double pair_start = thread_cpu_seconds("qm-pair");
        syncs_start = live.storage().syncs();
        log_syncs_start = live.storage().log_syncs();
        const auto limit = start + std::chrono::seconds(seconds * 2 + 10);
        while (sink->steps < messages && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        write_cpu = thread_cpu_seconds("qm-store") - cpu_start;
        odometer_cpu = thread_cpu_seconds("qm-odometer") - odometer_start;
        encode_cpu = thread_cpu_seconds("qm-encode") - encode_start;
        pair_cpu = thread_cpu_seconds("qm-pair") - pair_start;
        queue_levels = *source.queue_levels();
        syncs = live.storage().syncs() - syncs_start;
        log_syncs = live.storage().log_syncs() - log_syncs_start;
    }  // ends the write thread (database closed and reported), then the capture thread
    kill(sim.pid, SIGTERM);
    sent_line = sim.line();  // "sent N"

    std::uint64_t stored = 0, frame_keys = 0;
    std::unordered_set<std::uint32_t> stored_counts;
    {
        std::lock_guard<std::mutex> lock(sink->mutex);
        for (const auto& e : sink->errors) std::fprintf(stderr, "error: %ls\n", e.c_str());
        for (const auto& [path, info] : sink->reports) {
            stored += info.count;
            auto db = open_leveldb(std::filesystem::path(path).string(), false);
            std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
            for (it->SeekToFirst(); it->Valid(); it->Next())
                if (is_frame_key(it->key().ToString())) {
                    ++frame_keys;
                    stored_counts.insert(static_cast<std::uint32_t>(std::stoul(it->key().ToString())));
                }
        }
    }
    std::printf("end to end: %ld s at %ld messages/s, 7-byte format, simulated camera\n", seconds, rate);
    std::printf("odometer simulator: %s; recording steps: %ld\n", sent_line.c_str(), sink->steps.load());
    const std::vector<shift_due::message> messages_seen = due.messages();
    const shift_due::tally t = shift_due::compare(messages_seen.begin(), messages_seen.end(), &stored_counts);
    const std::uint64_t not_due = t.not_due + shift_due::keys_without_message(messages_seen, stored_counts);
    if (stall_for.count() > 0)
        std::printf("disk stalled %lld ms every %lld ms\n", static_cast<long long>(stall_for.count()),
                    static_cast<long long>(stall_every.count()));
    std::printf(
        "frames due: %zu (%.1f fps over %.1f s); lost: %llu (%llu of them dropped by the full queue); "
        "stored but not due: %llu\n",
        static_cast<std::size_t>(t.due), t.due / wall, wall, static_cast<unsigned long long>(t.lost),
        static_cast<unsigned long long>(t.due_dropped), static_cast<unsigned long long>(not_due));
    std::printf("queue: highest %zu of %zu frames, %llu dropped\n", queue_levels.highest_frames,
                queue_levels.capacity_frames, static_cast<unsigned long long>(queue_levels.dropped));
    // Counts only grow here, so every frame write has a key of its own: frame keys equal to
    // the count means no write replaced another.
    std::printf("stored frames (count): %llu, frame keys: %llu\n", static_cast<unsigned long long>(stored),
                static_cast<unsigned long long>(frame_keys));
    std::printf("fsyncs of the recording's storage over %.1f s: %llu of logs (%.2f/s), %llu in all (%.2f/s)\n", wall,
                static_cast<unsigned long long>(log_syncs), log_syncs / wall, static_cast<unsigned long long>(syncs),
                syncs / wall);
    std::printf("CPU over %.1f s, %% of one core: store %.1f, encode %.1f, pair %.1f, odometer %.1f\n", wall,
                100.0 * write_cpu / wall, 100.0 * encode_cpu / wall, 100.0 * pair_cpu / wall,
                100.0 * odometer_cpu / wall);
    settings.reset();
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
    return 0;
}
