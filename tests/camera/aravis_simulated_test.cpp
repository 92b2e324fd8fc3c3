// The real Aravis backend against Aravis's in-process fake camera: no network interface is
// enabled, so nothing leaves the process.
#include "camera/aravis_backend.h"
#include "camera/camera_list.h"
#include "camera/continuous_grab.h"
#include "camera/exposure_modes.h"

#include "tests/support/recording_sink.h"

#include <gtest/gtest.h>
#include <wx/string.h>

#include <chrono>
#include <opencv2/imgcodecs.hpp>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

class SimulatedCamera : public ::testing::Test {
protected:
    std::shared_ptr<camera_backend> backend = std::make_shared<aravis_backend>(aravis_backend::mode::simulated);
};

TEST_F(SimulatedCamera, ListsOpensAndDeliversWholeFramesEndToEnd) {
    jai_factory factory(backend);
    EXPECT_EQ(factory.version_line().rfind(L"JAI Aravis 0.8.", 0), 0u);
    const camera_map cameras = enumerate_cameras(factory);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras.begin()->first, "Fake 0.0.0.0 [FilterDriver]");
    const auto name = choose_startup_camera(cameras, "SocketDriver");
    ASSERT_EQ(name, "Fake 0.0.0.0 [SocketDriver]");

    auto selection = select_camera(factory, cameras, *name);
    ASSERT_TRUE(selection.camera) << (selection.rows.empty() ? "" : wxString(selection.rows[0].text).ToStdString());

    // The fake camera has no "ExposureMode": the described error path.
    EXPECT_THROW(choose_exposure_mode(selection.camera.get(), L"Off", {}), std::runtime_error);

    for (int run = 0; run < 2; ++run) {  // a second capture works as the first
        auto sink = std::make_shared<test_support::recording_sink>();
        auto source = std::make_shared<continuous_grab>(sink, capture_config{}, selection.camera);
        frame_buffer* fb = source->buffer();
        EXPECT_EQ(fb->width, 512);
        EXPECT_EQ(fb->height, 512);
        EXPECT_EQ(fb->bits_per_pixel, 8u);

        std::set<std::uint64_t> stamps;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (stamps.size() < 4 && std::chrono::steady_clock::now() < deadline) {
            {
                std::shared_lock<std::shared_mutex> lock(fb->lock);
                if (fb->timestamp) stamps.insert(fb->timestamp);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_GE(stamps.size(), 4u) << "frames with changing time stamps";
        EXPECT_TRUE(sink->wait_for_kind(thread_event::new_frame));
        {
            // The fake camera's diagonal ramp at scale 1, whole: every byte of the frame was
            // received, none left over from an earlier one.
            std::shared_lock<std::shared_mutex> lock(fb->lock);
            const int start = fb->image[0];
            std::size_t wrong = 0;
            for (int y = 0; y < fb->height; ++y)
                for (int x = 0; x < fb->width; ++x)
                    wrong += fb->image[static_cast<std::size_t>(y * fb->width + x)] != (start + x + y) % 255;
            EXPECT_EQ(wrong, 0u);
        }
        source.reset();
        EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
        const auto infos = sink->texts(thread_event::log_info);
        ASSERT_FALSE(infos.empty());
        EXPECT_EQ(infos.back(), L"Ожидание кадров завершено");
        const auto stats = sink->texts(thread_event::grab_stats);
        ASSERT_FALSE(stats.empty());
        // Lost frames depend on timing (sanitizer builds are slow); bench_capture_simulated
        // checks that none are lost at full speed. A whole-frame stream is never corrupt.
        EXPECT_NE(stats.back().find(L" corrupt: 0 "), std::wstring::npos) << wxString(stats.back());
    }
}

}  // namespace

// QUILLMAR_SIMULATED_SCENE=undercar with QUILLMAR_SIMULATED_SIZE=1920x1200: the camera layer
// shows the under-car scene at that size, one new picture per frame, each as heavy as a
// real frame once stored.
TEST(SimulatedCameraScene, UndercarSceneAtTheSizeAskedFor) {
    simulated_picture picture;
    picture.kind = simulated_picture::scene::undercar;
    picture.width = 1920;
    picture.height = 1200;
    {
        jai_factory factory(std::make_shared<aravis_backend>(aravis_backend::mode::simulated, picture));
        const camera_map cameras = enumerate_cameras(factory);
        const auto name = choose_startup_camera(cameras, "SocketDriver");
        ASSERT_TRUE(name);
        auto selection = select_camera(factory, cameras, *name);
        ASSERT_TRUE(selection.camera);
        auto sink = std::make_shared<test_support::recording_sink>();
        auto source = std::make_shared<continuous_grab>(sink, capture_config{}, selection.camera);
        frame_buffer* fb = source->buffer();
        ASSERT_EQ(fb->width, 1920);
        ASSERT_EQ(fb->height, 1200);

        std::vector<std::vector<std::uint8_t>> frames;
        std::uint64_t last = 0;
        // Generous: under ThreadSanitizer building the scene's texture alone takes about a minute.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (frames.size() < 2 && std::chrono::steady_clock::now() < deadline) {
            {
                std::shared_lock<std::shared_mutex> lock(fb->lock);
                if (fb->timestamp && fb->timestamp != last) {
                    last = fb->timestamp;
                    frames.push_back(fb->image);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        source.reset();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_NE(frames[0], frames[1]);
        for (const auto& f : frames) {
            std::vector<uchar> jpeg;
            cv::imencode(".jpeg", cv::Mat(1200, 1920, CV_8UC1, const_cast<std::uint8_t*>(f.data())), jpeg,
                         {cv::IMWRITE_JPEG_QUALITY, 85});
            EXPECT_GE(jpeg.size(), 300u * 1000);
            EXPECT_LE(jpeg.size(), 500u * 1000);
        }
    }
}
