// The pure parts of the services: the three wire formats, the port text and the row budget.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "net/discovery_protocol.h"
#include "net/image_protocol.h"
#include "net/rate_limited_sink.h"
#include "net/rc_protocol.h"
#include "net/tcp_listener.h"
#include "tests/support/recording_sink.h"

namespace {

std::vector<std::uint8_t> bytes_of(std::size_t size, std::initializer_list<std::pair<std::size_t, std::string>> texts) {
    std::vector<std::uint8_t> b(size, 0);
    for (const auto& [offset, text] : texts)
        for (std::size_t i = 0; i < text.size(); ++i) b[offset + i] = static_cast<std::uint8_t>(text[i]);
    return b;
}

TEST(image_protocol, parts_end_at_their_nul_or_their_own_field_and_the_count_is_little_endian) {
    struct row {
        std::vector<std::uint8_t> bytes;
        image_request expected;
    };
    const std::string twenty(20, 'A'), sixteen(16, 'B');
    auto with_count = [](std::vector<std::uint8_t> b) {
        b[36] = 0x70, b[37] = 0x11, b[38] = 0x01, b[39] = 0x00;
        return b;
    };
    const row rows[] = {
        {bytes_of(1024, {}), {"", "", 0}},
        {with_count(bytes_of(1024, {{0, "12"}, {20, "34"}})), {"12", "34", 70000}},
        {bytes_of(1024, {{0, twenty}, {20, "X"}}), {twenty, "X", 0}},       // no NUL: ends at 20
        {bytes_of(1024, {{20, sixteen}, {36, "\x01"}}), {"", sixteen, 1}},  // ends at 36
        {bytes_of(1024, {{0, "a\0b"}}), {"a", "", 0}},
        {bytes_of(30, {{0, "x"}, {20, "0123456789"}}), {"x", "0123456789", 0}},  // short buffer
    };
    for (const auto& r : rows) EXPECT_EQ(decode_image_request(r.bytes), r.expected);

    EXPECT_EQ(decode_image_request(encode_image_request({"Кд", "7", 4294967295u})),
              (image_request{"Кд", "7", 4294967295u}));
    EXPECT_THROW(encode_image_request({twenty.substr(1) + "A", "", 0}), std::invalid_argument);
}

TEST(image_protocol, the_response_is_the_little_endian_length_then_the_png) {
    const std::vector<std::uint8_t> png(70000, 0xAB);
    const auto response = image_response(png);
    ASSERT_EQ(response.size(), 70004u);
    EXPECT_EQ(std::vector<std::uint8_t>(response.begin(), response.begin() + 4),
              (std::vector<std::uint8_t>{0x70, 0x11, 0x01, 0x00}));
    EXPECT_EQ(image_response({}), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST(rc_protocol, code_at_4_first_part_in_20_bytes_second_part_in_the_rest) {
    const std::string twenty(20, 'F'), rest(996, 'S');
    auto with_code = [](std::vector<std::uint8_t> b, std::uint8_t code) {
        b[4] = code;
        return b;
    };
    EXPECT_EQ(decode_rc_command(with_code(bytes_of(1024, {{8, "A"}, {28, "B"}}), 3)), (rc_command{3, "A", "B"}));
    EXPECT_EQ(decode_rc_command(bytes_of(1024, {{8, twenty}, {28, rest}})), (rc_command{0, twenty, rest}));
    EXPECT_EQ(decode_rc_command(bytes_of(10, {{4, "\x07"}, {8, "ab"}})), (rc_command{7, "ab", ""}));
    EXPECT_EQ(decode_rc_command(encode_rc_command({2, "x", "y"})), (rc_command{2, "x", "y"}));
    EXPECT_THROW(encode_rc_command({1, twenty, ""}), std::invalid_argument);
}

TEST(discovery_protocol, answers_any_or_its_own_name_and_keeps_other_members_as_strings) {
    using action = discovery_decision::action;
    struct row {
        std::string datagram;
        std::string own;
        action what;
        std::string text;
    };
    const row rows[] = {
        {R"({"type":"query","service":"any"})", "quillmar_left", action::answer,
         "{\n    \"type\": \"answer\",\n    \"service\": \"quillmar_left\"\n}\n"},
        {R"({"id":7,"type":"query","service":"quillmar_right","n":null})", "quillmar_right", action::answer,
         "{\n    \"id\": \"7\",\n    \"type\": \"answer\",\n    \"service\": \"quillmar_right\",\n"
         "    \"n\": \"null\"\n}\n"},
        {R"({"id":7,"type":"query","service":"quillmar_right","n":{"a":1}})", "quillmar_right", action::error, ""},
        {R"({"type":"query","service":"any","n":[1]})", "quillmar_left", action::error, ""},
        {R"({"type":"query","type":"query","service":"any"})", "quillmar_left", action::error, ""},
        {R"({"type":"query","service":7})", "quillmar_left", action::error, ""},
        // An answer past 128 bytes is never sent, however plain the query.
        {R"({"type":"query","service":"any","a":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"})",
         "quillmar_left", action::ignore, ""},
        {R"({"type":"query","service":"quillmar_left"})", "quillmar_right", action::ignore, ""},
        {R"({"type":"answer","service":"any"})", "quillmar_left", action::ignore, ""},
        {R"({"service":"any"})", "quillmar_left", action::ignore, ""},
        {R"({"type":"query"})", "quillmar_left", action::ignore, ""},
        {std::string(R"({"type":"query","service":"any"})") + '\0' + "garbage", "quillmar_left", action::error, ""},
        {R"({"type":"query","service":"any"} x)", "quillmar_left", action::error, ""},
        {std::string(R"({"type":"query","service":"any"} )") + std::string(8, '\0'), "quillmar_left", action::answer,
         "{\n    \"type\": \"answer\",\n    \"service\": \"quillmar_left\"\n}\n"},
        {"{\"type\":", "quillmar_left", action::error, "<unspecified file>(1): garbage after data"},
    };
    for (const auto& r : rows) {
        const auto d = decide_discovery(r.datagram, r.own);
        EXPECT_EQ(d.what, r.what) << r.datagram;
        if (r.what != action::error) {
            EXPECT_EQ(d.text, r.text) << r.datagram;
        } else {
            EXPECT_FALSE(d.text.empty());
        }
    }
    // Longer than 128 bytes: malformed, whatever it holds.
    const std::string padded = R"({"type":"query","service":"any","pad":")" + std::string(200, 'x') + "\"}";
    EXPECT_EQ(decide_discovery(padded, "quillmar_left").what, action::error);

