#include "camera/capture_thread.h"

#include "camera/frame_buffer.h"
#include "scripted_fixture.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace {

class CaptureThread : public scripted_camera_test {
protected:
    void SetUp() override {
        scripted_camera_test::SetUp();
        frame = make_frame_buffer(camera->handle());
    }

    int run_with(std::vector<wait_step> steps, capture_thread::seconds_clock clock = {}) {
        backend->script_waits(steps);
        capture_thread thread(sink, config, camera->handle(), frame.get(), std::move(clock));
        return thread.run();
    }

    std::vector<std::wstring> errors() const { return sink->texts(thread_event::log_error); }
    std::vector<std::wstring> infos() const { return sink->texts(thread_event::log_info); }

    std::unique_ptr<frame_buffer> frame;
};

TEST_F(CaptureThread, EverySetUpFailurePostsItsTextAndReleasesWhatWasAcquired) {
    struct step {
        const char* call;
        int after;
        const wchar_t* text;
    };
    const step steps[] = {
        {"J_Camera_GetNumOfDataStreams", 0, L"Не удалось получить число потоков камеры"},
        {"J_Camera_CreateDataStream", 0, L"Ошибка создания потока данных"},
        {"J_DataStream_SetParam", 0, L"Ошибка установки параметра потока"},
        {"J_DataStream_AnnounceBuffer", 5, L"Ошибка регистрации буфера"},
        {"J_DataStream_QueueBuffer", 7, L"Ошибка постановки буфера в очередь"},
        {"J_Event_CreateCondition", 0, L"Ошибка создания условия ожидания"},
        {"J_DataStream_RegisterEvent", 0, L"Ошибка регистрации события"},
        {"J_DataStream_StartAcquisition", 0, L"error start acquisition"},
        {"J_Camera_ExecuteCommand:AcquisitionStart", 0, L"Не удалось запустить съёмку."},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.call);
        sink = std::make_shared<test_support::recording_sink>();
        backend->clear_failures();
        backend->fail(s.call, J_ST_ERROR, s.after);
        EXPECT_EQ(run_with({wait_step::exit()}), -1);
        EXPECT_EQ(errors(), std::vector<std::wstring>{s.text});
        EXPECT_TRUE(sink->texts(thread_event::grab_stats).empty());
        EXPECT_EQ(backend->open_handles(), idle_handles);
    }
    // The camera can be captured from again afterwards.
    backend->clear_failures();
    sink = std::make_shared<test_support::recording_sink>();
    EXPECT_EQ(run_with({wait_step::frame(), wait_step::exit()}), 0);
    EXPECT_TRUE(errors().empty());
    EXPECT_EQ(frame->timestamp, backend->timestamp_of(backend->frames_delivered()));
}

TEST_F(CaptureThread, FailureRowsNameTheCauseAfterTheirText) {
    struct row {
        const char* call;
        int after;
        std::vector<wait_step> waits;
        int result;
        std::vector<std::wstring> errors;
    };
    const std::vector<row> rows = {
        // Set-up failures: no wait is reached.
        {"J_Camera_CreateDataStream", 0, {}, -1, {L"Ошибка создания потока данных: link down"}},
        {"J_DataStream_QueueBuffer", 3, {}, -1, {L"Ошибка постановки буфера в очередь: link down"}},
        {"J_Camera_ExecuteCommand:AcquisitionStart", 0, {}, -1, {L"Не удалось запустить съёмку. link down"}},
        {"J_Event_WaitForCondition", 0, {}, 0, {L"Ошибка ожидания события камеры: link down"}},
        // Checked now: a frame whose event data cannot be read ends the run with its own text.
        {"J_Event_GetData", 0, {wait_step::frame()}, -1, {L"Ошибка чтения данных события: link down"}},
        {"J_DataStream_GetBufferInfo:3", 0, {wait_step::frame()}, -1, {L"Ошибка чтения сведений о буфере: link down"}},
        {"J_DataStream_GetStreamInfo:2", 0, {wait_step::timeout()}, -1, {L"Ошибка чтения сведений о потоке: link down"}},
        // A buffer that cannot go back is reported and the capture goes on with the others.
        {"J_DataStream_QueueBuffer",
         capture_thread::buffer_count,
         {wait_step::frame(), wait_step::frame(), wait_step::exit()},
         0,
         {L"Ошибка постановки буфера в очередь: link down", L"Ошибка постановки буфера в очередь: link down"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.call) + " after " + std::to_string(r.after));
        sink = std::make_shared<test_support::recording_sink>();
        backend->clear_failures();
        backend->fail(r.call, J_ST_ERROR, r.after, "link down");
        EXPECT_EQ(run_with(r.waits), r.result);
        EXPECT_EQ(errors(), r.errors);
        EXPECT_EQ(backend->open_handles(), idle_handles);
    }
    // Both frames of the last run were copied although neither buffer went back.
    EXPECT_EQ(frame->timestamp, scripted_camera_backend::timestamp_of(backend->frames_delivered()));
    EXPECT_EQ(sink->texts(thread_event::grab_stats).size(), 2u);
}

