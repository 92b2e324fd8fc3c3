// The image data service against real sockets on 127.0.0.1, with the OpenCV pipeline as the
// measure of every answer.
#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include <opencv2/imgcodecs.hpp>

#include "database/frame_image.h"
#include "database/database_maintenance.h"
#include "database/database_registry.h"
#include "database/recording_database.h"
#include "net/img_service.h"
#include "net/png_pipeline.h"
#include "net/service_client.h"
#include "settings/settings_keys.h"
#include "tests/net/net_test_util.h"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

class img_service_test : public net_test::service_fixture<img_service> {
protected:
    std::shared_ptr<const png_pipeline> pipeline = make_opencv_png_pipeline();
    database_registry registry;
    recording_database live;  // the recording in progress

    // The service on loopback over this fixture's registry, recording and pipeline, started.
    void start_service() {
        img_service::options o;
        o.bind_address = "127.0.0.1";
        o.pipeline = pipeline;
        o.registry = &registry;
        o.live = &live;
        service = std::make_unique<img_service>(sink, settings, o);
        service->start();
    }
    void start() {
        if (!settings->has(settings_keys::data_service_port))
            settings->write_text(settings_keys::data_service_port, L"0");
        start_service();
        ASSERT_NE(service->port(), 0);
    }
    // Gone before the registry, recording and pipeline it reads, which this class owns.
    void TearDown() override { service.reset(); }
    fs::path add(const std::string& name, const std::string& session,
                 std::initializer_list<std::pair<std::uint32_t, int>> frames) {
        const auto path = dir.path() / name;
        registry.add(net_test::record(path, session, frames), path.wstring());
        return path;
    }
    bytes png_of_stored(const fs::path& db, std::uint32_t count) {
        const auto png = pipeline->from_stored(net_test::stored_at(db, count));
        return bytes(png.begin(), png.end());
    }
    bytes placeholder(const std::string& text) {
        const auto png = pipeline->from_image(make_placeholder_frame(text));
        return bytes(png.begin(), png.end());
    }
};

TEST_F(img_service_test, named_requests_match_first_colon_second_within_the_odometer_range) {
    const auto ab = add("ab", "A : B", {{100, 1}, {150, 2}, {200, 3}});
    const auto empty = add("empty", "", {{5, 4}});
    const auto first = add("first", "S : 1", {{10, 5}, {30, 6}});
    add("second", "S : 1", {{10, 7}, {30, 8}});  // overlaps "first", later in the registry
    start();
    struct row {
        image_request request;
        bytes expected;
    };
    const row rows[] = {
        {{"A", "B", 100}, png_of_stored(ab, 100)},
        {{"A", "B", 120}, png_of_stored(ab, 150)},  // at or after the count
        {{"A", "B", 200}, png_of_stored(ab, 200)},
        {{"A", "B", 99}, placeholder("Requested frame not found [A : B:99]")},
        {{"A", "B", 201}, placeholder("Requested frame not found [A : B:201]")},
        {{"A", "C", 150}, placeholder("Requested frame not found [A : C:150]")},
        {{"A ", "B", 150}, placeholder("Requested frame not found [A  : B:150]")},
        {{"", "B", 5}, png_of_stored(empty, 5)},  // empty first part: the empty session code
        {{"S", "1", 20}, png_of_stored(first, 30)},
    };
    service_connection client("127.0.0.1", service->port());
    for (const auto& r : rows) {
        const auto png = client.fetch(r.request);  // also checks the prefix: exactly N bytes follow
        EXPECT_EQ(png, r.expected) << r.request.first << "|" << r.request.second << "|" << r.request.count;
    }
    EXPECT_EQ(cv::imdecode(client.fetch({"A", "B", 100}), cv::IMREAD_UNCHANGED).channels(), 3);
    const auto grey = cv::imdecode(client.fetch({"A", "B", 1}), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(grey.channels(), 1);
    EXPECT_EQ(grey.size(), cv::Size(640, 480));
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
}

TEST_F(img_service_test, no_session_reads_the_recording_in_progress_or_answers_four_zero_bytes) {
    start();
    service_connection client("127.0.0.1", service->port());
    const auto folder = dir.path() / "live";
    live.open(folder.wstring());
    live.store_frame(db_test::test_frame(9), 20, 1714566645);
    const auto expected = pipeline->from_stored(*live.read_stored(20));
    EXPECT_EQ(client.fetch({"ignored", "", 15}), bytes(expected.begin(), expected.end()));
    EXPECT_EQ(client.fetch({"", "", 21}), placeholder("Requested frame not found [21]"));
    live.close(std::string("x : y"), L"левый");
    client.send(encode_image_request({"", "", 20}));
    EXPECT_EQ(client.receive(4), (bytes{0, 0, 0, 0}));
    EXPECT_FALSE(client.wait_closed(std::chrono::milliseconds(50)));  // nothing more follows
}

TEST_F(img_service_test, a_database_that_cannot_be_opened_is_logged_and_answered_with_zero_bytes) {
    ldb_info info;
    info.session = L"X : Y";
    info.dpp_start = 0;
    info.dpp_end = 10;
    registry.add(info, (dir.path() / "gone").wstring());
    start();
    service_connection client("127.0.0.1", service->port());
    EXPECT_TRUE(client.fetch({"X", "Y", 5}).empty());
    EXPECT_TRUE(client.fetch({"X", "Y", 5}).empty());  // the connection stays open
    const auto errors = sink->texts(thread_event::log_error);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find(L"does not exist"), std::wstring::npos);
}

