#pragma once
// The web service's insides, shared by its two halves: the service with its loop, listener,
// connection table and event ticker (net/web_service.cpp) and one client's connection
// (net/web_connection.cpp). Not for other users: net/web_service.h is the interface.
//
// Ownership: the service owns one core; the core owns the loops (and through them every
// connection); a connection refers to the core, which outlives it (the loops go first).
// Thread safety: as marked at each member.
#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "net/http_routes.h"
#include "net/tcp_listener.h"
#include "net/web_service.h"

namespace web_detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using clock_type = std::chrono::steady_clock;

// A request's header and body limits; no page sends a body, and a command needs none.
inline constexpr std::size_t header_limit = 8 * 1024;
inline constexpr std::size_t body_limit = 16 * 1024;
// A stream further behind than this is not reading: it is closed rather than buffered for.
inline constexpr std::size_t stream_backlog_limit = 4 * 1024 * 1024;
// The first read of a request: a browser's request fits.
inline constexpr std::size_t first_read = 4096;
// How long a connection that answered its last request reads what still comes before it closes.
inline constexpr std::chrono::milliseconds linger_time{1000};

// "event: <name>\ndata: <data>\n\n"; data holds no line break (JSON escapes them).
inline std::shared_ptr<const std::string> make_event(std::string_view name, std::string_view data) {
    std::string text;
    text.reserve(name.size() + data.size() + 16);
    text.append("event: ").append(name).append("\ndata: ").append(data).append("\n\n");
    return std::make_shared<const std::string>(std::move(text));
}

// One client's connection: wait for a request, read its header (and body), answer it (on a
// worker when it reads a database), and again while the client keeps it alive; or, for
// /api/events, an event stream until either side closes.
class web_connection : public std::enable_shared_from_this<web_connection> {
public:
    web_connection(tcp::socket socket, std::string peer, web_service::core& core);
    ~web_connection();
    void start();
    void request_close();
    // Queues an event for a stream (any thread).
    void send_event(std::shared_ptr<const std::string> event);
    bool waiting() const { return waiting_.load(); }
    std::int64_t last_activity() const { return last_activity_.load(); }
    const std::string& peer() const { return peer_; }

private:
    enum class phase { idle, header, body, busy, writing, stream };
    void touch() { last_activity_.store(clock_type::now().time_since_epoch().count()); }
    void arm(std::chrono::milliseconds after);
    void disarm();
    void wait_for_deadline();
    void on_timeout();
    void read_next();
    void read_header();
    void on_header(const boost::system::error_code& ec);
    // A request that could not be read: a word for a malformed one, silence for a peer gone.
    void refuse(const boost::system::error_code& ec);
    void dispatch();
    void send(web_response response);
    void send_file(web_response response, bool keep);
    void send_file_part(bool keep);
    // An answer left (or failed): the next request, or the end.
    void answered(const boost::system::error_code& ec, bool keep);
    void become_stream();
    // A stream's client says nothing more; reading tells when it goes.
    void watch_for_close();
    void queue(std::shared_ptr<const std::string> event);
    void write_front();
    void linger_close();
    void drain();
    void close();

    tcp::socket socket_;
    std::string peer_;
    web_service::core& core_;
    asio::steady_timer timer_;
    // Strand only:
    std::uint64_t generation_ = 0;  // tells a replaced timer wait from the current one
    clock_type::time_point deadline_{};
    bool armed_ = false;          // a step's deadline applies
    bool timer_waiting_ = false;  // a wait of timer_ is pending
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::shared_ptr<web_response> response_;
    std::shared_ptr<const memory_file> file_;  // the frame being sent from its file
    std::uint64_t file_sent_ = 0;
    phase phase_ = phase::idle;
    std::deque<std::shared_ptr<const std::string>> outbox_;
    std::size_t backlog_ = 0;
    bool writing_ = false;
    std::array<char, 256> discard_{};
    // Read by the table from any thread:
    std::atomic<bool> waiting_{false};
    std::atomic<std::int64_t> last_activity_{0};
    std::atomic<bool> gone_{false};
};

}  // namespace web_detail

struct web_service::core {
    using web_connection = web_detail::web_connection;
    using clock_type = web_detail::clock_type;
    using tcp = web_detail::tcp;
    core(event_sink_ptr window, settings_ptr settings_in, options opts_in);

    void accept_next();
    void admit(tcp::socket socket);
    // Moves a connection from the plain ones to the streams, closing the oldest stream when
    // they are full.
    void to_streams(const std::shared_ptr<web_connection>& connection);
    void remove(const web_connection* connection);
    // Closes the plain connection that has waited longest for a request; its peer, or
    // nothing when every one is busy.
    std::optional<std::string> close_oldest_idle();
    void close_all();
    void broadcast(const std::shared_ptr<const std::string>& event);
    std::size_t plain_count() const;
    std::size_t stream_count() const;
    void tick();
    void send_recordings(std::shared_ptr<web_connection> only);

    event_sink_ptr window;  // commands and their rows
    event_sink_ptr rows;    // rate limited
    settings_ptr settings;
    options opts;
    database_registry& registry;
    web_feed feed;
    std::atomic<bool> stopping{false};
    std::atomic<bool> started{false};
    web_routes routes;

    mutable std::mutex table_mutex;  // guards plain and streams
    struct entry {
        const web_connection* at;  // what remove() compares: from a destructor, weak is expired
        std::weak_ptr<web_connection> weak;
    };
    std::list<entry> plain;
    std::list<entry> streams;  // oldest first

    // Ticker strand only:
    std::uint64_t sent_health = ~std::uint64_t{0};
    clock_type::time_point last_health{};
    std::uint64_t sent_generation = 0;
    clock_type::time_point last_recordings{};
    std::uint64_t sent_live = 0;
    std::atomic<bool> building_recordings{false};  // a worker is making the list's event

    // Declared after everything the connections use: destroyed first, with the handlers
    // (and connections) still queued in them.
    boost::asio::io_context io;
    boost::asio::io_context work_io;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> io_guard;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_guard;
    tcp_listener listener;
    boost::asio::strand<boost::asio::io_context::executor_type> ticker_strand;
    boost::asio::steady_timer ticker;  // on ticker_strand
    std::vector<std::thread> threads;  // the controlling thread's: start() and stop()
    bool stopped = false;              // likewise
};
