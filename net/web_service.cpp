#include "net/web_service.h"

#include <future>
#include <limits>
#include <stdexcept>

#include <boost/asio/post.hpp>

#include "base/locale_text.h"
#include "database/database_registry.h"
#include "net/rate_limited_sink.h"
#include "net/service_loop.h"
#include "net/web_core.h"
#include "settings/settings_keys.h"

using namespace web_detail;

namespace {

// Health events: at most one per this, and at least one per second (the page's 2 s promise).
constexpr std::chrono::milliseconds health_least_gap{200};
constexpr std::chrono::milliseconds health_most_gap{1000};
// The list is at most this often rebuilt for the streams (a scan adds recordings one by one).
constexpr std::chrono::milliseconds recordings_least_gap{1000};

database_registry& registry_of(const web_service::options& opts) {
    if (!opts.registry) throw std::invalid_argument("web_service: no database registry");
    return *opts.registry;
}

}  // namespace

// ---- core

web_service::core::core(event_sink_ptr window_in, settings_ptr settings_in, options opts_in)
    : window(std::move(window_in)),
      rows(std::make_shared<rate_limited_sink>(window)),
      settings(std::move(settings_in)),
      opts(std::move(opts_in)),
      registry(registry_of(opts)),
      routes(web_routes::context{registry, settings, feed, rows, window, stopping}),
      listener(io, rows,
               opts.port ? tcp_listener::port_reader([port = *opts.port] { return port; })
                         : tcp_listener::from_setting(settings, settings_keys::web_service_port,
                                                      settings_defaults::web_service_port),
               opts.bind_address),
      ticker_strand(asio::make_strand(io)),
      ticker(ticker_strand) {
    listener.on_no_descriptors([this] { return close_oldest_idle().has_value(); });
}

void web_service::core::accept_next() {
    listener.accept_one([this](tcp::socket socket) { admit(std::move(socket)); });
}

void web_service::core::admit(tcp::socket socket) {
    boost::system::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec) {
        accept_next();
        return;
    }
    const std::string peer = endpoint.address().to_string();
    if (plain_count() >= opts.max_connections) {
        // Idle keep-alive connections must never lock out a client that asks for something.
        if (const auto old = close_oldest_idle()) {
            post_log_info(rows, L"Слишком много веб-соединений, закрыто дольше всех бездействующее: " + to_wide(*old));
        } else {
            post_log_error(rows, L"Слишком много веб-соединений, отказано: " + to_wide(peer));
            accept_next();
            return;  // the socket closes here
        }
    }
    try {
        auto connection = std::make_shared<web_connection>(std::move(socket), peer, *this);
        {
            std::lock_guard<std::mutex> hold(table_mutex);
            plain.push_back(entry{connection.get(), connection});
        }
        connection->start();
    } catch (const std::exception& e) {  // this client is lost, the listener goes on
        post_log_error(rows, to_wide(e.what()));
    }
    accept_next();
}

void web_service::core::to_streams(const std::shared_ptr<web_connection>& connection) {
    std::shared_ptr<web_connection> oldest;
    {
        std::lock_guard<std::mutex> hold(table_mutex);
        plain.remove_if([&](const entry& e) { return e.at == connection.get(); });
        if (streams.size() >= opts.max_streams && !streams.empty()) {
            oldest = streams.front().weak.lock();
            streams.pop_front();
        }
        streams.push_back(entry{connection.get(), connection});
    }
    if (oldest) {
        post_log_info(rows, L"Слишком много потоков событий, закрыт самый старый: " + to_wide(oldest->peer()));
        oldest->request_close();
    }
}

void web_service::core::remove(const web_connection* connection) {
    std::lock_guard<std::mutex> hold(table_mutex);
    plain.remove_if([&](const entry& e) { return e.at == connection; });
    streams.remove_if([&](const entry& e) { return e.at == connection; });
}

std::optional<std::string> web_service::core::close_oldest_idle() {
    std::shared_ptr<web_connection> victim;
    {
        std::lock_guard<std::mutex> hold(table_mutex);
        auto chosen = plain.end();
        std::int64_t oldest = std::numeric_limits<std::int64_t>::max();
        for (auto it = plain.begin(); it != plain.end(); ++it) {
            auto c = it->weak.lock();
            if (!c || !c->waiting()) continue;
            if (c->last_activity() < oldest) {
                oldest = c->last_activity();
                chosen = it;
                victim = std::move(c);
            }
        }
        if (!victim) return std::nullopt;
        plain.erase(chosen);
    }
    victim->request_close();
    return victim->peer();
}

void web_service::core::close_all() {
    std::vector<std::shared_ptr<web_connection>> all;
    {
        std::lock_guard<std::mutex> hold(table_mutex);
        for (const auto* list : {&plain, &streams})
            for (const auto& e : *list)
                if (auto c = e.weak.lock()) all.push_back(std::move(c));
    }
    for (const auto& c : all) c->request_close();
}

