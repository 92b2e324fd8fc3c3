// CPU cost of live viewing: the main window captures from the simulated camera (25 fps)
// with the live display running for N seconds (default 30, run under Xvfb). Prints the
// process's CPU time as a share of one core and the final acquisition statistics.
#include "app/quillmar_frame.h"
#include "bench/gui_bench.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/resource.h>

#include <wx/statusbr.h>
#include <wx/timer.h>

namespace {
double cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const std::string home = gui_bench::start(argc, argv, "live-bench");
    if (home.empty()) return 2;

    auto* frame = new quillmar_frame();
    frame->Show();
    wxYield();
    if (!frame->camera()) {
        std::printf("no simulated camera opened\n");
        return 3;
    }
    frame->capture();

    const double cpu0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    wxTimer done;
    done.Bind(wxEVT_TIMER, [](wxTimerEvent&) { wxTheApp->ExitMainLoop(); });
    done.StartOnce(seconds * 1000);
    wxTheApp->OnRun();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpu_seconds() - cpu0;

    const wxString stats = frame->GetStatusBar()->GetStatusText(0);
    const wxString last = frame->GetStatusBar()->GetStatusText(1);
    frame->stop();
    std::printf("live view %.1f s: CPU %.2f s = %.1f %% of one core\n", wall, cpu, 100.0 * cpu / wall);
    std::printf("status 0: %s\nstatus 1: %s\n", stats.utf8_str().data(), last.utf8_str().data());
    frame->Destroy();
    wxYield();
    wxEntryCleanup();
    std::filesystem::remove_all(home);
    return 0;
}
