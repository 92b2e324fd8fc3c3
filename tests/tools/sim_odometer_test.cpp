// quillmar-odometer-sim read back through the program's own serial reader.
#include "recording/odometer_reader.h"
#include "recording/odometer_test.h"
#include "recording/serial_device.h"
#include "tests/support/recording_sink.h"
#include "tests/tools/sim_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

std::vector<std::uint32_t> read_counts(int format, std::vector<std::string> args, std::size_t expected,
                                       std::chrono::milliseconds limit = 6s) {
    // The reader discards what the line held before it opened the port: the simulator waits
    // until it has.
    args.insert(args.end(), {"--delay", "1"});
    sim_test::child_process sim(sim_test::tool_path("quillmar-odometer-sim"), args);
    auto path = sim.read_line();
    if (!path) return {};
    boost::asio::io_context io;
    std::mutex mutex;  // guards counts
    std::vector<std::uint32_t> counts;
    odometer_reader reader(io, format, nullptr, [&](std::uint32_t c, int) {
        std::lock_guard<std::mutex> lock(mutex);
        counts.push_back(c);
    });
    reader.open(std::wstring(path->begin(), path->end()));
    reader.start();
    std::thread loop([&] { io.run(); });
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (counts.size() >= expected) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    io.stop();
    loop.join();
    return counts;
}

}  // namespace

TEST(OdometerSim, SendsCountsWithBackwardJumpsAndGarbageInFormat4) {
    const auto counts = read_counts(4,
                                    {"--format", "4", "--rate", "2000", "--messages", "12", "--start", "1000", "--step",
                                     "5", "--back-every", "4", "--back-by", "50", "--garbage", "3"},
                                    12);
    // Messages 4, 8 and 12 jump back by 50 instead of stepping forward.
    const std::vector<std::uint32_t> expected{1000, 1005, 1010, 960, 965, 970, 975, 925, 930, 935, 940, 890};
    EXPECT_EQ(counts, expected);
}

TEST(OdometerSim, SendsFormat7ThatFormat4Ignores) {
    const std::vector<std::string> args{"--rate", "2000", "--messages", "20", "--garbage", "2"};
    const auto seven = read_counts(7, args, 20);
    ASSERT_EQ(seven.size(), 20u);
    for (std::uint32_t i = 0; i < 20; ++i) EXPECT_EQ(seven[i], i);
    // Without stray bytes (random ones can look like format 4 tags) nothing decodes as format 4.
    EXPECT_TRUE(read_counts(4, {"--rate", "2000", "--messages", "20"}, 1, 1500ms).empty());
}

TEST(OdometerSim, RejectsBadArguments) {
    for (const auto& bad : {std::vector<std::string>{"--format", "5"}, std::vector<std::string>{"--rate", "0"},
                            std::vector<std::string>{"--messages", "-3"}, std::vector<std::string>{"--start"},
                            std::vector<std::string>{"--what"}}) {
        sim_test::child_process sim(sim_test::tool_path("quillmar-odometer-sim"), bad);
        EXPECT_EQ(sim.wait(5s), 2) << bad.front();
    }
    sim_test::child_process help(sim_test::tool_path("quillmar-odometer-sim"), {"--help"});
    EXPECT_EQ(help.wait(5s), 0);
}

TEST(OdometerSim, TheOdometerTestFindsTheSimulatorOnTheConfiguredPort) {
    sim_test::child_process sim(sim_test::tool_path("quillmar-odometer-sim"), {"--rate", "200"});
    const auto path = sim.read_line();
    ASSERT_TRUE(path);
    const std::wstring device(path->begin(), path->end());
    // The configured port is probed first, before any adapter or COM port.
    const auto order = odometer_probe_order(device, {L"ttyUSB0"}, serial_device_path);
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[0], device);
    const auto rows =
        probe_odometer_ports({order[0]}, {},
                             [](const std::wstring& p) { return probe_odometer_port(p, std::chrono::seconds(2)); })
            .rows;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1], L"Последовательный порт " + device);
    // The simulator sends format 7; wherever the probe starts in its stream it says so.
    EXPECT_EQ(rows[2].rfind(L"ДПП7: сообщений ", 0), 0u) << rows[2];
}

// Nobody opens the line, so its buffer fills within milliseconds at this rate and every
// later write waits for room: a stop signal must still end the simulator promptly.
TEST(OdometerSim, StopsOnSignalWhileTheLineIsFull) {
    for (const int sig : {SIGTERM, SIGINT}) {
        sim_test::child_process sim(sim_test::tool_path("quillmar-odometer-sim"), {"--rate", "100000"});
        ASSERT_TRUE(sim.read_line());
        std::this_thread::sleep_for(300ms);
        sim.signal(sig);
        const auto status = sim.wait(3s);
        ASSERT_TRUE(status.has_value()) << "signal " << sig << " ignored";
        EXPECT_EQ(*status, 0);
        const auto last = sim.read_line(1s);
        ASSERT_TRUE(last);
        EXPECT_EQ(last->rfind("sent ", 0), 0u) << *last;
    }
}
