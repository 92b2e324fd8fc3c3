// The backends' promise that any call may come from any thread: closes racing calls that
// still use the handle (run under TSan and ASan), and the shared buffer pool's queues.
#include "camera/aravis_backend.h"
#include "camera/buffer_pool.h"
#include "tests/support/scripted_camera_backend.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct backend_case {
    const char* name;
    std::function<std::shared_ptr<camera_backend>()> make;
};

class HandleRace : public ::testing::TestWithParam<backend_case> {
protected:
    void SetUp() override { backend = GetParam().make(); }

    std::shared_ptr<camera_backend> backend;
};

TEST_P(HandleRace, CloseOfAConditionEndsAWaitOnAnotherThread) {
    FACTORY_HANDLE factory = nullptr;
    ASSERT_EQ(J_Factory_Open(backend, "", &factory), J_ST_SUCCESS);
    for (int round = 0; round < 20; ++round) {
        HANDLE condition = nullptr;
        ASSERT_EQ(J_Event_CreateCondition(factory, &condition), J_ST_SUCCESS);
        std::atomic<bool> waiting{false};
        std::uint32_t result = 99;
        J_STATUS_TYPE status = J_ST_SUCCESS;
        const auto t0 = std::chrono::steady_clock::now();
        std::thread waiter([&] {
            waiting = true;
            status = J_Event_WaitForCondition(condition, 5000, &result);
        });
        while (!waiting) std::this_thread::yield();
        if (round % 2) std::this_thread::sleep_for(1ms);  // both before and during the wait
        EXPECT_EQ(J_Event_CloseCondition(condition), J_ST_SUCCESS);
        waiter.join();
        // Either the wait found the handle closed, or the close ended it at once.
        EXPECT_TRUE(status == J_ST_INVALID_HANDLE || (status == J_ST_SUCCESS && result == J_COND_WAIT_EXIT))
            << status << " " << result;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
        std::uint32_t again = 0;
        EXPECT_EQ(J_Event_WaitForCondition(condition, 0, &again), J_ST_INVALID_HANDLE);
        EXPECT_EQ(J_Event_CloseCondition(condition), J_ST_INVALID_HANDLE);
    }
    EXPECT_EQ(J_Factory_Close(factory), J_ST_SUCCESS);
}

