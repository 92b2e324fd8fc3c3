// The discovery service on a port of the system's choice on 127.0.0.1.
#include <gtest/gtest.h>

#include <boost/asio/ip/udp.hpp>

#include "database/database_registry.h"
#include "net/discovery_service.h"
#include "net/network_services.h"
#include "net/service_client.h"
#include "settings/settings_keys.h"
#include "tests/net/net_test_util.h"

namespace {

using namespace std::chrono_literals;

class discovery_test : public net_test::service_fixture<discovery_service> {
protected:
    void SetUp() override {
        service = std::make_unique<discovery_service>(sink, settings, 0, "127.0.0.1");
        service->start();
    }
    std::vector<discovery_reply> send(const std::string& datagram, std::chrono::milliseconds wait = 300ms) {
        return send_datagram("127.0.0.1", service->port(), datagram, wait);
    }
};

TEST_F(discovery_test, the_side_decides_which_queries_are_answered_and_each_answer_is_logged) {
    struct row {
        std::wstring side;
        std::string service;
        std::string answered_as;  // empty: no answer
    };
    const row rows[] = {
        {L"левый", "any", "quillmar_left"},
        {L"левый", "quillmar_left", "quillmar_left"},
        {L"левый", "quillmar_right", ""},
        {L"правый", "quillmar_left", ""},
        {L"правый", "quillmar_right", "quillmar_right"},
        {L"правый", "any", "quillmar_right"},
        {L"правый", "Quillmar_right", ""},
    };
    std::size_t answers = 0;
    for (const auto& r : rows) {
        settings->write_text(settings_keys::side, r.side);  // read anew for every datagram
        const auto replies = discover("127.0.0.1", service->port(), r.service, 300ms);
        if (r.answered_as.empty()) {
            EXPECT_TRUE(replies.empty()) << r.service;
            continue;
        }
        ++answers;
        ASSERT_EQ(replies.size(), 1u) << r.service;
        EXPECT_EQ(replies[0].text, "{\n    \"type\": \"answer\",\n    \"service\": \"" + r.answered_as + "\"\n}\n");
        EXPECT_EQ(replies[0].sender, "127.0.0.1:" + std::to_string(service->port()));
    }
    EXPECT_TRUE(net_test::wait_count(*sink, thread_event::log_info, L"Ответ UDP", answers));
    EXPECT_EQ(net_test::count_of(*sink, thread_event::log_info, L"Запрос UDP от 127.0.0.1"), answers);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
}

TEST_F(discovery_test, malformed_long_and_foreign_datagrams_do_not_stop_it_answering) {
    EXPECT_EQ(send(R"({"n":7,"type":"query","service":"any"})").at(0).text,
              "{\n    \"n\": \"7\",\n    \"type\": \"answer\",\n    \"service\": \"quillmar_left\"\n}\n");
    EXPECT_TRUE(send(R"({"type":"answer","service":"any"})").empty());
    EXPECT_TRUE(send("{not json").empty());
    const std::string long_query = R"({"type":"query","service":"any","pad":")" + std::string(160, 'x') + "\"}";
    ASSERT_EQ(long_query.size() > 128 && long_query.size() < 210, true);
    EXPECT_TRUE(send(long_query).empty());  // cut to 128 bytes: malformed
    EXPECT_EQ(sink->texts(thread_event::log_error).size(), 2u);
    // A long query and then a shorter one: the second is read from its own bytes only.
    EXPECT_EQ(send(R"({"type":"query","service":"any"})").size(), 1u);
    EXPECT_EQ(sink->texts(thread_event::log_error).size(), 2u);
}

TEST_F(discovery_test, a_query_that_could_be_reflected_larger_gets_no_answer_at_all) {
    // 126 bytes each, the size that drew 63 times its size back when nesting was answered.
    auto sized = [](std::string head, const std::string& tail) {
        head += std::string(126 - head.size() - tail.size(), head.back() == '[' ? '1' : ' ') + tail;
        return head;
    };
    std::string arrays = R"({"type":"query","service":"any","x":)", objects = arrays;
    for (int i = 0; i < 20; ++i) arrays += "[";
    for (int i = 0; i < 12; ++i) objects += R"({"a":)";
    const std::string rows[] = {
        sized(arrays, std::string(20, ']') + "}"),
        sized(objects, "1" + std::string(12, '}') + "}"),
        std::string(R"({"type":"query","service":"any"})") + "junk",
        std::string(R"({"type":"query","service":"any"})") + '\0' + "junk",
        R"({"type":"query","service":"any"}{"type":"query","service":"any"})",
    };
    ASSERT_EQ(rows[0].size(), 126u);
    ASSERT_EQ(rows[1].size(), 126u);
    for (const auto& query : rows) EXPECT_TRUE(send(query, 150ms).empty()) << query;
    EXPECT_EQ(send(R"({"type":"query","service":"any"})").size(), 1u);  // and it still answers
}

TEST_F(discovery_test, a_flood_from_one_address_is_answered_only_within_its_budget) {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(io, {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
    const boost::asio::ip::udp::endpoint to(boost::asio::ip::make_address_v4("127.0.0.1"), service->port());
    const std::string query = discovery_query("any");
    const auto begun = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) socket.send_to(boost::asio::buffer(query), to);
    // Collect for a bounded time; the socket is non-blocking so the loop stops by itself.
    socket.non_blocking(true);
    std::size_t answers = 0;
    std::array<char, 256> buffer{};
    while (std::chrono::steady_clock::now() - begun < 500ms) {
        boost::system::error_code ec;
        socket.receive(boost::asio::buffer(buffer), 0, ec);
        if (!ec)
            ++answers;
        else
            std::this_thread::sleep_for(2ms);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    const discovery_answer_rate rate;
    EXPECT_GE(answers, 1u);
    EXPECT_LE(answers, static_cast<std::size_t>(rate.burst + rate.per_second * seconds + 1)) << answers;
}

TEST(network_services, start_in_order_remote_control_only_when_enabled_and_a_taken_discovery_port_aborts) {
    test_support::temp_dir dir("qm-services");
    auto settings = net_test::scratch_settings(dir);
    settings->write_text(settings_keys::data_service_port, L"0");
    settings->write_text(settings_keys::rc_service_port, L"0");
    auto sink = std::make_shared<test_support::recording_sink>();
    database_registry registry;
    const network_services::options opts{0, "127.0.0.1", &registry};
    {
        network_services off(sink, settings, opts);
        EXPECT_NE(off.images().port(), 0);
        EXPECT_NE(off.discovery().port(), 0);
        EXPECT_EQ(off.remote_control(), nullptr);
    }
    settings->write_bool(settings_keys::rc_service_enabled, true);
    {
        network_services on(sink, settings, opts);
        ASSERT_NE(on.remote_control(), nullptr);
        service_connection("127.0.0.1", on.remote_control()->port()).command({3, "A", "B"});
    }
    boost::asio::io_context io;
    boost::asio::ip::udp::socket taken(io, {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
    try {
        network_services clash(sink, settings, {taken.local_endpoint().port(), "127.0.0.1", &registry});
        ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()), "bind: Address already in use");
    }
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
}

}  // namespace
