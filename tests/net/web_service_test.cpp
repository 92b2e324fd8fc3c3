// The web service against real sockets on 127.0.0.1: names, stored frames, the token rule,
// time-outs, idle connections and the event stream; and the plain pieces behind it.
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <opencv2/imgcodecs.hpp>

#include "base/locale_text.h"
#include "database/database_registry.h"
#include "net/http_names.h"
#include "net/http_routes.h"
#include "net/network_services.h"
#include "net/web_json.h"
#include "net/web_service.h"
#include "settings/settings_keys.h"
#include "tests/net/net_test_util.h"

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

struct reply {
    int status = 0;
    http::response<http::string_body> message;
};

tcp::socket connect_to(asio::io_context& io, std::uint16_t port) {
    tcp::socket s(io);
    s.connect({asio::ip::make_address_v4("127.0.0.1"), port});
    return s;
}

// One request on a connection of its own; the answer read whole (headers only for HEAD).
reply ask(std::uint16_t port, const std::string& method, const std::string& target,
          const std::vector<std::pair<std::string, std::string>>& fields = {}) {
    asio::io_context io;
    auto s = connect_to(io, port);
    std::string raw = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const auto& [name, value] : fields) raw += name + ": " + value + "\r\n";
    raw += method == "POST" ? "Content-Length: 0\r\n\r\n" : "\r\n";
    asio::write(s, asio::buffer(raw));
    boost::beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    if (method == "HEAD") parser.skip(true);
    http::read(s, buffer, parser);
    reply r;
    r.message = parser.release();
    r.status = static_cast<int>(r.message.result_int());
    return r;
}

std::string field(const reply& r, http::field f) {
    const auto v = r.message[f];
    return std::string(v.data(), v.size());
}

class web_service_test : public net_test::service_fixture<web_service> {
protected:
    database_registry registry;

    void start(web_service::options o = {}) {
        o.bind_address = "127.0.0.1";
        o.port = 0;
        o.registry = &registry;
        o.tick = 50ms;
        service = std::make_unique<web_service>(sink, settings, o);
        service->start();
        ASSERT_NE(service->port(), 0);
    }
    std::filesystem::path add(const std::string& name, const std::string& session,
                              std::initializer_list<std::pair<std::uint32_t, int>> frames) {
        const auto path = dir.path() / name;
        registry.add(net_test::record(path, session, frames), path.wstring());
        if (service) service->recordings_changed();
        return path;
    }
    void TearDown() override { service.reset(); }
    std::uint16_t port() const { return service->port(); }
};

TEST(web_names, folder_names_refuse_whatever_could_leave_the_folder) {
    const std::string long_name(256, 'a');
    struct row {
        std::string segment;
        std::optional<std::wstring> name;
    };
    const row rows[] = {
        {"2024-05-01%2012-00-00", L"2024-05-01 12-00-00"},
        {"%D0%B7%D0%B0%D0%BF%D0%B8%D1%81%D1%8C", L"запись"},
        {std::string(255, 'a'), std::wstring(255, L'a')},
        {"..", std::nullopt},
        {"%2e%2e", std::nullopt},
        {"%2E", std::nullopt},
        {"a%2Fb", std::nullopt},
        {"%2Fetc", std::nullopt},
        {"a%5Cb", std::nullopt},
        {"%00", std::nullopt},
        {"a%00b", std::nullopt},
        {"a%0Ab", std::nullopt},
        {"", std::nullopt},
        {long_name, std::nullopt},
        {"%zz", std::nullopt},
        {"a%4", std::nullopt},
        {"%", std::nullopt},
        {"%C3%28", std::nullopt},     // a lead byte without its continuation
        {"%C0%AF", std::nullopt},     // overlong '/'
        {"%ED%A0%80", std::nullopt},  // a surrogate
        {"%F4%90%80%80", std::nullopt},  // past U+10FFFF
        {"%FF", std::nullopt},
    };
    for (const auto& r : rows) EXPECT_EQ(folder_name_from_url(r.segment), r.name) << r.segment;

    EXPECT_EQ(count_from_url("0000000100"), 100u);
    EXPECT_EQ(count_from_url("4294967295"), 4294967295u);
    for (const char* bad : {"", "4294967296", "12a", "-1", "+1", "00000000001"}) EXPECT_FALSE(count_from_url(bad)) << bad;
    EXPECT_EQ(folder_name_of(L"/data/запись 1/"), L"запись 1");
}

