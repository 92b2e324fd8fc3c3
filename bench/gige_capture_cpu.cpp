// Our capture against Aravis's own arv-camera-test-0.8 (which copies nothing) on the same
// stream of Aravis's fake GigE Vision camera, side by side, per transport and frame size:
// frames per second, lost/corrupt frames, and CPU time per second of wall time (getrusage of
// this process while it captures with no display; of the child for arv-camera-test). Goal:
// our CPU at most 1.5 times Aravis's, the same frames per second. Then, per transport, the
// highest frame rate at 1920 x 1200 that arrives whole and complete.
//
// The whole run happens in a private network namespace: the program starts itself again
// under `unshare -n` (root or CAP_SYS_ADMIN needed), brings lo up and starts the fake camera
// on 127.0.0.1, so no packet leaves the namespace. Seconds per measurement: first argument,
// default 10.
#include "camera/camera_backend.h"
#include "camera/camera_list.h"
#include "camera/continuous_grab.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <wx/init.h>

extern char** environ;

namespace {

using steady = std::chrono::steady_clock;

double cpu_seconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// Runs argv (searched in PATH), killed with this process; stdout into `out` when given.
// Returns the exit status, -1 when it could not run.
int run(const std::vector<std::string>& argv, std::string* out = nullptr, bool wait = true, int* pid_out = nullptr) {
    int fds[2] = {-1, -1};
    if (out && ::pipe(fds) != 0) return -1;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(out ? fds[1] : devnull, 1);
        ::dup2(devnull, 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (out) {
        ::close(fds[1]);
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<std::size_t>(n));
        ::close(fds[0]);
    }
    if (pid_out) *pid_out = pid;
    if (!wait) return 0;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool control_port_taken() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(3956);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
    ::close(fd);
    return taken;
}

bool set_camera(int width, int height, int rate) {
    return run({"arv-tool-0.8", "-a", "127.0.0.1", "control", "Width=" + std::to_string(width),
                "Height=" + std::to_string(height), "AcquisitionFrameRate=" + std::to_string(rate)}) == 0;
}

struct figures {
    double fps = 0;
    double cpu_per_second = 0;
    std::uint64_t lost = 0, corrupt = 0;
};

// Keeps only the last statistics line; no display.
struct stats_sink : event_sink {
    void post(thread_message m) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (kind_of(m) == thread_event::grab_stats) last = text_of(m);
        if (kind_of(m) == thread_event::log_error) ++errors;
    }
    std::mutex mutex;  // guards last and errors
    std::wstring last;
    int errors = 0;
};

figures ours(jai_factory& factory, const std::string& name, int seconds) {
    figures f;
    auto selection = select_camera(factory, enumerate_cameras(factory), name);
    if (!selection.camera) return f;
    auto sink = std::make_shared<stats_sink>();
    auto source = std::make_shared<continuous_grab>(sink, capture_config{}, selection.camera);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past the first frames and set-up
    const std::uint64_t copied0 = source->frames_copied();
    const double cpu0 = cpu_seconds(RUSAGE_SELF);
    const auto t0 = steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const std::uint64_t copied = source->frames_copied() - copied0;
    const double wall = std::chrono::duration<double>(steady::now() - t0).count();
    f.cpu_per_second = (cpu_seconds(RUSAGE_SELF) - cpu0) / wall;
    f.fps = copied / wall;
    source->stop_and_join();
    std::wsmatch m;
    std::lock_guard<std::mutex> lock(sink->mutex);
    static const std::wregex form(L"delivered: \\d+ lost: (\\d+) await: \\d+ corrupt: (\\d+) fps: \\d+");
    if (std::regex_match(sink->last, m, form)) {
        f.lost = std::stoull(m[1].str());
        f.corrupt = std::stoull(m[2].str());
    }
    return f;
}