    EXPECT_EQ(discovery_service_name(L"левый"), "quillmar_left");
    EXPECT_EQ(discovery_service_name(L"правый"), "quillmar_right");
    EXPECT_EQ(discovery_service_name(L"Левый"), "quillmar_right");
    EXPECT_EQ(discovery_answer_service(decide_discovery(discovery_query("any"), "quillmar_left").text),
              std::optional<std::string>("quillmar_left"));
    EXPECT_EQ(discovery_answer_service(discovery_query("any")), std::nullopt);
}

// Bounded fuzz runs: random and mutated inputs never crash, never read out of bounds (the
// sanitizer builds check that), and decode within each field's length.
TEST(protocol_fuzz, every_parser_takes_any_bytes) {
    std::mt19937 random(20240501);
    const std::string seed = R"({"type":"query","service":"any","x":[1,2,{"y":null}]})";
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> bytes(random() % 1100);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random() % 4 == 0 ? 0 : random());
        const auto request = decode_image_request(bytes);
        EXPECT_LE(request.first.size(), image_first_part_size);
        EXPECT_LE(request.second.size(), image_second_part_size);
        const auto command = decode_rc_command(bytes);
        EXPECT_LE(command.first.size(), rc_first_part_size);
        EXPECT_LE(command.second.size(), rc_second_part_size);

        std::string datagram = seed;
        for (int k = random() % 6; k > 0; --k) {
            const std::size_t at = random() % (datagram.size() + 1);
            switch (random() % 3) {
            case 0: datagram.insert(at, 1, static_cast<char>(random())); break;
            case 1:
                if (at < datagram.size()) datagram.erase(at, 1);
                break;
            default:
                if (at < datagram.size()) datagram[at] = static_cast<char>(random());
                break;
            }
        }
        if (round % 3 == 0) datagram.assign(bytes.begin(), bytes.end());
        const auto d = decide_discovery(datagram, "quillmar_left");
        if (d.what == discovery_decision::action::answer) {
            EXPECT_NE(d.text.find("\"answer\""), std::string::npos);
        }
    }
}

TEST(port_text, leading_digits_in_base_10_of_which_the_low_16_bits_count) {
    const std::pair<std::wstring, std::uint16_t> rows[] = {
        {L"12600", 12600}, {L"", 0}, {L"abc", 0}, {L"80x", 80}, {L"65536", 0}, {L"65537", 1}, {L" 42", 42},
    };
    for (const auto& [text, port] : rows) EXPECT_EQ(port_from_text(text), port) << text.size();
}

TEST(rate_limited_sink, rows_beyond_the_budget_are_counted_commands_always_pass) {
    auto target = std::make_shared<test_support::recording_sink>();
    rate_limited_sink sink(target, 3, 0.0);
    for (int i = 0; i < 10; ++i) sink.post(log_info_message{L"row"});
    sink.post(rc_command_message{1, L""});
    EXPECT_EQ(target->texts(thread_event::log_info).size(), 3u);
    EXPECT_EQ(target->texts(thread_event::rc_command).size(), 1u);
    EXPECT_EQ(sink.dropped_total(), 7u);

    rate_limited_sink refilled(target, 1, 50.0);
    refilled.post(log_error_message{L"a"});
    refilled.post(log_error_message{L"b"});  // dropped: the budget is empty this instant...
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    refilled.post(log_error_message{L"c"});  // ...and refilled now, so the drop is reported first
    const auto infos = target->texts(thread_event::log_info);
    const auto errors = target->texts(thread_event::log_error);
    EXPECT_EQ(errors.front(), L"a");
    EXPECT_EQ(errors.back(), L"c");
    EXPECT_EQ(infos.back(), L"Строк сетевых служб не записано: 1 (слишком много сразу)");
}

}  // namespace
