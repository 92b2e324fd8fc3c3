#include "camera/recording_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr std::size_t frame_bytes = 1000;
const frame_geometry geometry{40, 25, 0, 8};

struct RecordingQueue : ::testing::Test {
    RecordingQueue() { queue.open(); }
    bool push(std::uint8_t value) {
        std::vector<std::uint8_t> bytes(frame_bytes, value);
        return queue.push_frame(bytes.data(), bytes.size(), geometry, value);
    }
    arrival pop() {
        auto a = queue.pop(std::chrono::steady_clock::now() + 1s);
        EXPECT_TRUE(a);
        return a.value_or(arrival{});
    }
    recording_queue queue{5 * frame_bytes};
};

}  // namespace

TEST_F(RecordingQueue, KeepsArrivalOrderAcrossKindsWithTheirTimes) {
    EXPECT_TRUE(push(1));
    EXPECT_TRUE(queue.push_count(10, 7));
    EXPECT_TRUE(queue.push_session("A : B"));
    const arrival f = pop(), c = pop(), s = pop();
    ASSERT_EQ(f.what, arrival::kind::frame);
    EXPECT_EQ(f.frame->raw, std::vector<std::uint8_t>(frame_bytes, 1));
    EXPECT_EQ(f.frame->width, 40);
    ASSERT_EQ(c.what, arrival::kind::count);
    EXPECT_EQ(c.count, 10u);
    ASSERT_EQ(s.what, arrival::kind::session);
    EXPECT_EQ(s.code, "A : B");
    EXPECT_LE(f.at, c.at);
    EXPECT_LE(c.at, s.at);
    queue.release(f.frame);
    EXPECT_EQ(queue.snapshot().frames, 0u);
}

// The bound is bytes: a full queue drops (never waits), counts each drop, leaves one mark for
// a run of drops, reports the run as one episode once a frame is taken again, and hands the
// same buffers out again instead of new ones.
TEST_F(RecordingQueue, AFullQueueDropsCountsAndReusesItsBuffers) {
    for (std::uint8_t i = 1; i <= 5; ++i) EXPECT_TRUE(push(i));
    EXPECT_FALSE(push(6));
    EXPECT_FALSE(push(7));
    EXPECT_FALSE(queue.take_episode()) << "an episode is reported once it ends";
    auto levels = queue.snapshot();
    EXPECT_EQ(levels.frames, 5u);
    EXPECT_EQ(levels.capacity_frames, 5u);
    EXPECT_EQ(levels.dropped, 2u);
    EXPECT_EQ(levels.bytes, 5 * frame_bytes);

    std::vector<queued_frame*> first;
    for (int i = 0; i < 5; ++i) first.push_back(pop().frame);
    const arrival mark = pop();
    ASSERT_EQ(mark.what, arrival::kind::dropped);
    EXPECT_EQ(mark.dropped, 2u);
    for (auto* f : first) queue.release(f);

    EXPECT_TRUE(push(8));
    const auto episode = queue.take_episode();
    ASSERT_TRUE(episode);
    EXPECT_EQ(episode->frames, 2u);
    EXPECT_EQ(episode->held, 5u);
    EXPECT_FALSE(queue.take_episode());
    const arrival again = pop();
    EXPECT_NE(std::find(first.begin(), first.end(), again.frame), first.end()) << "a new buffer was made";
    EXPECT_EQ(queue.snapshot().highest_frames, 5u);
}

TEST_F(RecordingQueue, AClosedQueueRefusesProducersAndEndsTheConsumerOnceEmpty) {
    EXPECT_TRUE(queue.push_count(1, 4));
    queue.close();
    EXPECT_FALSE(push(1));
    EXPECT_FALSE(queue.push_count(2, 4));
    EXPECT_FALSE(queue.push_session("x"));
    EXPECT_EQ(pop().count, 1u);  // what came before the close is still taken
    EXPECT_TRUE(queue.closed_and_empty());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.pop(start + 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "a closed, empty queue must not wait";

    // Opened again (the next recording): counters start from zero.
    queue.open();
    EXPECT_TRUE(push(3));
    EXPECT_EQ(queue.snapshot().dropped, 0u);
    EXPECT_EQ(queue.snapshot().accepted, 1u);
}

TEST_F(RecordingQueue, AConsumerWaitsForArrivals) {
    std::thread producer([&] {
        std::this_thread::sleep_for(50ms);
        queue.push_count(5, 7);
    });
    EXPECT_EQ(pop().count, 5u);
    producer.join();
    EXPECT_FALSE(queue.pop(std::chrono::steady_clock::now() + 20ms));
}
