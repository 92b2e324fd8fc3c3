// bench_depot_upload: the depot upload against boto3 on the same store, side by side. Makes a
// closed recording of about --gb G gigabytes (default 2) with the program's own writer
// (recording_database, frames of incompressible bytes the size of a 1920 x 1200 JPEG, LevelDB's
// 16 MB tables as the recorder writes them), starts the single-node object store of the depot
// tests (tests/depot/swift-fixture.sh) on free loopback ports, and per round uploads the
// recording twice, each time under a prefix of its own: with push_recording (8 MB parts, one
// connection, every object verified) and with boto3's transfer manager (bench/depot_boto3_upload.py
// as a child process, 8 MiB parts). Rounds alternate which goes first; objects are deleted
// after each upload so the store holds one copy at a time.
//
// Prints per upload: wall seconds, MB/s (10^6 bytes), CPU seconds (user + system; ours from
// getrusage over the call, boto3's from its own rusage over its upload), each round's ours /
// boto3, and at the end both throughputs over all rounds, ours / boto3 over the sums and the
// median of the rounds' ratios (goal >= 0.9), and our CPU seconds per GB. Before the
// uploads it times the local work push_recording does besides sending (the SHA-256 of every
// file and the MD5 of every part), so a gap can be told from the network's share.
//
// Options: --gb G (default 2), --dir DIR (default the system's temporary folder; a new folder
// there holds the recording and the store, deleted at the end), --rounds N (default 1),
// --boto3-concurrency N (default boto3's own, 10), --frame-kb K (default 400).
// Checks the free space first. The store is stopped at the end whatever happens, also after
// Ctrl-C or SIGTERM (the upload under way is cancelled between requests).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "database/recording_database.h"
#include "bench/bench_args.h"
#include "bench/depot_store.h"
#include "depot/depot_recording.h"
#include "depot/s3_client.h"

extern char** environ;

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

