// The simulated camera (Aravis's in-process fake, no network) at its own rate: delivered
// must equal copied, lost and corrupt stay 0. A reader copies the frame buffer out on every
// tenth frame and converts it as the live display does. Prints the last statistics line and
// the process's CPU time (getrusage) as a share of one core. Duration in seconds: first
// argument, default 30.
#include "camera/aravis_backend.h"
#include "camera/camera_list.h"
#include "camera/continuous_grab.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <sys/resource.h>
#include <wx/init.h>
#include <wx/string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

// Stands in for the main window: keeps the last statistics line and wakes the display reader.
struct display_sink : event_sink {
    void post(thread_message m) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (kind_of(m) == thread_event::grab_stats) last_stats = text_of(m);
        if (kind_of(m) == thread_event::log_error) errors.push_back(text_of(m));
        if (kind_of(m) == thread_event::new_frame) {
            ++pending;
            wake.notify_one();
        }
    }
    std::mutex mutex;  // guards everything below
    std::condition_variable wake;
    std::wstring last_stats;
    std::vector<std::wstring> errors;
    int pending = 0;
    bool done = false;
};

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    wxInitializer wx;
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    jai_factory factory(std::make_shared<aravis_backend>(aravis_backend::mode::simulated));
    const camera_selection selection = select_startup_camera(factory, "SocketDriver");
    if (!selection.camera) {
        std::printf("no simulated camera that opens\n");
        return 1;
    }

    auto sink = std::make_shared<display_sink>();
    const double cpu0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    auto source = std::make_shared<continuous_grab>(sink, capture_config{}, selection.camera);
    std::uint64_t shown = 0;
    std::thread display([&] {
        cv::Mat matrix, rgb, shown_image;
        std::unique_lock<std::mutex> lock(sink->mutex);
        for (;;) {
            sink->wake.wait(lock, [&] { return sink->pending > 0 || sink->done; });
            if (sink->done) return;
            sink->pending = 0;
            lock.unlock();
            // What the live display does per event: copy out, grey to RGB, one image copy.
            copy_frame_gray8(*source->buffer(), matrix);
            cv::cvtColor(matrix, rgb, cv::COLOR_GRAY2RGB);
            shown_image = rgb.clone();
            ++shown;
            lock.lock();
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    {
        std::lock_guard<std::mutex> lock(sink->mutex);
        sink->done = true;
    }
    sink->wake.notify_one();
    display.join();
    source->stop_and_join();
    const std::uint64_t copied = source->frames_copied();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpu_seconds() - cpu0;
    std::printf("simulated camera, %d s\n", seconds);
    std::printf("last statistics: %s\n", wxString(sink->last_stats).ToStdString().c_str());
    std::printf("frames copied:   %llu, shown (every tenth): %llu\n", static_cast<unsigned long long>(copied),
                static_cast<unsigned long long>(shown));
    std::printf("errors posted:   %zu\n", sink->errors.size());
    std::printf("CPU time:        %.2f s of %.2f s = %.1f %% of one core (goal < 10 %%)\n", cpu, wall,
                100 * cpu / wall);
    source.reset();
    return 0;
}