figures theirs(bool packet_socket, int seconds) {
    figures f;
    std::vector<std::string> argv = {"arv-camera-test-0.8", "--duration=" + std::to_string(seconds)};
    // The same receive settings as ours on the socket path.
    if (!packet_socket) argv.insert(argv.end(), {"--no-packet-socket", "-a"});
    std::string out;
    const double cpu0 = cpu_seconds(RUSAGE_CHILDREN);
    const auto t0 = steady::now();
    run(argv, &out);
    const double wall = std::chrono::duration<double>(steady::now() - t0).count();
    const double cpu = cpu_seconds(RUSAGE_CHILDREN) - cpu0;
    std::smatch m;
    std::uint64_t completed = 0;
    if (std::regex_search(out, m, std::regex("n_completed_buffers\\s*=\\s*(\\d+)"))) completed = std::stoull(m[1]);
    if (std::regex_search(out, m, std::regex("n_failures\\s*=\\s*(\\d+)"))) f.corrupt = std::stoull(m[1]);
    if (std::regex_search(out, m, std::regex("n_underruns\\s*=\\s*(\\d+)"))) f.lost = std::stoull(m[1]);
    f.fps = static_cast<double>(completed) / seconds;
    // Its start-up and connection are part of its CPU time; spread over its whole run.
    f.cpu_per_second = cpu / wall;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10;
    if (!std::getenv("QUILLMAR_BENCH_NETNS")) {
        ::setenv("QUILLMAR_BENCH_NETNS", "1", 1);
        char self[4096] = {};
        if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
        std::vector<char*> args = {const_cast<char*>("unshare"), const_cast<char*>("-n"), const_cast<char*>("--"),
                                   self};
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execvp("unshare", args.data());
        std::perror("unshare");
        return 1;
    }
    wxInitializer wx;
    if (run({"ip", "link", "set", "lo", "up"}) != 0) {
        std::printf("cannot bring lo up in the private network namespace (not root?)\n");
        return 1;
    }
    int fake = -1;
    run({"arv-fake-gv-camera-0.8", "-i", "127.0.0.1"}, nullptr, false, &fake);
    for (int i = 0; i < 500 && !control_port_taken(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!control_port_taken()) {
        std::printf("the fake GigE camera (arv-fake-gv-camera-0.8, package aravis-tools) did not start\n");
        return 1;
    }
    ::unsetenv("QUILLMAR_CAMERAS");  // the real GigE path

    int status = 0;
    {
        jai_factory factory;
        std::printf("fake GigE camera on loopback in a private network namespace, %d s per figure\n", seconds);
        std::printf("%-10s %-10s | %-28s | %-28s | %s\n", "transport", "size", "ours: fps lost corrupt CPU/s",
                    "arv-camera-test: fps fail CPU/s", "CPU ratio (goal <= 1.5)");
        for (const auto& [width, height] : {std::pair<int, int>{512, 512}, {1920, 1200}}) {
            for (const bool filter : {false, true}) {
                const std::string name =
                    std::string("Fake 127.0.0.1 ") + (filter ? "[FilterDriver]" : "[SocketDriver]");
                set_camera(width, height, 25);
                const figures a = ours(factory, name, seconds);
                const figures b = theirs(filter, seconds);
                const double ratio = b.cpu_per_second > 0 ? a.cpu_per_second / b.cpu_per_second : 0;
                std::printf("%-10s %4dx%-5d | %5.1f %4llu %4llu %6.1f %% | %5.1f %4llu      %6.1f %% | %.2f%s\n",
                            filter ? "INT=>FD" : "INT=>SD", width, height, a.fps,
                            static_cast<unsigned long long>(a.lost), static_cast<unsigned long long>(a.corrupt),
                            100 * a.cpu_per_second, b.fps, static_cast<unsigned long long>(b.corrupt + b.lost),
                            100 * b.cpu_per_second, ratio, ratio > 1.5 ? "  OVER THE GOAL" : "");
                if (ratio > 1.5 || a.lost + a.corrupt > 0 || a.fps < 0.95 * b.fps) status = 2;
            }
        }
        std::printf("highest whole, lossless rate at 1920x1200 (3 s each):\n");
        for (const bool filter : {false, true}) {
            const std::string name = std::string("Fake 127.0.0.1 ") + (filter ? "[FilterDriver]" : "[SocketDriver]");
            int best = 0;
            for (int rate : {25, 40, 50, 60, 75, 100, 125, 150}) {
                set_camera(1920, 1200, rate);
                const figures a = ours(factory, name, 3);
                const bool ok = a.lost + a.corrupt == 0 && a.fps >= 0.95 * rate;
                std::printf("  %s at %3d fps: %6.1f fps, lost %llu, corrupt %llu, CPU %.1f %%",
                            filter ? "INT=>FD" : "INT=>SD", rate, a.fps, static_cast<unsigned long long>(a.lost),
                            static_cast<unsigned long long>(a.corrupt), 100 * a.cpu_per_second);
                if (!ok) {
                    // Whether the camera (and the two cores) delivered more to Aravis's own client.
                    const figures b = theirs(filter, 3);
                    std::printf("  (not sustained; arv-camera-test: %.1f fps, %llu failures)", b.fps,
                                static_cast<unsigned long long>(b.corrupt + b.lost));
                }
                std::printf("\n");
                if (!ok) break;
                best = rate;
            }
            std::printf("  %s: highest sustained %d fps\n", filter ? "INT=>FD" : "INT=>SD", best);
        }
    }
    ::kill(fake, SIGKILL);
    ::waitpid(fake, nullptr, 0);
    return status;
}