namespace {

using bench_args::option;
using bench_args::text_option;
using bench_depot::folder_bytes;
using bench_depot::free_ports;
using bench_depot::make_recording;
using bench_depot::object_store;

// Set by SIGINT and SIGTERM: the one flag a signal handler can hand over.
volatile sig_atomic_t interrupted = 0;
void on_signal(int) { interrupted = 1; }

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double cpu_seconds(const rusage& u) {
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return cpu_seconds(u);
}


// Deletes the folder at the end, whatever happened.
struct scratch_folder {
    fs::path path;
    ~scratch_folder() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};




s3_config store_config(const std::string& endpoint) {
    s3_config c;
    c.endpoint = endpoint;
    c.bucket = "recordings";
    c.access_key = "depot:uploader";
    c.secret = "depot-secret";
    c.cancelled = [] { return interrupted != 0; };  // Ctrl-C ends a part under way at once
    return c;
}

// Deletes every object under the prefix, so the store holds one upload at a time.
void remove_prefix(s3_client& client, const std::string& prefix) {
    std::vector<s3_object> objects;
    const s3_result listed = client.list(prefix, objects);
    if (!listed.ok()) std::fprintf(stderr, "bench_depot_upload: cannot list %s: %s\n", prefix.c_str(), listed.reason.c_str());
    for (const auto& o : objects) client.remove(o.key);
}

struct upload_figures {
    bool ok = false;
    std::uint64_t bytes = 0;
    double seconds = 0;
    double cpu = 0;        // the uploader's CPU seconds over the upload
    double cpu_whole = 0;  // boto3: the child's whole life, interpreter start included
    double mb_per_s() const { return seconds > 0 ? bytes / 1e6 / seconds : 0; }
};

upload_figures upload_ours(s3_client& client, const std::string& prefix, const fs::path& folder) {
    depot_options options;  // the program's: 8 MB parts
    options.cancelled = [] { return interrupted != 0; };
    upload_figures f;
    const double cpu_before = process_cpu_seconds();
    const auto start = clock_type::now();
    const depot_outcome outcome = push_recording(client, prefix, folder.string(), options);
    f.seconds = seconds_since(start);
    f.cpu = process_cpu_seconds() - cpu_before;
    f.ok = outcome.ok;
    f.bytes = folder_bytes(folder);
    if (!outcome.ok) std::fprintf(stderr, "bench_depot_upload: push_recording: %s\n", outcome.reason.c_str());
    else if (outcome.retries) std::printf("  (push_recording retried %d requests)\n", outcome.retries);
    return f;
}

// A JSON number by name out of the script's one line; 0 when absent.
double json_number(const std::string& line, const std::string& name) {
    const std::size_t at = line.find("\"" + name + "\":");
    return at == std::string::npos ? 0 : std::strtod(line.c_str() + at + name.size() + 3, nullptr);
}

upload_figures upload_boto3(const std::string& endpoint, const std::string& prefix, const fs::path& folder,
                            const std::string& concurrency) {
    std::vector<std::string> args{"python3", QM_SOURCE_DIR "/bench/depot_boto3_upload.py", endpoint, "recordings",
                                  prefix, folder.string()};
    if (!concurrency.empty()) {
        args.push_back("--concurrency");
        args.push_back(concurrency);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t pid = -1;
    const auto start = clock_type::now();
    const int rc = posix_spawnp(&pid, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    upload_figures f;
    if (rc != 0) {
        close(fds[0]);
        std::fprintf(stderr, "bench_depot_upload: cannot start python3: %s\n", std::strerror(rc));
        return f;
    }
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            if (interrupted) kill(pid, SIGTERM);
        } else {
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    rusage child{};
    while (wait4(pid, &status, 0, &child) < 0 && errno == EINTR) {
    }
    const double wall = seconds_since(start);
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && out.find("\"seconds\"") != std::string::npos;
    if (!f.ok) {
        std::fprintf(stderr, "bench_depot_upload: the boto3 upload failed (wall %.1f s): %s\n", wall, out.c_str());
        return f;
    }
    f.bytes = static_cast<std::uint64_t>(json_number(out, "bytes"));
    f.seconds = json_number(out, "seconds");
    f.cpu = json_number(out, "user_s") + json_number(out, "sys_s");
    f.cpu_whole = cpu_seconds(child);
    return f;
}

void print_upload(const char* who, const upload_figures& f) {
    char whole[64] = "";
    if (f.cpu_whole > 0) std::snprintf(whole, sizeof whole, ", %.1f s with the interpreter's start", f.cpu_whole);
    std::printf("  %-6s %.2f GB in %6.1f s = %6.1f MB/s, CPU %.1f s (%.2f s per GB)%s\n", who, f.bytes / 1e9,
                f.seconds, f.mb_per_s(), f.cpu, f.bytes ? f.cpu / (f.bytes / 1e9) : 0.0, whole);
    std::fflush(stdout);
}

// What push_recording does locally besides sending: the SHA-256 of each file and the MD5 of
// each 8 MB part (page cache warm, as after the recording is written).
void time_local_hashing(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.is_regular_file()) files.push_back(e.path());
    const std::uint64_t part = depot_options{}.part_size;
    std::uint64_t bytes = 0;
    auto start = clock_type::now();
    for (const auto& f : files) {
        file_sha256(f.string());
        bytes += fs::file_size(f);
    }
    const double sha = seconds_since(start);
    start = clock_type::now();
    for (const auto& f : files) {
        const std::uint64_t size = fs::file_size(f);
        if (size <= part) continue;
        for (std::uint64_t at = 0; at < size; at += part) file_range_md5(f.string(), at, std::min(part, size - at));
    }
    const double md5 = seconds_since(start);
    std::printf("local work of an upload: SHA-256 of every file %.1f s (%.0f MB/s), MD5 of every part %.1f s\n", sha,
                bytes / 1e6 / sha, md5);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "usage: bench_depot_upload [--gb G (2)] [--dir DIR] [--rounds N (1)] [--boto3-concurrency N]\n"
                "                          [--frame-kb K (400)]\n");
            return 0;
        }
    std::setlocale(LC_ALL, "C.UTF-8");
    const double gb = option(argc, argv, "--gb", 2);
    const int rounds = static_cast<int>(option(argc, argv, "--rounds", 1));
    const double frame_kb = option(argc, argv, "--frame-kb", 400);
    const std::string concurrency = text_option(argc, argv, "--boto3-concurrency", "");
    const fs::path base = text_option(argc, argv, "--dir", fs::temp_directory_path().string());
    if (gb <= 0 || gb > 1000 || rounds < 1 || frame_kb < 1 || frame_kb > 100000) {
        std::fprintf(stderr, "bench_depot_upload: --gb, --rounds and --frame-kb must be positive\n");
        return 2;
    }
    const auto bytes = static_cast<std::uint64_t>(gb * 1e9);

    // The recording, the store's one copy (plus its container databases) and a margin.
    std::error_code ec;
    const fs::space_info space = fs::space(base, ec);
    const std::uint64_t needed = 2 * bytes + bytes / 10 + (2ull << 30);
    if (ec || space.available < needed) {
        std::fprintf(stderr, "bench_depot_upload: %s needs %.1f GB free, has %.1f GB\n", base.c_str(), needed / 1e9,
                     ec ? 0.0 : space.available / 1e9);
        return 3;
    }

