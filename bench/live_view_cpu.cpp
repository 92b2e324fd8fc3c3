// CPU cost of live viewing: the main window captures from the simulated camera (25 fps)
// with the live display running for N seconds (default 30, run under Xvfb). Prints the
// process's CPU time as a share of one core and the final acquisition statistics.
#include "app/quillmar_frame.h"

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include <sys/resource.h>

#include <wx/app.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/statusbr.h>
#include <wx/timer.h>

namespace {
class bench_app : public wxApp {
public:
    bool OnInit() override { return true; }
};

double cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

wxIMPLEMENT_APP_NO_MAIN(bench_app);

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C.UTF-8");
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    char home[] = "/tmp/qm-live-bench-XXXXXX";
    if (!::mkdtemp(home)) return 1;
    ::setenv("HOME", home, 1);                    // never the user's own settings or logs
    ::setenv("QUILLMAR_CAMERAS", "simulated", 1);  // no network traffic
    if (!wxEntryStart(argc, argv)) return 2;
    wxTheApp->CallOnInit();
    delete wxLog::SetActiveTarget(new wxLogStderr);

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
    return 0;
}
