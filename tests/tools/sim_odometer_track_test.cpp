// quillmar-odometer-sim following a simulated track, read back through the program's own
// serial reader.
#include "camera/simulated_track.h"
#include "recording/odometer_reader.h"
#include "tests/tools/sim_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct received {
    std::uint32_t count;
    std::chrono::system_clock::time_point at;
};

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// What the simulator sends over `listen` after its one-second delay (the reader drops what the
// line held before it opened), each count with the moment it arrived.
std::vector<received> listen_to(const std::string& track, std::chrono::milliseconds listen) {
    sim_test::child_process sim(sim_test::tool_path("quillmar-odometer-sim"),
                                {"--track", track, "--rate", "200", "--start", "5000", "--delay", "1"});
    const auto path = sim.read_line();
    if (!path) return {};
    boost::asio::io_context io;
    std::mutex mutex;  // guards got
    std::vector<received> got;
    odometer_reader reader(io, 7, nullptr, [&](std::uint32_t c, int) {
        const auto at = std::chrono::system_clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        got.push_back({c, at});
    });
    reader.open(std::wstring(path->begin(), path->end()));
    reader.start();
    std::thread loop([&] { io.run(); });
    std::this_thread::sleep_for(1s + listen);
    io.stop();
    loop.join();
    return got;
}

}  // namespace

TEST(OdometerSimTrack, CountsFollowTheDistanceTravelled) {
    const std::string text = "start=" + std::to_string(now_ms()) + ",speed=10,mm_per_count=100";
    const auto track = parse_simulated_track(text, nullptr);
    ASSERT_TRUE(track);
    const auto got = listen_to(text, 1200ms);
    // 100 counts a second for about a second, each sent once, none behind its time by more than
    // a loaded machine's delivery (100 ms here).
    ASSERT_GE(got.size(), 50u);
    std::int64_t most_behind = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const std::uint32_t due = track->count_at(track->distance_at(got[i].at), 5000);
        most_behind = std::max<std::int64_t>(most_behind, std::int64_t{due} - got[i].count);
        EXPECT_LE(got[i].count, due + 1) << i;
        EXPECT_GE(got[i].count + 10, due) << i;
        if (i > 0) {
            EXPECT_GT(got[i].count, got[i - 1].count) << i;
        }
    }
    std::cout << "[ measured ] " << got.size() << " messages, at most " << most_behind << " counts behind" << std::endl;
}

TEST(OdometerSimTrack, AStandingTrainSendsItsCountOnceAndThenNothing) {
    // The stopping profile stands from 20 s to 30 s after its start, 150 m on.
    const auto got = listen_to("profile=stopping,start=" + std::to_string(now_ms() - 21000), 1000ms);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].count, 5000u + 150000u);
}

TEST(OdometerSimTrack, RefusesABadTrackFromTheLineOrTheEnvironment) {
    for (const auto& bad : {std::vector<std::string>{"--track", "start=soon"},
                            std::vector<std::string>{"--track", "start=1", "--step", "3"}}) {
        sim_test::child_process sim(sim_test::tool_path("quillmar-odometer-sim"), bad);
        EXPECT_EQ(sim.wait(5s), 2) << bad[1];
    }
    ::setenv("QUILLMAR_SIMULATED_TRACK", "start=1,profile=backwards", 1);
    sim_test::child_process from_environment(sim_test::tool_path("quillmar-odometer-sim"), {});
    sim_test::child_process turned_off(sim_test::tool_path("quillmar-odometer-sim"),
                                       {"--track", "off", "--messages", "1", "--linger", "0"});
    ::unsetenv("QUILLMAR_SIMULATED_TRACK");
    EXPECT_EQ(from_environment.wait(5s), 2);
    EXPECT_EQ(turned_off.wait(5s), 0);
}