TEST_F(CaptureThread, WaitResultsEndTheLoopWithTheirTextsAndTheStopSequence) {
    struct step {
        wait_step wait;
        const wchar_t* error;
    };
    const step steps[] = {
        {wait_step::value(J_COND_WAIT_ERROR), L"Ошибка ожидания кадров"},
        {wait_step::value(7), L"Неизвестная ошибка в цикле захвата"},
        {wait_step::failure(J_ST_ERROR), L"Ошибка ожидания события камеры"},
        {wait_step::exit(), nullptr},
    };
    for (const auto& s : steps) {
        sink = std::make_shared<test_support::recording_sink>();
        EXPECT_EQ(run_with({wait_step::timeout(), s.wait}), 0);
        if (s.error) {
            EXPECT_EQ(errors(), std::vector<std::wstring>{s.error});
            EXPECT_TRUE(infos().empty());
        } else {
            EXPECT_TRUE(errors().empty());
            EXPECT_EQ(infos(), std::vector<std::wstring>{L"Ожидание кадров завершено"});
        }
        EXPECT_EQ(sink->texts(thread_event::grab_stats).size(), 1u);  // the time-out
        EXPECT_EQ(backend->open_handles(), idle_handles);
    }
}

TEST_F(CaptureThread, StopSequenceReleasesInOrder) {
    backend->set_record_calls(true);
    run_with({wait_step::exit()});
    auto calls = backend->calls();
    auto from = std::find(calls.begin(), calls.end(), "J_Camera_ExecuteCommand:AcquisitionStop");
    ASSERT_NE(from, calls.end());
    std::vector<std::string> tail(from, calls.end());
    std::vector<std::string> expected = {"J_Camera_ExecuteCommand:AcquisitionStop",
                                         "J_DataStream_UnRegisterEvent",
                                         "J_Event_Close",
                                         "J_Event_CloseCondition",
                                         "J_DataStream_StopAcquisition",
                                         "J_DataStream_FlushQueue:0",
                                         "J_DataStream_FlushQueue:1"};
    expected.insert(expected.end(), capture_thread::buffer_count, "J_DataStream_RevokeBuffer");
    expected.push_back("J_DataStream_Close");
    EXPECT_EQ(tail, expected);
}

TEST_F(CaptureThread, NewFrameEveryTenthFrameAndStatsAfterEveryFrame) {
    std::vector<wait_step> steps(25, wait_step::frame());
    steps.push_back(wait_step::exit());
    EXPECT_EQ(run_with(steps), 0);

    const auto frames = sink->texts(thread_event::new_frame);
    ASSERT_EQ(frames.size(), 2u);
    // Nineteen buffers stay queued while one is being copied.
    EXPECT_EQ(frames[0], L"timestamp: 10000 missing packets: 0 queued buffers: 19");
    EXPECT_EQ(frames[1], L"timestamp: 20000 missing packets: 0 queued buffers: 19");
    const auto stats = sink->texts(thread_event::grab_stats);
    ASSERT_EQ(stats.size(), 25u);
    EXPECT_EQ(stats.back().rfind(L"delivered: 25 lost: 0 await: 0 corrupt: 0 fps: ", 0), 0u);

    std::shared_lock<std::shared_mutex> lock(frame->lock);
    EXPECT_EQ(frame->timestamp, 25000u);
    for (std::size_t i : {std::size_t{0}, std::size_t{1}, frame->image.size() - 1})
        EXPECT_EQ(frame->image[i], scripted_camera_backend::pattern(25, i));
}

