// Capture loop throughput: the capture thread fed by the scripted camera as fast as it can
// with 1920 x 1200 Mono8 frames, against a bare memcpy of the same frames in the same run.
// Prints frames per second of both and their ratio (goal: at least 0.8).
#include "camera/capture_thread.h"
#include "camera/frame_buffer.h"
#include "camera/jai_camera.h"
#include "camera/jai_factory.h"
#include "tests/support/scripted_camera_backend.h"

#include <wx/init.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct counting_sink : event_sink {
    void post(thread_message) override {}
};

constexpr int width = 1920;
constexpr int height = 1200;
constexpr double seconds = 3.0;

double capture_rate() {
    auto backend = std::make_shared<scripted_camera_backend>();
    backend->set_cameras({{"BENCH INT=>SD", "Bench", "127.0.0.1"}});
    backend->set_feature("Width", width);
    backend->set_feature("Height", height);
    backend->set_free_running(true);
    backend->set_fill_frames(false);
    backend->set_record_calls(false);
    double rate = 0;
    {
        jai_factory factory(backend);
        JAI_Camera camera(factory.handle(), "BENCH INT=>SD");
        auto frame = make_frame_buffer(camera.handle());
        capture_thread thread(std::make_shared<counting_sink>(), capture_config{}, camera.handle(), frame.get());
        const auto t0 = std::chrono::steady_clock::now();
        thread.start();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const std::uint64_t frames = thread.frames_copied();
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        thread.request_exit();
        thread.join();
        rate = frames / elapsed;
    }
    return rate;
}

double memcpy_rate() {
    const std::size_t n = std::size_t(width) * height;
    std::vector<std::vector<std::uint8_t>> blocks(capture_thread::buffer_count, std::vector<std::uint8_t>(n, 1));
    std::vector<std::uint8_t> dst(n);
    std::uint64_t frames = 0;
    const auto t0 = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (elapsed < seconds) {
        std::memcpy(dst.data(), blocks[frames % blocks.size()].data(), n);
        ++frames;
        if (frames % 16 == 0) elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    volatile std::uint8_t keep = dst[n / 2];
    (void)keep;
    return frames / elapsed;
}

}  // namespace

int main() {
    wxInitializer wx;
    const double bare = memcpy_rate();
    const double loop = capture_rate();
    std::printf("frame 1920x1200 Mono8, %.0f s each\n", seconds);
    std::printf("bare memcpy:   %8.1f frames/s\n", bare);
    std::printf("capture loop:  %8.1f frames/s\n", loop);
    std::printf("ratio:         %8.2f (goal >= 0.80)\n", loop / bare);
    return 0;
}
