// CPU cost of live viewing: the main window captures from the simulated camera (25 fps),
// set to 1920 x 1200, with the live display running, under Xvfb. Three phases of N seconds
// each (default 20) in the same run: the window as it was (emulated by handlers that take
// the window's place, see below), the window as it is, and capture with the display doing
// nothing. Prints the process's CPU time as a share of one core for each, with the threads'
// shares, the ratio of the first two, and the final acquisition statistics.
#include "app/quillmar_frame.h"
#include "app/thread_events.h"
#include "bench/gui_bench.h"
#include "camera/aravis_backend.h"
#include "camera/frame_buffer.h"
#include "camera/jai_sdk.h"
#include "viewer/VImagePanel.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>
#include <string>

#include <opencv2/imgproc.hpp>
#include <sys/resource.h>

#include <wx/dcmemory.h>
#include <wx/statusbr.h>
#include <wx/timer.h>

namespace {
double cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds so far of each thread of this process, by thread id, with its name.
std::map<std::string, std::pair<std::string, double>> thread_cpu() {
    std::map<std::string, std::pair<std::string, double>> out;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "stat");
        std::string line;
        std::getline(in, line);
        const auto open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stod(field);
            if (i == 15) stime = std::stod(field);
        }
        out[task.path().filename().string()] = {line.substr(open + 1, close - open - 1), (utime + stime) / tick};
    }
    return out;
}

// Runs the main loop for seconds; returns the CPU share of one core.
double run_for(int seconds) {
    const auto threads0 = thread_cpu();
    const double cpu0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    wxTimer done;
    done.Bind(wxEVT_TIMER, [](wxTimerEvent&) { wxTheApp->ExitMainLoop(); });
    done.StartOnce(seconds * 1000);
    wxTheApp->OnRun();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (const auto& [tid, t] : thread_cpu()) {
        const auto before = threads0.find(tid);
        const double used = t.second - (before == threads0.end() ? 0.0 : before->second.second);
        if (used / wall >= 0.005) std::printf("  thread %s: %.1f %%\n", t.first.c_str(), 100.0 * used / wall);
    }
    return (cpu_seconds() - cpu0) / wall;
}
}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::string home = gui_bench::start(argc, argv, "live-bench");
    if (home.empty()) return 2;

    auto backend = std::make_shared<aravis_backend>(aravis_backend::mode::simulated);
    auto* frame = new quillmar_frame(true, backend);
    frame->Show();
    wxYield();
    if (!frame->camera()) {
        std::printf("no simulated camera opened\n");
        return 3;
    }
    const CAM_HANDLE cam = frame->camera()->handle();
    if (J_Camera_SetValueString(cam, "Width", "1920") != J_ST_SUCCESS ||
        J_Camera_SetValueString(cam, "Height", "1200") != J_ST_SUCCESS)
        std::printf("could not set the camera to 1920 x 1200\n");
    std::int64_t w = 0, h = 0;
    J_Camera_GetValueInt64(cam, "Width", &w);
    J_Camera_GetValueInt64(cam, "Height", &h);
    frame->capture();

    // Today's window, emulated: the simulated camera's per-pixel fill; every status text set
    // at once; for every shown frame a copy out, a conversion into a temporary and a copy of
    // that into the panel's image; and on every paint a bitmap of the whole image,
    // which the toolkit converts again when it draws it (here drawn into a bitmap the size of
    // the pane, before the panel draws the picture on the screen).
    cv::Mat display;
    auto old_path = [&](wxThreadEvent& event) {
        if (!frame->state().active()) return;
        if (frame_buffer* buffer = frame->state().source()->buffer()) {
            copy_frame_gray8(*buffer, display);
            if (!display.empty()) {
                cv::Mat rgb;
                cv::cvtColor(display, rgb, cv::COLOR_GRAY2RGB);
                const wxImage view(rgb.cols, rgb.rows, rgb.data, true);
                const wxImage shown = view.Copy();
                const wxBitmap bitmap(shown);
                wxBitmap pane(frame->image_panel()->GetClientSize());
                {
                    wxMemoryDC dc(pane);
                    dc.DrawBitmap(bitmap, 0, 0);
                }
                frame->image_panel()->set_picture(display.clone());
                frame->image_panel()->Refresh(true);
            }
        }
        frame->SetStatusText(event.GetString(), 1);
    };
    auto old_status = [&](wxThreadEvent& event) { frame->SetStatusText(event.GetString(), 0); };
    backend->use_fast_simulated_pattern(false);
    frame->Bind(EVT_NEW_FRAME, old_path);  // run first and do not pass the events on
    frame->Bind(EVT_GRAB_STATS, old_status);
    std::printf("today's window:\n");
    const double before = run_for(seconds);
    frame->Unbind(EVT_GRAB_STATS, old_status);
    frame->Unbind(EVT_NEW_FRAME, old_path);
    backend->use_fast_simulated_pattern(true);

    const std::size_t builds_before = frame->image_panel()->bitmap_builds();
    std::printf("the window as it is:\n");
    const double after = run_for(seconds);
    const std::size_t builds_after = frame->image_panel()->bitmap_builds() - builds_before;
    // For scale: capture alone, the display doing nothing.
    auto no_display = [](wxThreadEvent&) {};
    frame->Bind(EVT_NEW_FRAME, no_display);
    std::printf("capture without the display:\n");
    const double bare = run_for(seconds);
    frame->Unbind(EVT_NEW_FRAME, no_display);

    const wxString stats = frame->GetStatusBar()->GetStatusText(0);
    frame->stop();
    std::printf("camera %lld x %lld, %d s per phase\n", static_cast<long long>(w), static_cast<long long>(h), seconds);
    std::printf("today's window:      CPU %.1f %% of one core\n", 100.0 * before);
    std::printf("the window as it is: CPU %.1f %% of one core (%zu conversions for the screen)\n", 100.0 * after,
                builds_after);
    std::printf("capture, no display: CPU %.1f %% of one core\n", 100.0 * bare);
    std::printf("ratio as it is / today: %.2f\n", after / before);
    std::printf("status 0: %s\n", stats.utf8_str().data());
    frame->Destroy();
    wxYield();
    wxEntryCleanup();
    std::filesystem::remove_all(home);
    return 0;
}
