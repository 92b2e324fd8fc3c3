// CPU cost of live viewing: the main window captures from the simulated camera (25 fps),
// set to 1920 x 1200, with the live display running, under Xvfb. Two phases of N seconds
// each (default 20) in the same run: first the display path the window used before (three
// copies of each shown frame and a bitmap built for every paint: emulated here by a handler
// that takes the window's place), then the window's own path. Prints the process's CPU time
// as a share of one core for each, their ratio, and the final acquisition statistics.
#include "app/quillmar_frame.h"
#include "app/thread_events.h"
#include "bench/gui_bench.h"
#include "camera/frame_buffer.h"
#include "camera/jai_sdk.h"
#include "viewer/VImagePanel.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <opencv2/imgproc.hpp>
#include <sys/resource.h>

#include <wx/statusbr.h>
#include <wx/timer.h>

namespace {
double cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs the main loop for seconds; returns the CPU share of one core.
double run_for(int seconds) {
    const double cpu0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    wxTimer done;
    done.Bind(wxEVT_TIMER, [](wxTimerEvent&) { wxTheApp->ExitMainLoop(); });
    done.StartOnce(seconds * 1000);
    wxTheApp->OnRun();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return (cpu_seconds() - cpu0) / wall;
}
}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::string home = gui_bench::start(argc, argv, "live-bench");
    if (home.empty()) return 2;

    auto* frame = new quillmar_frame();
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

    // The earlier display: copy out, convert into a temporary, copy into an image, copy again
    // into the panel's image, and a bitmap made on every paint (here: every new image).
    cv::Mat display;
    auto old_path = [&](wxThreadEvent& event) {
        if (!frame->state().active()) return;
        if (frame_buffer* buffer = frame->state().source()->buffer()) {
            copy_frame_gray8(*buffer, display);
            if (!display.empty()) {
                cv::Mat rgb;
                cv::cvtColor(display, rgb, cv::COLOR_GRAY2RGB);
                const wxImage view(rgb.cols, rgb.rows, rgb.data, true);
                frame->image_panel()->set_image(view.Copy());
                frame->image_panel()->Refresh(true);
            }
        }
        frame->SetStatusText(event.GetString(), 1);
    };
    frame->Bind(EVT_NEW_FRAME, old_path);  // runs first and does not pass the event on
    const double before = run_for(seconds);
    frame->Unbind(EVT_NEW_FRAME, old_path);
    const std::size_t builds_before = frame->image_panel()->bitmap_builds();
    const double after = run_for(seconds);
    const std::size_t builds_after = frame->image_panel()->bitmap_builds() - builds_before;
    // For scale: capture alone, the display doing nothing.
    auto no_display = [](wxThreadEvent&) {};
    frame->Bind(EVT_NEW_FRAME, no_display);
    const double bare = run_for(seconds);
    frame->Unbind(EVT_NEW_FRAME, no_display);

    const wxString stats = frame->GetStatusBar()->GetStatusText(0);
    frame->stop();
    std::printf("camera %lld x %lld, %d s per phase\n", static_cast<long long>(w), static_cast<long long>(h), seconds);
    std::printf("earlier display path: CPU %.1f %% of one core\n", 100.0 * before);
    std::printf("current display path: CPU %.1f %% of one core (%zu bitmaps built)\n", 100.0 * after, builds_after);
    std::printf("capture without display:  CPU %.1f %% of one core\n", 100.0 * bare);
    std::printf("ratio current / earlier: %.2f (display share only: %.2f)\n", after / before,
                (after - bare) / (before - bare));
    std::printf("status 0: %s\n", stats.utf8_str().data());
    frame->Destroy();
    wxYield();
    wxEntryCleanup();
    std::filesystem::remove_all(home);
    return 0;
}
