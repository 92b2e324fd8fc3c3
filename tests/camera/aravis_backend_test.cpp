// The Aravis layer's own promises, against Aravis's in-process fake camera (no network
// interface is enabled): the wait condition's three results, Aravis's words on a refused call,
// incomplete frames requeued and counted instead of delivered, and no thread or descriptor left
// behind by repeated captures.
#include "camera/aravis_backend.h"
#include "camera/camera_list.h"
#include "camera/continuous_grab.h"
#include "camera/wait_condition.h"

#include "tests/support/recording_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

std::int64_t elapsed_ms(clock_type::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since).count();
}

std::size_t entries(const char* dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

class AravisLayer : public ::testing::Test {
protected:
    void SetUp() override {
        factory = std::make_unique<jai_factory>(std::make_shared<aravis_backend>(aravis_backend::mode::simulated));
        const camera_map cameras = enumerate_cameras(*factory);
        ASSERT_EQ(cameras.count("Fake 0.0.0.0 [SocketDriver]"), 1u);
        camera = select_camera(*factory, cameras, "Fake 0.0.0.0 [SocketDriver]").camera;
        ASSERT_TRUE(camera);
    }
    void TearDown() override {
        camera.reset();
        factory.reset();
    }

    std::uint64_t stream_counter(STREAM_HANDLE stream, int item) {
        std::uint64_t value = 0;
        std::uint32_t size = sizeof value;
        EXPECT_EQ(J_DataStream_GetStreamInfo(stream, item, &value, &size), J_ST_SUCCESS);
        return value;
    }

    std::unique_ptr<jai_factory> factory;
    jai_camera_ptr camera;
};

TEST(WaitCondition, TimeOutSignalAndExitFromAnotherThread) {
    wait_condition c;
    auto t0 = clock_type::now();
    EXPECT_EQ(c.wait(60), J_COND_WAIT_TIMEOUT);
    EXPECT_GE(elapsed_ms(t0), 55);

    c.signal();
    c.signal();  // each signal is one result 1, none is lost
    EXPECT_EQ(c.wait(1000), J_COND_WAIT_SIGNAL);
    EXPECT_EQ(c.wait(1000), J_COND_WAIT_SIGNAL);
    EXPECT_EQ(c.wait(0), J_COND_WAIT_TIMEOUT);

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        c.request_exit();
    });
    t0 = clock_type::now();
    EXPECT_EQ(c.wait(5000), J_COND_WAIT_EXIT);
    EXPECT_LT(elapsed_ms(t0), 2000);
    stopper.join();
    c.signal();
    EXPECT_EQ(c.wait(1000), J_COND_WAIT_EXIT);  // the exit outranks pending frames and stays
}

TEST_F(AravisLayer, RefusedCallsCarryAravissOwnWords) {
    std::int64_t value = 0;
    const camera_status missing = J_Camera_GetValueInt64(camera->handle(), "NoSuchFeature", &value);
    EXPECT_EQ(missing.code(), J_ST_ERROR);
    EXPECT_NE(missing.message(), "");
    const camera_status refused = J_Camera_SetValueString(camera->handle(), "ExposureMode", "ContinuousPreset1");
    EXPECT_EQ(refused.code(), J_ST_ERROR);
    EXPECT_NE(refused.message(), "");
    EXPECT_EQ(J_Camera_GetValueInt64(camera->handle(), "Width", &value), J_ST_SUCCESS);
}

