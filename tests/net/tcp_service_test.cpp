// What the shared TCP skeleton guarantees, through the two services on 127.0.0.1: whole
// requests, time-outs, one client at a time for remote control, the connection limit, one
// answer in memory per connection, answers in order, a slow encoder that holds up no other
// connection, and a stop that closes everything.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>

#include <boost/asio/write.hpp>
#include <mutex>

#include "database/database_registry.h"
#include "net/img_service.h"
#include "net/png_pipeline.h"
#include "net/rate_limited_sink.h"
#include "net/rc_service.h"
#include "net/service_client.h"
#include "settings/settings_keys.h"
#include "tests/net/net_test_util.h"

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;

// Answers every image with `size` bytes of `fill`; while held, the first call waits for release().
class scripted_pipeline : public png_pipeline {
public:
    explicit scripted_pipeline(std::size_t size, bool hold_first = false) : size_(size), holding_(hold_first) {}
    std::vector<unsigned char> from_stored(std::string_view) const override { return answer(); }
    std::vector<unsigned char> from_image(const cv::Mat&) const override { return answer(); }
    // Waits until the first call has begun.
    bool wait_entered() const {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, 10s, [this] { return calls_ > 0; });
    }
    void release() const {
        std::lock_guard<std::mutex> hold(mutex_);
        holding_ = false;
        changed_.notify_all();
    }

private:
    std::vector<unsigned char> answer() const {
        std::unique_lock<std::mutex> hold(mutex_);
        const unsigned char fill = static_cast<unsigned char>(++calls_);
        changed_.notify_all();
        if (calls_ == 1) changed_.wait_for(hold, 10s, [this] { return !holding_; });
        return std::vector<unsigned char>(size_, fill);
    }
    const std::size_t size_;
    mutable std::mutex mutex_;  // guards holding_ and calls_
    mutable std::condition_variable changed_;
    mutable bool holding_;
    mutable int calls_ = 0;
};

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class image_skeleton : public net_test::service_fixture<img_service> {
protected:
    database_registry registry;

    void start(std::shared_ptr<const png_pipeline> pipeline, img_service::options o = {}) {
        settings->write_text(settings_keys::data_service_port, L"0");
        o.bind_address = "127.0.0.1";
        o.pipeline = std::move(pipeline);
        o.registry = &registry;
        service = std::make_unique<img_service>(sink, settings, o);
        service->start();
        ASSERT_NE(service->port(), 0);
    }
    // Gone before the registry it reads, which this class owns.
    void TearDown() override { service.reset(); }
    std::unique_ptr<service_connection> connect() {
        return std::make_unique<service_connection>("127.0.0.1", service->port());
    }
};

TEST_F(image_skeleton, answers_to_requests_sent_at_once_come_back_whole_and_in_order) {
    const auto path = dir.path() / "ab";
    registry.add(net_test::record(path, "A : B", {{10, 1}, {20, 2}, {30, 3}, {40, 4}}), path.wstring());
    std::shared_ptr<const png_pipeline> pipeline = make_fast_png_pipeline();
    std::vector<bytes> expected;
    for (std::uint32_t count : {40u, 10u, 30u, 20u}) {
        const auto png = pipeline->from_stored(net_test::stored_at(path, count));
        expected.emplace_back(png.begin(), png.end());
    }
    start(pipeline);
    auto client = connect();
    bytes all;
    for (std::uint32_t count : {40u, 10u, 30u, 20u}) {
        const auto one = encode_image_request({"A", "B", count});
        all.insert(all.end(), one.begin(), one.end());
    }
    client->send(all);
    for (const auto& e : expected) EXPECT_EQ(client->fetch_answer(), e);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
}

TEST_F(image_skeleton, a_slow_encoding_holds_up_no_other_connection) {
    auto pipeline = std::make_shared<scripted_pipeline>(100, true);
    img_service::options o;
    o.io_threads = 1;
    o.workers = 2;
    start(pipeline, o);
    auto slow = connect();
    slow->send(encode_image_request({"X", "Y", 1}));  // its encoding waits for release()
    ASSERT_TRUE(pipeline->wait_entered());
    auto quick = connect();
    EXPECT_EQ(quick->fetch({"X", "Y", 2}), bytes(100, 2));
    pipeline->release();
    EXPECT_EQ(slow->fetch_answer(), bytes(100, 1));
}