TEST(web_json, health_is_escaped_utf8_with_known_levels_only) {
    web_health h;
    h.lamp = L"ЗАПИСЬ";
    h.lamp_level = "good";
    h.cells = {{L"Сеанс", L"А \"1\"\\\n\x01", "amber", L"подсказка"}, {L"Диск", L"1,5 ГБ", "purple", L""}};
    h.frames_stored = 42;
    h.recording = true;
    EXPECT_EQ(health_json(h),
              "{\"lamp\":\"ЗАПИСЬ\",\"lamp_level\":\"good\",\"cells\":["
              "{\"label\":\"Сеанс\",\"value\":\"А \\\"1\\\"\\\\\\n\\u0001\",\"level\":\"amber\",\"tip\":\"подсказка\"},"
              "{\"label\":\"Диск\",\"value\":\"1,5 ГБ\",\"level\":\"normal\",\"tip\":\"\"}],"
              "\"frames_stored\":42,\"recording\":true}");
    EXPECT_EQ(counts_json({1, 5}, 0.8, true), "{\"counts\":[1,5],\"scale\":0.8,\"show_scale\":true}");
}

TEST(web_token, comparison_needs_every_byte_and_a_set_token) {
    EXPECT_TRUE(web_routes::same_token("секрет-1", "секрет-1"));
    for (const char* given : {"", "секрет-", "секрет-2", "секрет-11", "СЕКРЕТ-1"})
        EXPECT_FALSE(web_routes::same_token(given, "секрет-1")) << given;
    EXPECT_FALSE(web_routes::same_token("", ""));
}

TEST(web_feed_test, live_frames_are_taken_only_while_watched_and_at_most_four_a_second) {
    web_feed feed;
    const cv::Mat frame(48, 64, CV_8UC1, cv::Scalar(7));
    const auto t0 = web_feed::clock::now();
    EXPECT_FALSE(feed.offer_live(frame, t0));  // nobody watches
    feed.watched(t0);
    EXPECT_TRUE(feed.offer_live(frame, t0));
    feed.encode_taken();
    EXPECT_FALSE(feed.offer_live(frame, t0 + 100ms));  // within the interval
    EXPECT_TRUE(feed.offer_live(frame, t0 + 300ms));
    EXPECT_FALSE(feed.offer_live(frame, t0 + 600ms));  // the last one is not encoded yet
    feed.encode_taken();
    EXPECT_FALSE(feed.offer_live(frame, t0 + web_feed::watch_window + 1s));  // the page went away
    EXPECT_EQ(feed.live().sequence, 2u);
    const std::string jpeg = *feed.live().jpeg;
    EXPECT_EQ(cv::imdecode(std::vector<uchar>(jpeg.begin(), jpeg.end()), cv::IMREAD_GRAYSCALE).size(), frame.size());
}

TEST_F(web_service_test, bad_names_are_refused_and_listed_ones_answer) {
    // Listed only: a recording's page needs no database, and names never reach the disk.
    registry.add(ldb_info{}, to_wide(dir.str()) + L"/запись 1");
    const auto outside = dir.path().parent_path() / "elsewhere";
    start();
    struct row {
        std::string target;
        int status;
    };
    const row rows[] = {
        {"/recordings/%D0%B7%D0%B0%D0%BF%D0%B8%D1%81%D1%8C%201", 200},
        {"/recordings/%D0%B7%D0%B0%D0%BF%D0%B8%D1%81%D1%8C%201/", 200},
        {"/recordings/nothing-here", 404},
        {"/recordings/..", 400},
        {"/recordings/%2e%2e", 400},
        {"/recordings/..%2Felsewhere", 400},
        {"/recordings/%2F" + outside.filename().string(), 400},
        {"/recordings/a%00b", 400},
        {"/recordings/" + std::string(300, 'a'), 400},
        {"/recordings/%zz", 400},
        {"/recordings/%C3%28", 400},
        {"/recordings/%2e%2e/frames/10.jpg", 400},
        {"/api/recordings/%2e%2e/frames", 400},
        {"/recordings/%D0%B7%D0%B0%D0%BF%D0%B8%D1%81%D1%8C%201/frames/abc.jpg", 400},
        {"/recordings/%D0%B7%D0%B0%D0%BF%D0%B8%D1%81%D1%8C%201/frames/10.png", 404},
        {"/static/../../etc/passwd", 404},
        {"/nowhere", 404},
    };
    for (const auto& r : rows) EXPECT_EQ(ask(port(), "GET", r.target).status, r.status) << r.target;
    EXPECT_EQ(ask(port(), "DELETE", "/").status, 405);
    EXPECT_EQ(ask(port(), "GET", "/").status, 200);
    EXPECT_EQ(ask(port(), "GET", "/recordings").status, 200);
}