TEST_F(AravisLayer, IncompleteFramesAreRequeuedAndCountedNeverDelivered) {
    STREAM_HANDLE stream = nullptr;
    ASSERT_EQ(J_Camera_CreateDataStream(camera->handle(), 0, &stream), J_ST_SUCCESS);
    // Blocks far smaller than the fake camera's 512 x 512 frame: Aravis completes every
    // buffer with a size mismatch.
    std::vector<std::vector<std::uint8_t>> blocks(3, std::vector<std::uint8_t>(64, 0xAB));
    std::vector<BUF_HANDLE> handles;
    for (auto& block : blocks) {
        BUF_HANDLE h = nullptr;
        ASSERT_EQ(J_DataStream_AnnounceBuffer(stream, block.data(), 64, nullptr, &h), J_ST_SUCCESS);
        ASSERT_EQ(J_DataStream_QueueBuffer(stream, h), J_ST_SUCCESS);
        handles.push_back(h);
    }
    HANDLE condition = nullptr;
    ASSERT_EQ(J_Event_CreateCondition(camera->handle(), &condition), J_ST_SUCCESS);
    EVT_HANDLE event = nullptr;
    ASSERT_EQ(J_DataStream_RegisterEvent(stream, EVENT_NEW_BUFFER, condition, &event), J_ST_SUCCESS);
    ASSERT_EQ(J_DataStream_StartAcquisition(stream, ACQ_START_NEXT_IMAGE, ACQ_UNLIMITED), J_ST_SUCCESS);
    ASSERT_EQ(J_Camera_ExecuteCommand(camera->handle(), "AcquisitionStart"), J_ST_SUCCESS);

    // More failures than buffers proves that failed buffers go back into the stream.
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (stream_counter(stream, STREAM_INFO_CMD_NUMBER_OF_FRAMES_CORRUPT_ON_DELIEVRY) <= blocks.size() &&
           clock_type::now() < deadline) {
        std::uint32_t result = 99;
        ASSERT_EQ(J_Event_WaitForCondition(condition, 100, &result), J_ST_SUCCESS);
        EXPECT_EQ(result, J_COND_WAIT_TIMEOUT) << "an incomplete frame was signalled";
    }
    EXPECT_GT(stream_counter(stream, STREAM_INFO_CMD_NUMBER_OF_FRAMES_CORRUPT_ON_DELIEVRY), blocks.size());
    EXPECT_EQ(stream_counter(stream, STREAM_INFO_CMD_NUMBER_OF_FRAMES_DELIVERED), 0u);
    std::uint8_t data[16] = {};
    std::uint32_t size = sizeof data;
    EXPECT_NE(J_Event_GetData(event, data, &size), J_ST_SUCCESS);

    J_Camera_ExecuteCommand(camera->handle(), "AcquisitionStop");
    J_DataStream_UnRegisterEvent(stream, EVENT_NEW_BUFFER);
    J_Event_Close(event);
    J_Event_CloseCondition(condition);
    J_DataStream_StopAcquisition(stream, ACQ_STOP_FLAG_KILL);
    J_DataStream_FlushQueue(stream, ACQ_QUEUE_INPUT_TO_OUTPUT);
    J_DataStream_FlushQueue(stream, ACQ_QUEUE_OUTPUT_DISCARD);
    for (BUF_HANDLE h : handles) EXPECT_EQ(J_DataStream_RevokeBuffer(stream, h, nullptr, nullptr), J_ST_SUCCESS);
    EXPECT_EQ(J_DataStream_Close(stream), J_ST_SUCCESS);
    for (const auto& block : blocks) EXPECT_EQ(block[63], 0xAB) << "a short block was written";
}

TEST_F(AravisLayer, RepeatedCapturesLeaveNoThreadOrDescriptorBehind) {
    auto capture_once = [&] {
        auto sink = std::make_shared<test_support::recording_sink>();
        auto source = std::make_shared<continuous_grab>(sink, capture_config{}, camera);
        EXPECT_TRUE(sink->wait_for_kind(thread_event::new_frame));
        source.reset();
        EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
    };
    capture_once();  // Aravis starts its own long-lived helpers on first use
    const std::size_t threads = entries("/proc/self/task");
    const std::size_t descriptors = entries("/proc/self/fd");
    for (int i = 0; i < 5; ++i) capture_once();
    // A stream's receive thread is joined before its close returns.
    EXPECT_EQ(entries("/proc/self/task"), threads);
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
}

}  // namespace