TEST_F(image_skeleton, at_the_limit_the_longest_idle_connection_makes_room_for_a_new_client) {
    img_service::options o;
    o.max_connections = 3;
    start(std::make_shared<scripted_pipeline>(10), o);
    std::vector<std::unique_ptr<service_connection>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(connect());
        ASSERT_TRUE(eventually([&] { return service->connections() == idle.size(); }));
    }
    const auto request = encode_image_request({"X", "Y", 1});
    idle[1]->send(std::span(request).first(10));  // a request begun is not yet activity
    auto client = connect();
    EXPECT_EQ(client->fetch({"X", "Y", 1}), bytes(10, 1));
    EXPECT_TRUE(idle[0]->wait_closed(5s));  // the longest idle one
    EXPECT_FALSE(idle[2]->wait_closed(50ms));
    EXPECT_FALSE(idle[1]->wait_closed(50ms));
    EXPECT_EQ(service->connections(), 3u);
    EXPECT_EQ(net_test::count_of(*sink, thread_event::log_info,
                                 L"Слишком много соединений, закрыто дольше всех бездействующее: 127.0.0.1"),
              1u);
}

TEST_F(image_skeleton, clients_that_never_read_hold_one_answer_each_until_the_send_time_limit_frees_it) {
    constexpr std::size_t answer = 8u << 20;  // far more than the socket buffers take
    img_service::options o;
    o.timeouts.send = 500ms;
    start(std::make_shared<scripted_pipeline>(answer), o);
    std::vector<std::unique_ptr<service_connection>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connect());
        bytes three;
        for (int k = 0; k < 3; ++k) {
            const auto one = encode_image_request({"X", "Y", 1});
            three.insert(three.end(), one.begin(), one.end());
        }
        clients.back()->send(three);  // and never reads
    }
    // One answer each in memory, never more, whatever they asked for.
    ASSERT_TRUE(eventually([&] { return service->answer_bytes() == 4 * (answer + 4); }, 2s)) << service->answer_bytes();
    EXPECT_TRUE(eventually([&] { return service->answer_bytes() == 0 && service->connections() == 0; }));
    for (auto& c : clients) EXPECT_TRUE(c->wait_closed(5s));  // reads what the buffers held, then the end
    EXPECT_EQ(net_test::count_of(*sink, thread_event::log_error, L"Ответ не забран вовремя, соединение закрыто"), 4u);
    EXPECT_TRUE(net_test::wait_count(*sink, thread_event::log_info, L"Соединение закрыто", 4));
}

TEST_F(image_skeleton, stop_closes_every_connection_and_returns_with_all_of_them_gone) {
    start(std::make_shared<scripted_pipeline>(10));
    auto idle = connect();
    auto partial = connect();
    const auto request = encode_image_request({"X", "Y", 1});
    partial->send(std::span(request).first(100));
    auto served = connect();
    EXPECT_EQ(served->fetch({"X", "Y", 1}), bytes(10, 1));
    ASSERT_TRUE(eventually([&] { return service->connections() == 3; }));
    service->stop();
    EXPECT_EQ(service->connections(), 0u);
    EXPECT_EQ(net_test::count_of(*sink, thread_event::log_info, L"Соединение закрыто"), 3u);
    for (auto* c : {idle.get(), partial.get(), served.get()}) EXPECT_TRUE(c->wait_closed(2s));
}

// Every call costs `cost` of sleeping (so a loaded machine's cores do not decide the outcome),
// except that while held, calls wait for release() at no cost.
class costly_pipeline : public png_pipeline {
public:
    costly_pipeline(std::chrono::milliseconds cost, std::size_t size) : cost_(cost), size_(size) {}
    std::vector<unsigned char> from_stored(std::string_view) const override { return answer(); }
    std::vector<unsigned char> from_image(const cv::Mat&) const override { return answer(); }
    void hold() const {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = true;
    }
    bool wait_waiting(int n) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return waiting_ >= n; });
    }
    void release() const {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }
    int calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    std::vector<unsigned char> answer() const {
        std::unique_lock<std::mutex> lock(mutex_);
        ++calls_;
        if (held_) {
            ++waiting_;
            changed_.notify_all();
            changed_.wait_for(lock, 10s, [this] { return !held_; });
            --waiting_;
        } else {
            lock.unlock();
            std::this_thread::sleep_for(cost_);
        }
        return std::vector<unsigned char>(size_, 7);
    }
    const std::chrono::milliseconds cost_;
    const std::size_t size_;
    mutable std::mutex mutex_;  // guards held_, waiting_, calls_
    mutable std::condition_variable changed_;
    mutable bool held_ = false;
    mutable int waiting_ = 0;
    mutable int calls_ = 0;
};