TEST_F(web_service_test, frames_are_the_stored_bytes_with_etag_304_and_head) {
    const auto path = add("rec", "S : 1", {{100, 1}, {150, 2}, {200, 3}});
    start();
    const std::string url = "/recordings/rec/frames/150.jpg";
    const reply full = ask(port(), "GET", url);
    ASSERT_EQ(full.status, 200);
    EXPECT_EQ(full.message.body(), net_test::stored_at(path, 150));
    EXPECT_EQ(field(full, http::field::content_type), "image/jpeg");
    EXPECT_EQ(field(full, http::field::cache_control), "public, max-age=31536000, immutable");
    const std::string etag = field(full, http::field::etag);
    ASSERT_FALSE(etag.empty());
    EXPECT_NE(etag, field(ask(port(), "GET", "/recordings/rec/frames/100.jpg"), http::field::etag));

    const reply again = ask(port(), "GET", url, {{"If-None-Match", etag}});
    EXPECT_EQ(again.status, 304);
    EXPECT_TRUE(again.message.body().empty());
    EXPECT_EQ(ask(port(), "GET", url, {{"If-None-Match", "\"other\""}}).status, 200);

    const reply head = ask(port(), "HEAD", url);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(field(head, http::field::content_length), std::to_string(full.message.body().size()));
    EXPECT_EQ(field(head, http::field::etag), etag);

    EXPECT_EQ(ask(port(), "GET", "/recordings/rec/frames/120.jpg").status, 404);  // no frame at that count
    EXPECT_EQ(ask(port(), "GET", "/api/recordings/rec/frames").message.body(),
              "{\"counts\":[100,150,200],\"scale\":0.8,\"show_scale\":true}");
    const std::string list = ask(port(), "GET", "/api/recordings").message.body();
    EXPECT_NE(list.find("\"folder\":\"rec\",\"session\":\"S : 1\",\"side\":\"левый\",\"frames\":3,"
                        "\"first_count\":100,\"last_count\":200"),
              std::string::npos)
        << list;
}

TEST_F(web_service_test, commands_need_the_set_token_in_the_header) {
    start();
    EXPECT_EQ(ask(port(), "POST", "/api/record/start").status, 404);  // read-only: no token set
    settings->write_text(settings_keys::web_control_token, L"верный-ключ");
    const std::string right = encode_utf8(L"верный-ключ");
    struct row {
        std::string target;
        std::vector<std::pair<std::string, std::string>> fields;
        int status;
    };
    const row rows[] = {
        {"/api/record/start", {}, 403},
        {"/api/record/start", {{"X-Quillmar-Token", "неверный"}}, 403},
        {"/api/record/start?token=" + right, {}, 403},
        {"/api/record/start?X-Quillmar-Token=" + right, {}, 403},
        {"/api/record/start", {{"X-Quillmar-Token", right}}, 202},
        {"/api/record/stop", {{"X-Quillmar-Token", right}}, 202},
        {"/api/capture/start", {{"X-Quillmar-Token", right}}, 202},
        {"/api/nothing", {{"X-Quillmar-Token", right}}, 405},
        {"/api/health", {{"X-Quillmar-Token", right}}, 405},
        {"/nowhere", {{"X-Quillmar-Token", right}}, 404},
    };
    for (const auto& r : rows) EXPECT_EQ(ask(port(), "POST", r.target, r.fields).status, r.status) << r.target;
    std::vector<int> codes;
    for (const auto& m : sink->messages())
        if (const auto* c = std::get_if<rc_command_message>(&m)) codes.push_back(c->code);
    EXPECT_EQ(codes, (std::vector<int>{web_commands::record, web_commands::stop, web_commands::capture}));
    for (const auto kind : {thread_event::log_info, thread_event::log_error})
        for (const auto& t : sink->texts(kind)) EXPECT_EQ(t.find(L"верный-ключ"), std::wstring::npos) << t;
    EXPECT_EQ(net_test::count_of(*sink, thread_event::log_info, L"Веб-команда «начать запись» от: 127.0.0.1"), 1u);
}

TEST_F(web_service_test, pipelined_requests_are_answered_in_order_and_a_huge_header_is_refused) {
    start();
    asio::io_context io;
    auto s = connect_to(io, port());
    asio::write(s, asio::buffer(std::string("GET /api/health HTTP/1.1\r\nHost: x\r\n\r\n"
                                            "GET /nowhere HTTP/1.1\r\nHost: x\r\n\r\n"
                                            "GET /api/recordings HTTP/1.1\r\nHost: x\r\n\r\n")));
    boost::beast::flat_buffer buffer;
    for (const unsigned status : {200u, 404u, 200u}) {
        http::response<http::string_body> r;
        http::read(s, buffer, r);
        EXPECT_EQ(r.result_int(), status);
    }
    EXPECT_EQ(ask(port(), "GET", "/", {{"X-Filler", std::string(20000, 'x')}}).status, 431);
}