void web_service::core::broadcast(const std::shared_ptr<const std::string>& event) {
    std::vector<std::shared_ptr<web_connection>> all;
    {
        std::lock_guard<std::mutex> hold(table_mutex);
        for (const auto& e : streams)
            if (auto c = e.weak.lock()) all.push_back(std::move(c));
    }
    for (const auto& c : all) c->send_event(event);
}

std::size_t web_service::core::plain_count() const {
    std::lock_guard<std::mutex> hold(table_mutex);
    return plain.size();
}

std::size_t web_service::core::stream_count() const {
    std::lock_guard<std::mutex> hold(table_mutex);
    return streams.size();
}

void web_service::core::send_recordings(std::shared_ptr<web_connection> only) {
    // The registry's copy and the JSON are a worker's job, not the sockets'.
    asio::post(work_io, [this, only = std::move(only)] {
        try {
            const auto event = make_event("recordings", routes.recordings_now());
            if (only)
                only->send_event(event);
            else
                broadcast(event);
        } catch (const std::exception& e) {
            post_log_error(rows, to_wide(e.what()));
        }
        if (!only) building_recordings.store(false);
    });
}

void web_service::core::tick() {
    if (stopping) return;
    const auto now = clock_type::now();
    const bool anyone = stream_count() > 0;
    const auto health = feed.health();
    if ((health.version != sent_health && now - last_health >= health_least_gap) ||
        now - last_health >= health_most_gap) {
        sent_health = health.version;
        last_health = now;
        if (anyone) broadcast(make_event("health", *health.json));
    }
    const std::uint64_t generation = feed.recordings_generation();
    if (generation != sent_generation && now - last_recordings >= recordings_least_gap &&
        !building_recordings.load()) {
        sent_generation = generation;
        last_recordings = now;
        if (anyone) {
            building_recordings.store(true);
            send_recordings(nullptr);
        }
    }
    const auto live = feed.live();
    if (live.sequence != sent_live) {
        sent_live = live.sequence;
        if (anyone) broadcast(make_event("live", std::to_string(live.sequence)));
    }
    ticker.expires_after(opts.tick);
    ticker.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) tick();
    });
}

// ---- web_service

web_service::web_service(event_sink_ptr sink, settings_ptr settings, options opts)
    : core_(std::make_unique<core>(std::move(sink), std::move(settings), std::move(opts))) {}

web_service::~web_service() { stop(); }

void web_service::start() {
    core& c = *core_;
    if (!c.threads.empty() || c.stopped) return;
    c.io_guard.emplace(c.io.get_executor());
    c.work_guard.emplace(c.work_io.get_executor());
    c.listener.bind_now();
    asio::post(c.listener.executor(), [&c] { c.accept_next(); });
    asio::post(c.ticker_strand, [&c] { c.tick(); });
    const std::wstring unknown = L"Неизвестная ошибка в веб-сервисе";
    for (std::size_t i = 0; i < std::max<std::size_t>(1, c.opts.io_threads); ++i)
        c.threads.push_back(start_service_loop(c.io, c.rows, unknown, "qm-web"));
    // The pages' JPEG encoding and database reads wait behind the recording's encoders (nice 5).
    for (std::size_t i = 0; i < std::max<std::size_t>(1, c.opts.workers); ++i)
        c.threads.push_back(start_service_loop(c.work_io, c.rows, unknown, "qm-web-w", 10));
    c.started.store(true);
}

void web_service::stop() {
    core& c = *core_;
    if (c.stopped) return;
    c.stopped = true;
    c.stopping.store(true);
    c.started.store(false);
    if (c.threads.empty()) {
        c.listener.close();  // nothing runs: safe here
        return;
    }
    // The listener and the ticker first, on their strands, so nothing new starts after
    // close_all().
    std::promise<void> closed;
    asio::post(c.listener.executor(), [&c, &closed] {
        c.listener.close();
        closed.set_value();
    });
    closed.get_future().wait();
    std::promise<void> quiet;
    asio::post(c.ticker_strand, [&c, &quiet] {
        c.ticker.cancel();
        quiet.set_value();
    });
    quiet.get_future().wait();
    c.close_all();
    c.work_guard.reset();
    c.io_guard.reset();
    // Workers first (started last): their answers go back to the loop, which runs until then.
    for (auto t = c.threads.rbegin(); t != c.threads.rend(); ++t) t->join();
    c.threads.clear();
}

std::uint16_t web_service::port() const { return core_->listener.port(); }
std::size_t web_service::connections() const { return core_->plain_count(); }
std::size_t web_service::streams() const { return core_->stream_count(); }

void web_service::publish_health(web_health health) { core_->feed.publish_health(std::move(health)); }

void web_service::publish_live(const cv::Mat& frame) {
    core& c = *core_;
    if (!c.started.load()) return;
    if (!c.feed.offer_live(frame, web_feed::clock::now())) return;
    asio::post(c.work_io, [&c] {
        try {
            c.feed.encode_taken();
        } catch (const std::exception& e) {
            post_log_error(c.rows, L"Веб-сервис: живой кадр не закодирован: " + to_wide(e.what()));
        }
    });
}

void web_service::recordings_changed() { core_->feed.recordings_changed(); }