TEST_F(image_skeleton, requests_of_clients_that_reset_at_once_do_not_hold_up_a_client_that_waits) {
    auto pipeline = std::make_shared<costly_pipeline>(40ms, 10);
    img_service::options o;
    o.workers = 2;
    start(pipeline, o);
    auto waiting = connect();
    std::vector<std::chrono::steady_clock::duration> alone;
    for (int i = 0; i < 3; ++i) {
        const auto begun = std::chrono::steady_clock::now();
        ASSERT_EQ(waiting->fetch({"X", "Y", 1}), bytes(10, 7));
        alone.push_back(std::chrono::steady_clock::now() - begun);
    }
    std::sort(alone.begin(), alone.end());
    // Both workers held, so that all 200 requests are queued before any is taken.
    pipeline->hold();
    auto plug_a = connect(), plug_b = connect();
    plug_a->send(encode_image_request({"X", "Y", 1}));
    plug_b->send(encode_image_request({"X", "Y", 1}));
    ASSERT_TRUE(pipeline->wait_waiting(2));
    boost::asio::io_context io;
    const auto request = encode_image_request({"X", "Y", 1});
    for (int i = 0; i < 200; ++i) {
        boost::asio::ip::tcp::socket reset(io);
        reset.connect({boost::asio::ip::make_address_v4("127.0.0.1"), service->port()});
        boost::asio::write(reset, boost::asio::buffer(request));
        reset.set_option(boost::asio::socket_base::linger(true, 0));
        reset.close();  // a reset, not an orderly end
    }
    std::this_thread::sleep_for(300ms);  // for the service to read them all
    const auto begun = std::chrono::steady_clock::now();
    waiting->send(request);
    pipeline->release();
    EXPECT_EQ(waiting->fetch_answer(), bytes(10, 7));
    const auto with_resets = std::chrono::steady_clock::now() - begun;
    EXPECT_LE(with_resets, 2 * alone[1]) << std::chrono::duration<double>(with_resets).count() << " s against "
                                         << std::chrono::duration<double>(alone[1]).count() << " s alone";
}