TEST_F(web_service_test, event_streams_count_apart_and_the_oldest_gives_way) {
    web_service::options o;
    o.max_streams = 2;
    start(o);
    asio::io_context io;
    std::vector<tcp::socket> streams;
    for (int i = 0; i < 3; ++i) {
        streams.push_back(connect_to(io, port()));
        asio::write(streams.back(), asio::buffer(std::string("GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")));
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (service->streams() < std::min(i + 1, 2) + 0u && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(5ms);
    }
    // The first stream ends: reading it reaches the end after its events.
    boost::system::error_code ec;
    std::string seen;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!ec && std::chrono::steady_clock::now() < until) {
        char chunk[4096];
        seen.append(chunk, streams[0].read_some(asio::buffer(chunk), ec));
    }
    EXPECT_EQ(ec, asio::error::eof);
    EXPECT_EQ(service->streams(), 2u);
    EXPECT_EQ(service->connections(), 0u);
}

TEST_F(web_service_test, a_client_that_stops_mid_header_is_closed_after_its_time_out) {
    web_service::options o;
    o.timeouts.header = 300ms;
    start(o);
    asio::io_context io;
    auto s = connect_to(io, port());
    asio::write(s, asio::buffer(std::string("GET / HTTP/1.1\r\nHost: x\r\n")));
    const auto began = std::chrono::steady_clock::now();
    char byte = 0;
    boost::system::error_code ec;
    s.read_some(asio::buffer(&byte, 1), ec);  // returns at the close
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_TRUE(ec == asio::error::eof || ec == asio::error::connection_reset) << ec.message();
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 3s);
}

TEST_F(web_service_test, three_hundred_idle_connections_do_not_lock_out_a_request) {
    web_service::options o;
    o.max_connections = 32;
    start(o);
    asio::io_context io;
    std::vector<tcp::socket> idle;
    for (int i = 0; i < 300; ++i) idle.push_back(connect_to(io, port()));
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(port(), "GET", "/api/health").status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
    EXPECT_LE(service->connections(), 32u);
}

TEST_F(web_service_test, the_event_stream_delivers_health_and_live_news) {
    start();
    asio::io_context io;
    auto s = connect_to(io, port());
    asio::write(s, asio::buffer(std::string("GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")));
    web_health h;
    h.lamp = L"ЗАПИСЬ";
    h.lamp_level = "good";
    h.frames_stored = 7;
    service->publish_health(h);
    // A page watches the live picture; the next frame offered is encoded and announced.
    EXPECT_EQ(ask(port(), "GET", "/live.jpg").status, 503);
    service->publish_live(cv::Mat(48, 64, CV_8UC1, cv::Scalar(90)));
    std::string seen;
    const auto until = std::chrono::steady_clock::now() + 5s;
    s.non_blocking(true);
    while (std::chrono::steady_clock::now() < until &&
           (seen.find("\"lamp\":\"ЗАПИСЬ\"") == std::string::npos || seen.find("event: live\ndata: 1") == std::string::npos)) {
        char chunk[4096];
        boost::system::error_code ec;
        const std::size_t n = s.read_some(asio::buffer(chunk), ec);
        if (ec == asio::error::would_block) std::this_thread::sleep_for(10ms);
        else if (ec) break;
        seen.append(chunk, n);
    }
    EXPECT_NE(seen.find("text/event-stream"), std::string::npos);
    EXPECT_NE(seen.find("event: health\ndata: {\"lamp\":\"ЗАПИСЬ\",\"lamp_level\":\"good\""), std::string::npos) << seen;
    EXPECT_NE(seen.find("event: recordings\ndata: []"), std::string::npos);
    EXPECT_NE(seen.find("event: live\ndata: 1"), std::string::npos);
    EXPECT_EQ(service->streams(), 1u);
    const reply live = ask(port(), "GET", "/live.jpg");
    ASSERT_EQ(live.status, 200);
    EXPECT_EQ(field(live, http::field::cache_control), "no-store");
    const cv::Mat decoded = cv::imdecode(std::vector<uchar>(live.message.body().begin(), live.message.body().end()),
                                         cv::IMREAD_GRAYSCALE);
    EXPECT_EQ(decoded.size(), cv::Size(64, 48));
}

TEST_F(web_service_test, the_program_starts_it_unless_its_port_is_0_and_says_where) {
    network_services::options o;
    o.discovery_port = 0;
    o.bind_address = "127.0.0.1";
    o.registry = &registry;
    settings->write_text(settings_keys::data_service_port, L"0");
    settings->write_text(settings_keys::web_service_port, L"0");
    EXPECT_EQ(network_services(sink, settings, o).web(), nullptr);  // off
    o.web_port = 0;  // the test runs' override: on, at a port of the system's choice
    network_services services(sink, settings, o);
    ASSERT_NE(services.web(), nullptr);
    const std::wstring row = L"Веб-сервис: http://127.0.0.1:" + std::to_wstring(services.web()->port()) + L"/";
    EXPECT_EQ(net_test::count_of(*sink, thread_event::log_info, row), 1u);
    EXPECT_EQ(ask(services.web()->port(), "GET", "/api/health").status, 200);
}

}  // namespace