TEST_F(CaptureThread, RateIsTheWholeRunAverageAndZeroInTheFirstSecond) {
    EXPECT_EQ(grab_rate(50, 100, 100), 0u);
    EXPECT_EQ(grab_rate(50, 100, 102), 25u);
    EXPECT_EQ(grab_rate(50, 100, 103), 16u);
    EXPECT_EQ(grab_stats_text(1, 2, 3, 4, 5), L"delivered: 1 lost: 2 await: 3 corrupt: 4 fps: 5");

    // Start at 100; three frames within the first second, then quiet seconds: the rate falls.
    std::vector<std::int64_t> times = {100, 100, 100, 100, 101, 103};
    std::atomic<std::size_t> next{0};
    auto clock = [&] { return times[std::min(next++, times.size() - 1)]; };
    backend->set_lost_and_corrupt(4, 1);
    run_with({wait_step::frame(), wait_step::frame(), wait_step::frame(), wait_step::timeout(), wait_step::timeout(),
              wait_step::exit()},
             clock);
    const auto stats = sink->texts(thread_event::grab_stats);
    ASSERT_EQ(stats.size(), 5u);
    EXPECT_EQ(stats[2], L"delivered: 3 lost: 4 await: 0 corrupt: 1 fps: 0");
    EXPECT_EQ(stats[3], L"delivered: 3 lost: 4 await: 0 corrupt: 1 fps: 3");
    EXPECT_EQ(stats[4], L"delivered: 3 lost: 4 await: 0 corrupt: 1 fps: 1");
}

TEST_F(CaptureThread, Rotate180TurnsTheImageInTheFrameBuffer) {
    config.rotate180 = true;
    run_with({wait_step::frame(), wait_step::exit()});
    const std::size_t n = frame->image.size();
    ASSERT_EQ(n, 64u * 48u);
    for (std::size_t i : {std::size_t{0}, std::size_t{1}, n / 2, n - 1})
        EXPECT_EQ(frame->image[i], scripted_camera_backend::pattern(1, n - 1 - i)) << i;
}

// The recording gets every frame, turned as the live one is, with its own copy and time
// stamp; a full queue drops instead of holding up the camera.
TEST_F(CaptureThread, EveryFrameGoesIntoTheRecordingQueueTurnedAndAFullOneDropsWithoutWaiting) {
    config.rotate180 = true;
    const std::size_t n = frame_byte_length(*frame);
    recording_queue queue(3 * n);
    queue.open();
    backend->script_waits({wait_step::frame(), wait_step::frame(), wait_step::frame(), wait_step::frame(),
                           wait_step::frame(), wait_step::exit()});
    capture_thread thread(sink, config, camera->handle(), frame.get(), {}, &queue);
    EXPECT_EQ(thread.run(), 0);
    const auto levels = queue.snapshot();
    EXPECT_EQ(levels.accepted, 3u);
    EXPECT_EQ(levels.dropped, 2u);
    for (std::uint64_t f = 1; f <= 3; ++f) {
        const auto a = queue.pop(std::chrono::steady_clock::now());
        ASSERT_TRUE(a && a->what == arrival::kind::frame);
        EXPECT_EQ(a->frame->camera_stamp, scripted_camera_backend::timestamp_of(f));
        EXPECT_EQ(a->frame->width, 64);
        ASSERT_EQ(a->frame->raw.size(), n);
        EXPECT_EQ(a->frame->raw[0], scripted_camera_backend::pattern(f, n - 1));
    }
    EXPECT_EQ(queue.pop(std::chrono::steady_clock::now())->what, arrival::kind::dropped);
}

TEST_F(CaptureThread, DeepFramesAreTurnedWholeAndReachAnEightBitDisplayAsTheirHighBits) {
    for (const std::int64_t format : {std::int64_t{0x01100007}, std::int64_t{0x010C0006}}) {  // Mono16, Mono12Packed
        SCOPED_TRACE(format);
        backend->set_feature("PixelFormat", format);
        frame = make_frame_buffer(camera->handle());
        const std::size_t n = frame->image.size();
        ASSERT_EQ(n, 64u * 48u * frame->bits_per_pixel / 8);
        config.rotate180 = true;
        const std::uint64_t f = backend->frames_delivered() + 1;
        run_with({wait_step::frame(), wait_step::exit()});

        cv::Mat display(480, 640, CV_8UC1);  // left from another camera: recreated, never overrun
        copy_frame_gray8(*frame, display);
        ASSERT_EQ(display.rows, 48);
        ASSERT_EQ(display.cols, 64);
        // The first pixel shown is the camera's last one, by its most significant byte.
        EXPECT_EQ(display.at<std::uint8_t>(0, 0), scripted_camera_backend::pattern(f, n - 1));
        EXPECT_EQ(display.at<std::uint8_t>(47, 63), scripted_camera_backend::pattern(f, format == 0x01100007 ? 1 : 0));
    }
}