TEST_F(image_skeleton, a_client_that_does_not_read_its_answer_gets_no_new_work_until_it_does) {
    // Far more than a receive buffer that is never read takes, far less than the send buffer.
    constexpr std::size_t size = 1u << 20;
    auto pipeline = std::make_shared<costly_pipeline>(0ms, size);
    start(pipeline);
    auto client = connect();
    bytes three;
    for (int k = 0; k < 3; ++k) {
        const auto one = encode_image_request({"X", "Y", 1});
        three.insert(three.end(), one.begin(), one.end());
    }
    client->send(three);
    ASSERT_TRUE(eventually([&] { return pipeline->calls() == 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(pipeline->calls(), 1);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(client->fetch_answer().size(), size);
    EXPECT_EQ(pipeline->calls(), 3);
}

TEST_F(image_skeleton, at_the_limit_a_client_that_dribbles_bytes_goes_before_one_that_completed_a_request_later) {
    img_service::options o;
    o.max_connections = 2;
    start(std::make_shared<scripted_pipeline>(10), o);
    auto keeper = connect();
    ASSERT_TRUE(eventually([&] { return service->connections() == 1; }));
    auto dribbler = connect();
    ASSERT_TRUE(eventually([&] { return service->connections() == 2; }));
    EXPECT_EQ(keeper->fetch({"X", "Y", 1}), bytes(10, 1));  // completed after the dribbler came
    const auto request = encode_image_request({"X", "Y", 1});
    for (std::size_t i = 0; i < 5; ++i) {  // newer bytes, but no complete request
        dribbler->send(std::span(request).subspan(i, 1));
        std::this_thread::sleep_for(20ms);
    }
    auto client = connect();
    EXPECT_EQ(client->fetch({"X", "Y", 1}), bytes(10, 2));
    EXPECT_TRUE(dribbler->wait_closed(5s));
    EXPECT_FALSE(keeper->wait_closed(50ms));
}

class rc_skeleton : public net_test::service_fixture<rc_service> {
protected:
    void start(connection_timeouts timeouts) {
        settings->write_text(settings_keys::rc_service_port, L"0");
        service = std::make_unique<rc_service>(sink, settings, rc_service::options{"127.0.0.1", timeouts});
        service->start();
        ASSERT_NE(service->port(), 0);
    }
    void TearDown() override {
        if (service) service->stop();
    }
    std::vector<int> codes() const {
        std::vector<int> out;
        for (const auto& m : sink->messages())
            if (const auto* c = std::get_if<rc_command_message>(&m)) out.push_back(c->code);
        return out;
    }
};

TEST_F(rc_skeleton, a_command_split_in_two_sends_is_carried_out_once) {
    start({2s, 2s, 2s});
    service_connection client("127.0.0.1", service->port());
    const auto full = encode_rc_command({3, "A", "B"});
    client.send(std::span(full).first(1000));
    std::this_thread::sleep_for(20ms);
    client.send(std::span(full).subspan(1000));
    EXPECT_EQ(client.receive(rc_reply_size), bytes(rc_reply_size, 0));
    client.command({2, "", ""});
    EXPECT_EQ(codes(), (std::vector<int>{3, 2}));
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
}

TEST_F(rc_skeleton, an_idle_client_is_dropped_and_the_next_one_is_served) {
    start({2s, 2s, 300ms});
    service_connection idle("127.0.0.1", service->port());
    service_connection next("127.0.0.1", service->port());  // waits in the listen queue
    next.send(encode_rc_command({1, "", ""}));
    EXPECT_TRUE(idle.wait_closed(5s));
    EXPECT_EQ(next.receive(rc_reply_size), bytes(rc_reply_size, 0));
    EXPECT_EQ(codes(), (std::vector<int>{1}));
    EXPECT_EQ(net_test::count_of(*sink, thread_event::log_info, L"Клиент управления бездействует, соединение закрыто"), 1u);
}

TEST_F(rc_skeleton, a_command_whose_client_left_before_it_was_read_is_not_carried_out) {
    start({2s, 2s, 2s});
    auto first = std::make_unique<service_connection>("127.0.0.1", service->port());
    first->command({2, "", ""});
    {
        service_connection gave_up("127.0.0.1", service->port());  // queued behind the first
        gave_up.send(encode_rc_command({1, "", ""}));
    }  // and gone
    first.reset();
    EXPECT_TRUE(net_test::wait_count(*sink, thread_event::log_info, L"Соединение управления закрыто", 2));
    service_connection later("127.0.0.1", service->port());
    later.command({3, "", ""});
    EXPECT_EQ(codes(), (std::vector<int>{2, 3}));
    EXPECT_EQ(net_test::count_of(*sink, thread_event::log_info,
                                 L"Клиент управления отключился до чтения команды, команда не выполнена"),
              1u);
}

TEST_F(rc_skeleton, a_client_without_a_complete_command_loses_remote_control_within_the_limits) {
    struct row {
        const char* what;
        std::chrono::milliseconds before_first_byte;
        std::chrono::milliseconds between_bytes;  // each gap shorter than the idle and request limits
    };
    const row rows[] = {
        {"one byte more often than the limits, from the start", 0ms, 300ms},
        {"silent almost to the idle limit, then dribbling", 400ms, 300ms},
    };
    // request, send, idle, hold: 500 ms each, standing for the 10 s of the program.
    start({500ms, 500ms, 500ms, 500ms});
    const auto command = encode_rc_command({1, "", ""});
    for (const auto& r : rows) {
        service_connection holder("127.0.0.1", service->port());
        service_connection next("127.0.0.1", service->port());  // waits in the listen queue
        next.send(command);
        const auto connected = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(r.before_first_byte);
        bool closed = false;
        for (std::size_t i = 0; i < 12 && !closed; ++i) {  // bounded: 12 bytes at most
            try {
                holder.send(std::span(command).subspan(i, 1));
            } catch (const std::runtime_error&) {
                break;
            }
            closed = holder.wait_closed(r.between_bytes);
        }
        EXPECT_TRUE(closed || holder.wait_closed(1s)) << r.what;
        // Within the hold limit of connecting: never one more limit for a late first byte.
        EXPECT_LT(std::chrono::steady_clock::now() - connected, 800ms) << r.what;
        EXPECT_EQ(next.receive(rc_reply_size), bytes(rc_reply_size, 0)) << r.what;
    }
    EXPECT_TRUE(eventually([&] { return codes().size() == std::size(rows); }));
    EXPECT_EQ(codes(), std::vector<int>(std::size(rows), 1));
}

TEST(rate_limited_sink, rows_a_peer_can_trigger_are_bounded_per_hour_and_a_day_of_flood_stays_small) {
    auto target = std::make_shared<test_support::recording_sink>();
    auto now = std::chrono::steady_clock::time_point{};
    rate_limited_sink sink(target, 200, 20.0, 600, [&now] { return now; });
    // A day of a steady flood, 20 rows a second, each second's worth at once.
    for (int second = 0; second < 24 * 3600; ++second) {
        now += 1s;
        for (int i = 0; i < 20; ++i) sink.post(log_error_message{L"Слишком много соединений, отказано: 127.0.0.1"});
    }
    const auto rows = target->messages().size();
    EXPECT_LE(rows, 24u * 601u);
    EXPECT_GE(rows, 23u * 600u);  // still logging every hour, not silenced for good
    const auto reports = target->texts(thread_event::log_info);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(),
              L"Строк сетевых служб не записано: " + std::to_wstring(72000 - 600 + 1) + L" (слишком много за час)");
    sink.post(rc_command_message{1, L""});  // commands are never held back
    EXPECT_EQ(target->texts(thread_event::rc_command).size(), 1u);
}

}  // namespace