    struct sigaction action {};
    action.sa_handler = on_signal;  // no SA_RESTART: a wait for the child ends at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    scratch_folder scratch;
    std::string pattern = (base / "qm-depot-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::fprintf(stderr, "bench_depot_upload: cannot make a folder in %s: %s\n", base.c_str(), std::strerror(errno));
        return 3;
    }
    scratch.path = pattern;
    int result = 0;
    try {
        const fs::path folder = scratch.path / "recordings" / "2026-01-15_08-30-00";
        fs::create_directories(folder.parent_path());
        auto start = clock_type::now();
        make_recording(folder, bytes, static_cast<std::size_t>(frame_kb * 1024), [] { return interrupted != 0; });
        if (interrupted) return 130;
        std::size_t files = 0, tables = 0;
        for (const auto& e : fs::directory_iterator(folder)) {
            ++files;
            if (e.path().extension() == ".ldb") ++tables;
        }
        const std::uint64_t recorded = folder_bytes(folder);
        std::printf("bench_depot_upload: recording of %.2f GB (%zu files, %zu tables; the program's writer, "
                    "incompressible frames of %.0f KB) made in %.1f s in %s\n",
                    recorded / 1e9, files, tables, frame_kb, seconds_since(start), folder.c_str());
        std::fflush(stdout);
        time_local_hashing(folder);

        const int port = free_ports(24000 + static_cast<int>(getpid() % 2000) * 5);
        object_store store(scratch.path / "store", port);
        start = clock_type::now();
        if (!store.start()) {
            std::fprintf(stderr, "bench_depot_upload: the object store did not start\n");
            return 1;
        }
        std::printf("object store on %s, started in %.1f s\n", store.endpoint().c_str(), seconds_since(start));
        std::fflush(stdout);

        s3_client client(store_config(store.endpoint()));
        upload_figures ours_all, boto_all;
        double ours_cpu = 0;
        // Each round's ours / boto3: the two uploads of a round ran minutes apart at most, so
        // their ratio is steadier on a busy machine than the sums.
        std::vector<double> ratios;
        for (int round = 1; round <= rounds && !interrupted; ++round) {
            std::printf("round %d of %d (%s first):\n", round, rounds, round % 2 ? "ours" : "boto3");
            std::fflush(stdout);
            double ours_round = 0, boto_round = 0;
            for (int turn = 0; turn < 2 && !interrupted; ++turn) {
                const bool ours = (turn == 0) == (round % 2 == 1);
                const std::string prefix = (ours ? "ours-" : "boto3-") + std::to_string(round);
                const upload_figures f =
                    ours ? upload_ours(client, prefix, folder)
                         : upload_boto3(store.endpoint(), prefix + "/", folder, concurrency);
                if (!f.ok) {
                    result = 1;
                    break;
                }
                print_upload(ours ? "ours" : "boto3", f);
                upload_figures& sum = ours ? ours_all : boto_all;
                sum.bytes += f.bytes;
                sum.seconds += f.seconds;
                if (ours) ours_cpu += f.cpu;
                else sum.cpu += f.cpu;
                remove_prefix(client, prefix + "/");
                if (turn == 1) {
                    const double r = ours ? f.mb_per_s() / boto_round : ours_round / f.mb_per_s();
                    ratios.push_back(r);
                    std::printf("  round %d: ours / boto3 = %.2f\n", round, r);
                }
                (ours ? ours_round : boto_round) = f.mb_per_s();
            }
            if (result) break;
        }
        if (result == 0 && !interrupted) {
            const double ratio = boto_all.mb_per_s() > 0 ? ours_all.mb_per_s() / boto_all.mb_per_s() : 0;
            std::sort(ratios.begin(), ratios.end());
            const std::size_t half = ratios.size() / 2;
            const double median = ratios.empty()       ? 0
                                  : ratios.size() % 2 ? ratios[half]
                                                      : (ratios[half - 1] + ratios[half]) / 2;
            std::printf("over %d round(s): ours %.1f MB/s, boto3 %.1f MB/s, ours / boto3 = %.2f, median of the "
                        "rounds' ratios %.2f (goal >= 0.9)%s; our CPU %.2f s per GB, boto3's %.2f s per GB\n",
                        rounds, ours_all.mb_per_s(), boto_all.mb_per_s(), ratio, median,
                        median >= 0.9 ? "" : " -- BELOW GOAL", ours_cpu / (ours_all.bytes / 1e9),
                        boto_all.cpu / (boto_all.bytes / 1e9));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_depot_upload: %s\n", e.what());
        result = 1;
    }
    if (interrupted) {
        std::fprintf(stderr, "bench_depot_upload: interrupted; the store is stopped and the folder removed\n");
        return 130;
    }
    return result;
}
