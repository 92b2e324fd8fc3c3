// The main window starts the network services and carries out remote commands that arrive
// over the remote-control socket (loopback, ports of the system's choice).
#include "app/capture_state.h"
#include "net/network_services.h"
#include "net/service_client.h"
#include "tests/app/frame_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <unistd.h>

#include <boost/asio/ip/udp.hpp>

namespace {

using namespace std::chrono_literals;

class network_startup : public ::testing::Test, public test_support::frame_fixture {
protected:
    void settings_file(const std::string& extra) {
        write_settings("dpp_port=" + (home.path() / "no-odometer").string() + "\ncoordinate_server_enabled=0\n" +
                       extra);
    }
};

TEST_F(network_startup, remote_commands_over_the_socket_are_carried_out_by_the_window) {
    settings_file("rc_service_enabled=1\n");
    open();
    network_services* services = frame->services();
    ASSERT_NE(services, nullptr);
    ASSERT_NE(services->remote_control(), nullptr);
    ASSERT_TRUE(frame->state().camera_open());

    service_connection rc("127.0.0.1", services->remote_control()->port());
    rc.command({0, "", ""});
    rc.command({3, "A", "B"});
    rc.command({7, "", ""});
    rc.command({1, "", ""});
    // A recording source (its odometer port may well be missing here: then it captures only).
    ASSERT_TRUE(pump_until([&] { return frame->state().active() && frame->state().source()->is_recording(); }));
    rc.command({2, "", ""});
    ASSERT_TRUE(pump_until([&] { return !frame->state().active(); }));
    const auto rows = messages();
    std::vector<std::string> rc_rows;
    for (const auto& r : rows)
        if (r == "blue:Пустая команда управления" || r == "blue:A : B") rc_rows.push_back(r);
    EXPECT_EQ(rc_rows, (std::vector<std::string>{"blue:Пустая команда управления", "blue:A : B",
                                                 "blue:Пустая команда управления"}));
    EXPECT_TRUE(has("blue:Входящее соединение управления от: 127.0.0.1"));

    // The image data service answers (nothing is being recorded: 4 zero bytes) and discovery
    // answers for the left side, the default.
    service_connection images("127.0.0.1", services->images().port());
    EXPECT_TRUE(images.fetch({"", "", 1}).empty());
    const auto replies = discover("127.0.0.1", services->discovery().port(), "any", 500ms);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_NE(replies[0].text.find("\"quillmar_left\""), std::string::npos);
    EXPECT_TRUE(pump_until([&] { return has("blue:Ответ UDP"); }));
    EXPECT_TRUE(has("blue:Входящее соединение от: 127.0.0.1"));
}

TEST_F(network_startup, remote_control_exists_only_when_enabled_and_a_taken_discovery_port_ends_start_up) {
    settings_file("");
    open();
    ASSERT_NE(frame->services(), nullptr);
    EXPECT_EQ(frame->services()->remote_control(), nullptr);
    EXPECT_NE(frame->services()->images().port(), 0);
    close();

    boost::asio::io_context io;
    boost::asio::ip::udp::socket taken(io, {boost::asio::ip::udp::v4(), 0});
    ::setenv("QUILLMAR_DISCOVERY_PORT", std::to_string(taken.local_endpoint().port()).c_str(), 1);
    try {
        open();
        ADD_FAILURE() << "start-up went on";
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()), "bind: Address already in use");
    }
    ::setenv("QUILLMAR_DISCOVERY_PORT", "0", 1);
}

}  // namespace

namespace {

std::uint64_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace

// A peer that sends session-code commands as fast as it can: every one reaches the window, but
// the log takes only the service's row budget and the window's memory is as it was after.
TEST_F(network_startup, a_flood_of_remote_commands_keeps_the_log_within_its_budget_and_memory_as_it_was) {
    settings_file("rc_service_enabled=1\n");
    open();
    ASSERT_NE(frame->services()->remote_control(), nullptr);
    pump();
    const std::size_t rows_before = messages().size();
    const std::uint64_t rss_before = resident_bytes();
    constexpr int flood = 10000;
    const auto start = std::chrono::steady_clock::now();
    {
        service_connection rc("127.0.0.1", frame->services()->remote_control()->port());
        for (int i = 0; i < flood; ++i) rc.command({3, "77", std::to_string(i)});
    }
    // Every command handled, then the log's batches written out.
    pump();
    const auto settle = std::chrono::steady_clock::now() + 2s;
    pump_until([&] { return std::chrono::steady_clock::now() > settle; }, 5s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::size_t rows = messages().size() - rows_before;
    EXPECT_LE(rows, 200 + 3 + static_cast<std::size_t>(20 * (seconds + 1))) << "over " << seconds << " s";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers' allocators hold freed memory back in a quarantine of their own.
    EXPECT_LE(resident_bytes(), rss_before + rss_before / 10)
        << "before " << rss_before / 1024 << " KiB, after " << resident_bytes() / 1024 << " KiB";
#endif
}
