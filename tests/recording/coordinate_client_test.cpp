#include "recording/coordinate_client.h"
#include "tests/support/recording_sink.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

TEST(CoordinateClient, QueryIsTheFixed64Bytes) {
    const auto q = coordinate_query();
    EXPECT_EQ(std::memcmp(q.data(), "CXQUEST2", 8), 0);
    for (std::size_t i = 8; i < 64; ++i) EXPECT_EQ(q[i], i == 16 ? 1 : 0) << i;
}

TEST(CoordinateClient, AnswerTextsStopAtZeroAndAtTheReceivedBytes) {
    std::array<std::uint8_t, 1024> a{};
    std::memcpy(a.data() + 581, "12", 3);
    std::memcpy(a.data() + 613, "ab", 3);
    EXPECT_EQ(coordinate_answer_texts(a.data(), a.size(), 1024), std::make_pair(std::string("12"), std::string("ab")));
    // An answer that ended before the second field: older buffer contents are not used.
    EXPECT_EQ(coordinate_answer_texts(a.data(), a.size(), 600), std::make_pair(std::string("12"), std::string()));
    EXPECT_EQ(coordinate_answer_texts(a.data(), a.size(), 582), std::make_pair(std::string("1"), std::string()));
    EXPECT_EQ(coordinate_answer_texts(a.data(), a.size(), 0), std::make_pair(std::string(), std::string()));
    // No terminator up to the end of the buffer: the text ends with the buffer.
    std::fill(a.begin() + 613, a.end(), 'z');
    EXPECT_EQ(coordinate_answer_texts(a.data(), a.size(), 1024).second, std::string(1024 - 613, 'z'));
    // A receive count beyond the buffer is bounded by the buffer (checked under ASan).
    auto exact = std::make_unique<std::uint8_t[]>(620);
    std::fill(exact.get(), exact.get() + 620, 'q');
    EXPECT_EQ(coordinate_answer_texts(exact.get(), 620, 1024).second, std::string(7, 'q'));
}

namespace {

// A loopback port with nothing listening on it.
std::string refused_port() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::address_v4::loopback(), 0});
    return std::to_string(a.local_endpoint().port());
}

}  // namespace

TEST(CoordinateClient, ARefusedServerIsRetriedOncePerDelayWithoutLogging) {
    boost::asio::io_context io;
    auto sink = std::make_shared<test_support::recording_sink>();
    int sessions = 0;
    coordinate_client client(
        io, "127.0.0.1", refused_port(), 100ms, sink, [&](const std::string&) { ++sessions; }, 200ms);
    client.start();
    io.run_for(1100ms);
    // About one attempt per 200 ms, not thousands.
    EXPECT_GE(client.connect_attempts(), 2u);
    EXPECT_LE(client.connect_attempts(), 7u);
    EXPECT_EQ(sink->texts(thread_event::log_info), std::vector<std::wstring>{L"Адрес сервера координат определён."});
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
    EXPECT_EQ(sessions, 0);
}

TEST(CoordinateClient, AnUnresolvableAddressEndsTheLoopWithItsError) {
    boost::asio::io_context io;
    coordinate_client client(io, "127.0.0.1", "no-such-service-name", 100ms, nullptr, [](const std::string&) {});
    client.start();
    try {
        io.run_for(5s);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CoordServer resolve error");
    }
}

// A server that accepts and closes at once, polled with a zero period: every receive fails,
// and without a pause before reconnecting the loop would spin and flood the log.
TEST(CoordinateClient, AServerClosingAtOnceIsReconnectedOncePerDelay) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::address_v4::loopback(), 0});
    std::function<void()> accept_next = [&] {
        acceptor.async_accept([&](const boost::system::error_code& ec, boost::asio::ip::tcp::socket s) {
            if (ec) return;
            boost::system::error_code ignored;
            s.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
            accept_next();
        });
    };
    accept_next();
    auto sink = std::make_shared<test_support::recording_sink>();
    coordinate_client client(
        io, "127.0.0.1", std::to_string(acceptor.local_endpoint().port()), 0ms, sink, [](const std::string&) {}, 200ms);
    client.start();
    io.run_for(1100ms);
    EXPECT_GE(client.connect_attempts(), 2u);
    EXPECT_LE(client.connect_attempts(), 7u);
    const auto errors = sink->texts(thread_event::log_error);
    EXPECT_GE(errors.size(), 1u);
    EXPECT_LE(errors.size(), 7u);
}
