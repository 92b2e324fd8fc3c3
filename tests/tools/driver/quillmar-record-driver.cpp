// quillmar-record-driver: the recording chain of "Захват и запись" without the window, for
// tests that must crash, starve or restart a real recording process: the simulated camera
// (Aravis's in-process fake camera) through continuous_grab_write and the write thread, with
// the odometer on the given port.
//
// Every thread event is printed to standard output as one line "<kind>\t<number>\t<text>".
// Signals stand for the operator: SIGUSR1 stops the current recording (if any) and starts a
// new one ("Захват и запись" again), SIGUSR2 stops it, SIGTERM ends the process; each start
// prints "started", each stop "stopped" once the recording has been closed and reported.
// The process ends by itself after --seconds.
//
// usage: quillmar-record-driver --write-path DIR --port DEVICE [--session CODE] [--side TEXT]
//        [--format 4|7] [--no-space-guard] [--seconds N]
#include "base/thread_message.h"
#include "camera/camera_list.h"
#include "camera/continuous_grab_write.h"
#include "camera/jai_factory.h"
#include "base/locale_text.h"
#include "recording/write_thread_settings.h"
#include "settings/settings_keys.h"

#include <wx/init.h>

#include <csignal>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

namespace {

class printing_sink : public event_sink {
public:
    void post(thread_message m) override {
        static const char* const names[] = {"new_frame", "grab_stats", "record_status", "status_text",
                                            "log_error", "log_info",   "rc_command",    "database_info"};
        if (kind_of(m) == thread_event::new_frame || kind_of(m) == thread_event::grab_stats) return;
        std::lock_guard<std::mutex> lock(mutex_);
        const int number = std::holds_alternative<status_text_message>(m) ? std::get<status_text_message>(m).field : 0;
        std::printf("%s\t%d\t%s\n", names[static_cast<int>(kind_of(m))], number, to_narrow(text_of(m)).c_str());
        std::fflush(stdout);
    }

private:
    std::mutex mutex_;  // keeps lines whole
};

std::string option(int argc, char** argv, const char* name, const char* def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return def;
}

bool flag(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // Signals are taken by sigtimedwait below, so every thread started later must block them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    setenv("QUILLMAR_CAMERAS", "simulated", 1);  // never any discovery traffic
    std::setlocale(LC_ALL, "C.UTF-8");
    wxInitializer wx;
    const std::string write_path = option(argc, argv, "--write-path", "");
    const std::string port = option(argc, argv, "--port", "");
    if (write_path.empty() || port.empty()) {
        std::fprintf(stderr, "quillmar-record-driver: --write-path and --port are required\n");
        return 2;
    }
    const std::string session = option(argc, argv, "--session", "");
    const long seconds = std::atol(option(argc, argv, "--seconds", "120").c_str());

    auto settings = std::make_shared<settings_store>(to_wide(write_path + "/.quillmar-driver"));
    settings->write_text(settings_keys::dpp_port, to_wide(port));
    settings->write_text(settings_keys::dpp_format, option(argc, argv, "--format", "7") == "4" ? L"ДПП4" : L"ДПП7");
    settings->write_bool(settings_keys::coordinate_server_enabled, false);
    settings->write_text(settings_keys::write_path, to_wide(write_path));
    settings->write_text(settings_keys::side, to_wide(option(argc, argv, "--side", "левый")));

    write_thread_tuning tuning;
    if (flag(argc, argv, "--no-space-guard")) tuning.free_space = [] { return std::optional<disk_space>(); };
    const recorder_factory factory = write_thread_factory(settings, tuning);

    jai_factory cameras_factory;
    const camera_selection selected = select_startup_camera(cameras_factory, "SocketDriver");
    if (!selected.camera) {
        std::fprintf(stderr, "quillmar-record-driver: no simulated camera\n");
        return 1;
    }

    auto sink = std::make_shared<printing_sink>();
    std::unique_ptr<continuous_grab_write> source;
    auto start = [&] {
        source = std::make_unique<continuous_grab_write>(sink, capture_config{}, selected.camera, factory);
        // As the operator types it: the code reaches the write thread through its loop.
        if (!session.empty()) source->set_session_code(session);
        std::printf("started\n");
        std::fflush(stdout);
    };
    auto stop = [&] {
        if (!source) return;
        source.reset();
        std::printf("stopped\n");
        std::fflush(stdout);
    };

    start();
    const std::time_t end = std::time(nullptr) + seconds;
    for (;;) {
        const std::time_t left = end - std::time(nullptr);
        if (left <= 0) break;
        timespec wait{left, 0};
        const int s = sigtimedwait(&signals, nullptr, &wait);
        if (s == SIGUSR1) {
            stop();
            start();
        } else if (s == SIGUSR2) {
            stop();
        } else if (s == SIGTERM || s == SIGINT) {
            break;
        }
    }
    stop();
    return 0;
}