TEST_F(CaptureThread, Rotate180KeepsDeepPixelsWhole) {
    std::uint8_t data[] = {1, 2, 3, 4, 5, 6};  // three 16-bit pixels
    J_tIMAGE_INFO info;
    info.pImageBuffer = data;
    info.iPixelType = 0x01100007;
    info.iSizeX = 3;
    info.iSizeY = 1;
    info.iImageSize = 6;
    ASSERT_EQ(J_Image_Rotate(&info, J_ROTATE_180), J_ST_SUCCESS);
    EXPECT_EQ(std::vector<std::uint8_t>(data, data + 6), (std::vector<std::uint8_t>{5, 6, 3, 4, 1, 2}));
    info.iImageSize = 4;  // claims more pixels than bytes: refused, nothing touched
    EXPECT_NE(J_Image_Rotate(&info, J_ROTATE_180), J_ST_SUCCESS);
}

TEST_F(CaptureThread, MisreportedBuffersNeverReachPastTheAnnouncedBlock) {
    const std::size_t n = frame->image.size();
    config.rotate180 = true;

    // An address 100 bytes into the block with the block's full size: only the 100 bytes
    // short of its end are taken (rotation included), the rest of the frame is zero.
    backend->set_buffer_report(100, static_cast<std::int64_t>(n));
    run_with({wait_step::frame(), wait_step::exit()});
    {
        std::shared_lock<std::shared_mutex> lock(frame->lock);
        EXPECT_EQ(frame->timestamp, scripted_camera_backend::timestamp_of(1));
        EXPECT_EQ(frame->image[0], scripted_camera_backend::pattern(1, 100));  // too short to turn
        EXPECT_EQ(frame->image[n - 101], scripted_camera_backend::pattern(1, n - 1));
        EXPECT_EQ(frame->image[n - 100], 0);
        EXPECT_EQ(frame->image[n - 1], 0);
    }

    // A size beyond the block is cut to the block; a short frame after a whole one leaves
    // nothing of the whole one behind.
    backend->set_buffer_report(0, static_cast<std::int64_t>(n) * 4);
    run_with({wait_step::frame(), wait_step::exit()});
    EXPECT_EQ(frame->image[n - 1], scripted_camera_backend::pattern(2, 0));  // turned
    backend->set_buffer_report(0, static_cast<std::int64_t>(n / 2));
    run_with({wait_step::frame(), wait_step::exit()});
    std::shared_lock<std::shared_mutex> lock(frame->lock);
    EXPECT_EQ(frame->image[0], scripted_camera_backend::pattern(3, 0));
    EXPECT_EQ(frame->image[n / 2 - 1], scripted_camera_backend::pattern(3, n / 2 - 1));
    EXPECT_EQ(frame->image[n / 2], 0);
    EXPECT_EQ(frame->image[n - 1], 0);
}

TEST_F(CaptureThread, StopDuringAFrameTakesEffectAtTheNextWait) {
    capture_thread thread(sink, config, camera->handle(), frame.get());
    backend->set_on_frame([&](std::uint64_t n) {
        if (n == 3) thread.request_exit();
    });
    backend->set_free_running(true);
    thread.start();
    EXPECT_EQ(thread.join(), 0);
    EXPECT_EQ(backend->frames_delivered(), 3u);
    EXPECT_EQ(sink->texts(thread_event::grab_stats).size(), 3u);
    EXPECT_EQ(backend->count_calls("J_DataStream_QueueBuffer"), capture_thread::buffer_count + 3u);
    EXPECT_EQ(infos(), std::vector<std::wstring>{L"Ожидание кадров завершено"});
    EXPECT_EQ(frame->timestamp, scripted_camera_backend::timestamp_of(3));
}

TEST_F(CaptureThread, ExitRequestedBeforeTheThreadRunsStillStopsIt) {
    capture_thread thread(sink, config, camera->handle(), frame.get());
    thread.request_exit();
    thread.start();
    EXPECT_EQ(thread.join(), 0);
    EXPECT_EQ(infos(), std::vector<std::wstring>{L"Ожидание кадров завершено"});
    EXPECT_EQ(backend->open_handles(), idle_handles);
}

TEST_F(CaptureThread, InfoReadFailuresEndTheThreadAndRelease) {
    backend->fail("J_DataStream_GetBufferInfo:3");
    EXPECT_EQ(run_with({wait_step::frame()}), -1);
    EXPECT_EQ(errors(), std::vector<std::wstring>{L"Ошибка чтения сведений о буфере"});
    EXPECT_EQ(backend->open_handles(), idle_handles);

    sink = std::make_shared<test_support::recording_sink>();
    backend->clear_failures();
    backend->fail("J_DataStream_GetStreamInfo:1002");
    EXPECT_EQ(run_with({wait_step::timeout()}), -1);
    EXPECT_EQ(errors(), std::vector<std::wstring>{L"Ошибка чтения сведений о потоке"});
    EXPECT_EQ(backend->open_handles(), idle_handles);
}

}  // namespace