TEST_P(HandleRace, CloseOfAStreamRacingItsQueriesFreesNothingInUse) {
    FACTORY_HANDLE factory = nullptr;
    ASSERT_EQ(J_Factory_Open(backend, "", &factory), J_ST_SUCCESS);
    ASSERT_EQ(J_Factory_UpdateCameraList(factory, nullptr), J_ST_SUCCESS);
    char id[512];
    std::uint32_t size = sizeof id;
    ASSERT_EQ(J_Factory_GetCameraIDByIndex(factory, 0, id, &size), J_ST_SUCCESS);
    CAM_HANDLE camera = nullptr;
    ASSERT_EQ(J_Camera_Open(factory, id, &camera, 0), J_ST_SUCCESS);
    for (int round = 0; round < 10; ++round) {
        STREAM_HANDLE stream = nullptr;
        ASSERT_EQ(J_Camera_CreateDataStream(camera, 0, &stream), J_ST_SUCCESS);
        std::vector<std::uint8_t> block(512 * 512);
        BUF_HANDLE buffer = nullptr;
        ASSERT_EQ(J_DataStream_AnnounceBuffer(stream, block.data(), block.size(), nullptr, &buffer), J_ST_SUCCESS);
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            while (!stop) {
                std::uint64_t value = 0;
                std::uint32_t n = sizeof value;
                J_DataStream_GetStreamInfo(stream, STREAM_INFO_CMD_NUMBER_OF_FRAMES_DELIVERED, &value, &n);
                n = sizeof value;
                J_DataStream_GetBufferInfo(stream, buffer, BUFFER_INFO_NUMBER_OF_QUEUED, &value, &n);
                J_DataStream_QueueBuffer(stream, buffer);
            }
        });
        std::this_thread::sleep_for(2ms);
        EXPECT_EQ(J_DataStream_RevokeBuffer(stream, buffer, nullptr, nullptr), J_ST_SUCCESS);
        EXPECT_EQ(J_DataStream_Close(stream), J_ST_SUCCESS);
        stop = true;
        reader.join();
        std::uint64_t value = 0;
        std::uint32_t n = sizeof value;
        EXPECT_EQ(J_DataStream_GetStreamInfo(stream, STREAM_INFO_CMD_NUMBER_OF_FRAMES_DELIVERED, &value, &n),
                  J_ST_INVALID_HANDLE);
    }
    // A camera closed while another thread still reads a feature.
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            std::int64_t width = 0;
            J_Camera_GetValueInt64(camera, "Width", &width);
        }
    });
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(J_Camera_Close(camera), J_ST_SUCCESS);
    stop = true;
    reader.join();
    std::int64_t width = 0;
    EXPECT_EQ(J_Camera_GetValueInt64(camera, "Width", &width), J_ST_INVALID_HANDLE);
    EXPECT_EQ(J_Factory_Close(factory), J_ST_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Backends, HandleRace,
                         ::testing::Values(backend_case{"Scripted",
                                                        [] {
                                                            auto b = std::make_shared<scripted_camera_backend>();
                                                            b->set_cameras({{"CAM-1 INT=>SD", "Model-A", "10.0.0.5"}});
                                                            b->set_record_calls(false);
                                                            return std::static_pointer_cast<camera_backend>(b);
                                                        }},
                                           backend_case{"AravisSimulated",
                                                        [] {
                                                            return std::static_pointer_cast<camera_backend>(
                                                                std::make_shared<aravis_backend>(
                                                                    aravis_backend::mode::simulated));
                                                        }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BufferPool, OnlyWholeFramesReachTheOutputAndFailuresGoBackToTheInput) {
    int pushed = 0;
    buffer_pool pool([&](pool_buffer&) { ++pushed; });
    auto listener = std::make_shared<wait_condition>();
    pool.set_listener(listener);
    std::uint8_t blocks[2][4];
    const BUF_HANDLE a = pool.announce(blocks[0], 4, nullptr);
    const BUF_HANDLE b = pool.announce(blocks[1], 4, nullptr);
    EXPECT_EQ(pool.queue(a), J_ST_SUCCESS);
    EXPECT_EQ(pool.queue(a), J_ST_SUCCESS);  // already queued: nothing changes
    EXPECT_EQ(pool.queue(b), J_ST_SUCCESS);
    EXPECT_EQ(pushed, 2);
    EXPECT_EQ(pool.queue(reinterpret_cast<BUF_HANDLE>(0x8)), J_ST_INVALID_HANDLE);

    EXPECT_TRUE(pool.complete(a, buffer_pool::outcome::corrupt));
    EXPECT_TRUE(pool.complete(b, buffer_pool::outcome::lost));
    EXPECT_EQ(pushed, 4);  // both went straight back
    EXPECT_EQ(pool.queued(), 2u);
    EXPECT_EQ(listener->wait(0), J_COND_WAIT_TIMEOUT);
    EXPECT_FALSE(pool.take_output());

    EXPECT_TRUE(pool.complete(a, buffer_pool::outcome::whole, 7));
    EXPECT_FALSE(pool.complete(a, buffer_pool::outcome::whole));  // not in the input any more
    EXPECT_EQ(listener->wait(0), J_COND_WAIT_SIGNAL);
    EXPECT_EQ(pool.take_output(), a);
    EXPECT_EQ(pool.delivered(), 1u);
    EXPECT_EQ(pool.corrupt(), 1u);
    EXPECT_EQ(pool.lost(), 1u);

    pool.stop_input();
    EXPECT_EQ(pool.queued(), 0u);
    EXPECT_EQ(pool.queue(a), J_ST_NOT_AVAILABLE);
    EXPECT_FALSE(pool.complete(b, buffer_pool::outcome::whole));  // the input was emptied
    EXPECT_EQ(pushed, 4);
    const auto revoked = pool.revoke(a);
    ASSERT_TRUE(revoked);
    EXPECT_EQ(revoked->block, blocks[0]);
    EXPECT_EQ(revoked->frame, 7u);
    EXPECT_FALSE(pool.revoke(a));
    EXPECT_EQ(pool.announced(), 1u);
}

}  // namespace