TEST_F(img_service_test, a_database_deleted_after_serving_a_frame_is_answered_as_not_found) {
    struct yes_ui : maintenance_ui {
        std::vector<std::wstring> errors;
        bool confirm(const std::wstring&, const std::wstring&) override { return true; }
        std::optional<std::wstring> choose_archive_path(const std::wstring&) override { return {}; }
        std::optional<std::wstring> enter_text(const std::wstring&, const std::wstring&, const std::wstring&) override {
            return {};
        }
        void message(const std::wstring&) override {}
        void log_error(const std::wstring& text) override { errors.push_back(text); }
        void begin_busy(const std::wstring&) override {}
        void end_busy() override {}
    } ui;
    const auto db = add("served", "D : 1", {{100, 1}, {105, 2}});
    start();
    service_connection client("127.0.0.1", service->port());
    EXPECT_EQ(client.fetch({"D", "1", 100}), png_of_stored(db, 100));

    EXPECT_TRUE(delete_database(db.wstring(), registry, ui));
    EXPECT_FALSE(fs::exists(db));
    EXPECT_TRUE(ui.errors.empty());
    EXPECT_EQ(client.fetch({"D", "1", 105}), placeholder("Requested frame not found [D : 1:105]"));
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
}

TEST_F(img_service_test, a_request_arriving_in_pieces_is_answered_once_when_whole) {
    const auto ab = add("ab", "A : B", {{0, 1}, {150, 2}});
    start();
    const auto full = encode_image_request({"A", "B", 150});
    const auto expected = png_of_stored(ab, 150);
    const auto expected_0 = png_of_stored(ab, 0);
    service_connection bytewise("127.0.0.1", service->port());
    for (std::size_t i = 0; i < full.size(); ++i) {
        bytewise.send(std::span(full).subspan(i, 1));  // one byte per segment
        if (i % 128 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(bytewise.fetch_answer(), expected);
    service_connection split("127.0.0.1", service->port());
    split.send(std::span(full).first(36));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    split.send(std::span(full).subspan(36));
    EXPECT_EQ(split.fetch_answer(), expected);
    // One answer each and nothing after it; the connections go on serving whole requests.
    EXPECT_FALSE(bytewise.wait_closed(std::chrono::milliseconds(100)));
    EXPECT_EQ(bytewise.fetch({"A", "B", 0}), expected_0);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
}

TEST_F(img_service_test, an_incomplete_request_is_reported_and_closed_after_the_time_limit_since_its_first_byte) {
    add("ab", "A : B", {{0, 1}});
    settings->write_text(settings_keys::data_service_port, L"0");
    img_service::options o;
    o.bind_address = "127.0.0.1";
    o.pipeline = pipeline;
    o.registry = &registry;
    o.timeouts.request = std::chrono::milliseconds(400);
    service = std::make_unique<img_service>(sink, settings, o);
    service->start();
    service_connection client("127.0.0.1", service->port());
    const auto full = encode_image_request({"A", "B", 0});
    // A second byte before the limit does not extend it: the whole request has one limit.
    const auto first = std::chrono::steady_clock::now();
    client.send(std::span(full).first(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    try {
        client.send(std::span(full).subspan(1, 1));
    } catch (const std::runtime_error&) {  // a slow machine: already closed
    }
    EXPECT_TRUE(client.wait_closed(std::chrono::seconds(5)));  // closed, no answer
    EXPECT_LT(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(650));
    EXPECT_EQ(sink->texts(thread_event::log_error), (std::vector<std::wstring>{L"Неверный размер запроса"}));
    EXPECT_TRUE(net_test::wait_count(*sink, thread_event::log_info, L"Соединение закрыто", 1));
}

TEST_F(img_service_test, a_hundred_clients_one_after_another_each_get_their_answer) {
    const auto ab = add("ab", "A : B", {{100, 1}});
    start();
    const auto expected = png_of_stored(ab, 100);
    for (int i = 0; i < 100; ++i) {
        service_connection client("127.0.0.1", service->port());
        ASSERT_EQ(client.fetch({"A", "B", 100}), expected) << i;
    }
    EXPECT_TRUE(net_test::wait_count(*sink, thread_event::log_info, L"Соединение закрыто", 100));
    EXPECT_EQ(net_test::count_of(*sink, thread_event::log_info, L"Входящее соединение от: 127.0.0.1"), 100u);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
}

TEST_F(img_service_test, twenty_clients_at_once_on_one_database_are_all_answered) {
    const auto ab = add("ab", "A : B", {{100, 1}, {200, 2}});
    start();
    const auto expected = png_of_stored(ab, 200);
    std::vector<std::unique_ptr<service_connection>> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(std::make_unique<service_connection>("127.0.0.1", service->port()));
    std::vector<std::future<bytes>> answers;
    for (auto& c : clients)
        answers.push_back(std::async(std::launch::async, [&c] {
            bytes last;
            for (int k = 0; k < 3; ++k) last = c->fetch({"A", "B", 150});
            return last;
        }));
    for (auto& a : answers) EXPECT_EQ(a.get(), expected);
    EXPECT_EQ(service->connections(), 20u);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
    clients.clear();
    EXPECT_TRUE(net_test::wait_count(*sink, thread_event::log_info, L"Соединение закрыто", 20));
}

TEST_F(img_service_test, a_changed_port_is_listened_on_from_the_next_accepted_connection) {
    add("ab", "A : B", {{100, 1}});
    start();
    const std::uint16_t old_port = service->port();
    const std::uint16_t new_port = net_test::free_port();
    settings->write_text(settings_keys::data_service_port, std::to_wstring(new_port));
    EXPECT_EQ(service->port(), old_port);  // nothing changes before a connection comes
    service_connection first("127.0.0.1", old_port);
    EXPECT_FALSE(first.fetch({"A", "B", 100}).empty());
    EXPECT_EQ(service->port(), new_port);
    EXPECT_THROW(service_connection("127.0.0.1", old_port, std::chrono::seconds(2)), std::runtime_error);
    service_connection second("127.0.0.1", new_port);
    EXPECT_FALSE(second.fetch({"A", "B", 100}).empty());
    EXPECT_FALSE(first.fetch({"A", "B", 100}).empty());  // the earlier connection goes on
}

TEST_F(img_service_test, a_port_in_use_is_reported_once_and_the_service_listens_once_the_setting_is_mended) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
    settings->write_text(settings_keys::data_service_port, std::to_wstring(taken.local_endpoint().port()));
    start_service();
    EXPECT_EQ(service->port(), 0);
    ASSERT_EQ(sink->texts(thread_event::log_error), (std::vector<std::wstring>{L"bind: Address already in use"}));
    settings->write_text(settings_keys::data_service_port, L"0");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (service->port() == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(service->port(), 0);
    service_connection client("127.0.0.1", service->port());
    EXPECT_TRUE(client.fetch({"", "", 1}).empty());
    EXPECT_EQ(sink->texts(thread_event::log_error).size(), 1u);
}

}  // namespace
