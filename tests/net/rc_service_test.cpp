// The remote-control service against real sockets on 127.0.0.1.
#include <gtest/gtest.h>

#include "net/rate_limited_sink.h"
#include "net/rc_service.h"
#include "net/service_client.h"
#include "settings/settings_keys.h"
#include "tests/net/net_test_util.h"

namespace {

using namespace std::chrono_literals;

class rc_service_test : public net_test::service_fixture<rc_service> {
protected:
    // Time-outs short enough for tests: an incomplete command, an acknowledgement, an idle client.
    connection_timeouts quick{300ms, 2s, 2s};

    void SetUp() override {
        settings->write_text(settings_keys::rc_service_port, L"0");
        service = std::make_unique<rc_service>(sink, settings, rc_service::options{"127.0.0.1", quick});
        service->start();
        ASSERT_NE(service->port(), 0);
    }
    void TearDown() override { service->stop(); }

    std::vector<rc_command_message> commands() const {
        std::vector<rc_command_message> out;
        for (const auto& m : sink->messages())
            if (const auto* c = std::get_if<rc_command_message>(&m)) out.push_back(*c);
        return out;
    }
};

TEST_F(rc_service_test, every_full_command_is_handed_over_with_its_session_code_and_acknowledged) {
    struct row {
        rc_command command;
        std::wstring text;
    };
    const row rows[] = {
        {{0, "", ""}, L""},  {{1, "A", "B"}, L"A : B"},     {{2, "", ""}, L""},  {{3, "A", "B"}, L"A : B"},
        {{3, "", "B"}, L""}, {{3, "Код", "7"}, L"Код : 7"}, {{7, "x", ""}, L""},
    };
    service_connection client("127.0.0.1", service->port());
    for (const auto& r : rows) client.command(r.command);  // throws unless 1024 zero bytes come back
    const auto got = commands();
    ASSERT_EQ(got.size(), std::size(rows));
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].code, static_cast<int>(rows[i].command.code));
        EXPECT_EQ(got[i].text, rows[i].text);
    }
    // A session-code command leaves its code as a row, as the window used to write it.
    EXPECT_EQ(sink->texts(thread_event::log_info),
              (std::vector<std::wstring>{L"Входящее соединение управления от: 127.0.0.1", L"A : B", L"", L"Код : 7"}));
}

// Every command is carried out, but the rows a flood of them leaves stay within the service's
// row budget (the burst, then a trickle), however fast they come.
TEST_F(rc_service_test, a_flood_of_session_code_commands_is_carried_out_but_its_rows_stay_within_the_budget) {
    service_connection client("127.0.0.1", service->port());
    constexpr std::size_t flood = 1000;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < flood; ++i) client.command({3, "77", std::to_string(i)});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(commands().size(), flood);
    const std::size_t rows = sink->texts(thread_event::log_info).size();
    EXPECT_LE(rows, rate_limited_sink::default_burst + 1 +
                        static_cast<std::size_t>(rate_limited_sink::default_per_second * (seconds + 1)));
    EXPECT_LT(rows, flood);
}

TEST_F(rc_service_test, a_short_command_is_dropped_with_its_connection_and_the_next_client_is_served) {
    {
        service_connection client("127.0.0.1", service->port());
        const auto full = encode_rc_command({1, "", ""});
        client.send(std::span(full).first(100));
        EXPECT_TRUE(client.wait_closed(5s));
    }
    EXPECT_EQ(sink->texts(thread_event::log_error), (std::vector<std::wstring>{L"Неверный размер команды"}));
    EXPECT_TRUE(commands().empty());
    service_connection next("127.0.0.1", service->port());
    next.command({2, "", ""});
    EXPECT_EQ(commands().size(), 1u);
}

TEST_F(rc_service_test, one_client_at_a_time_the_next_waits_until_the_first_has_gone) {
    auto first = std::make_unique<service_connection>("127.0.0.1", service->port());
    first->command({1, "", ""});
    service_connection second("127.0.0.1", service->port());  // queued by the system, not served
    second.send(encode_rc_command({2, "", ""}));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(commands().size(), 1u);
    first.reset();  // a clean disconnect
    EXPECT_TRUE(net_test::wait_count(*sink, thread_event::log_info, L"Соединение управления закрыто", 1));
    const auto ack = second.receive(rc_reply_size);
    EXPECT_EQ(ack, std::vector<std::uint8_t>(rc_reply_size, 0));
    ASSERT_EQ(commands().size(), 2u);
    EXPECT_EQ(commands()[1].code, 2);
    EXPECT_EQ(net_test::count_of(*sink, thread_event::log_info, L"Входящее соединение управления от: 127.0.0.1"), 2u);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
}

}  // namespace
