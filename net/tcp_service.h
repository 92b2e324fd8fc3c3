#pragma once
// tcp_service and tcp_connection: the skeleton the two TCP services (images, remote control)
// share. One listening socket (net/tcp_listener.h), one I/O loop run by a small fixed pool of
// threads, one tcp_connection object per client, kept alive by its own pending handlers
// (shared_from_this), each handler starting the next step: read one whole request, answer it,
// read the next.
//
// A request is exactly request_size bytes, however the peer's sends split them; bytes of the
// next request are never read before the answer to the previous one has left, so one
// connection's answers go out in order and at most one answer per connection is in memory.
// Time-outs measure whole steps, never the gap between bytes, so a peer that dribbles gains
// nothing: a request not complete within `request` of its first byte; an answer not sent and
// received by the peer within `send` of its start; no request begun within `idle`; no complete
// request within `hold` of the connection's start or its previous complete request (0: no
// limit for idle and hold). Each closes the connection and frees its buffers.
//
// An answer counts as taken once the peer's system has acknowledged every byte of it (the
// socket's unacknowledged output is empty): the next request, read once the answer has left,
// is handed over only then, so a peer that does not read gets no new work however many
// requests it sent ahead.
//
// Connection limit: at most max_connections at once. When full, either the connection whose
// last complete request is oldest, among those waiting for one, is closed to admit the new
// one (close_oldest_idle; a connection busy with an answer is never chosen, and when every
// one is busy the newcomer is refused), or nothing more is accepted until one ends (wait;
// later clients stay in the system's listen queue). When accept fails for lack of
// descriptors, the same choice closes one connection to free one, with one row per episode.
//
// Optional worker pool for slow work (image decoding and encoding), so the I/O threads never
// wait for it; its size is fixed. With one request per connection at a time its FIFO queue
// holds at most one job per connection, so a connection gets its next slot only after every
// connection queued before it had its turn.
//
// Ownership: the service owns its threads, the workers, the listener and (through its loop)
// every connection; stop() closes them all and joins every thread. Connections hold the
// shared connection_table, never the service.
// Thread safety: start(), stop(), port(), connections(), answer_bytes() from one controlling
// thread (the last three from any). A connection's handlers run on its own strand only.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include "base/thread_message.h"
#include "net/tcp_listener.h"

struct connection_timeouts {
    std::chrono::milliseconds request{std::chrono::seconds(10)};  // from the first byte of a request
    std::chrono::milliseconds send{std::chrono::seconds(10)};     // for one whole answer, until taken
    std::chrono::milliseconds idle{0};                            // before a request begins; 0: none
    std::chrono::milliseconds hold{0};  // between complete requests (from the start); 0: none
};

class tcp_connection;

// Threads of a service's I/O pool (and of its workers): the cores of this machine, at least 2.
std::size_t default_service_threads();

// The connections of one service, shared by the service and its connections.
// Thread safety: every member from any thread (mutex_ guards entries_ and on_removed_).
class connection_table {
public:
    std::size_t size() const;
    void add(const std::shared_ptr<tcp_connection>& connection);
    void remove(const tcp_connection* connection);  // no-op when already gone
    // Asks the connection waiting for a request whose last complete request (or start) is
    // oldest to close and forgets it; its peer's address, or nothing when every connection is
    // busy.
    std::optional<std::string> close_oldest_idle();
    void close_all();
    // Called (outside the lock) after a connection left the table.
    void on_removed(std::function<void()> callback);

    // Bytes of answers held for sending, all connections together.
    std::atomic<std::size_t> answer_bytes{0};

private:
    mutable std::mutex mutex_;
    struct entry {
        const tcp_connection* address;  // what remove() compares: from a destructor, weak is expired
        std::weak_ptr<tcp_connection> weak;
    };
    std::list<entry> entries_;
    std::function<void()> on_removed_;
};

class tcp_connection : public std::enable_shared_from_this<tcp_connection> {
public:
    virtual ~tcp_connection();
    tcp_connection(const tcp_connection&) = delete;
    tcp_connection& operator=(const tcp_connection&) = delete;

    // Starts reading the first request (on the connection's strand).
    void start();
    // Closes from any thread (the close itself runs on the connection's strand).
    void request_close();
    const std::string& peer() const { return peer_; }

protected:
    tcp_connection(boost::asio::ip::tcp::socket socket, std::string peer, std::size_t request_size,
                   std::shared_ptr<connection_table> table, connection_timeouts timeouts);

    // A whole request is in request(); answer it with send_answer() (at once or later, from
    // the strand), or close().
    virtual void on_request() = 0;
    // The connection ends with `received` bytes of a request (1 to request_size - 1).
    virtual void on_incomplete_request(std::size_t received) = 0;
    // Receiving or sending failed (end of stream and cancellation excepted).
    virtual void on_receive_error(const boost::system::error_code& ec) = 0;
    virtual void on_send_error(const boost::system::error_code& ec) = 0;
    // A time-out is about to close the connection: no request begun in time (idle), or the
    // answer not taken in time (send). A request begun and not completed is reported through
    // on_incomplete_request().
    enum class timeout { idle, send };
    virtual void on_timeout(timeout which) = 0;

    const std::vector<std::uint8_t>& request() const { return request_; }
    // Sends answer (kept until sent or the connection ends), then reads the next request.
    void send_answer(std::vector<std::uint8_t> answer);
    // Whether the peer is still there: false once it has closed or reset its side (or this
    // connection was closed), even when its bytes are still to be read. Any thread: the
    // workers ask right before the expensive step.
    bool peer_still_open();
    void close();
    bool closed() const { return gone_.load(); }
    // Runs f on the connection's strand.
    template <class F>
    void on_strand(F f) {
        boost::asio::post(socket_.get_executor(), std::move(f));
    }

private:
    friend class connection_table;
    enum class phase { idle, request, busy, sending };

    void read_request();
    void read_some();
    void on_bytes(const boost::system::error_code& ec, std::size_t n);
    void arm_timer(std::chrono::milliseconds after);
    void arm_timer_at(std::chrono::steady_clock::time_point deadline);
    // The earlier of now + after (when after > 0) and the hold limit, if any.
    std::optional<std::chrono::steady_clock::time_point> deadline_within(std::chrono::milliseconds after) const;
    // Gives a whole request to on_request() once the peer has taken the previous answer.
    void hand_over(std::chrono::milliseconds poll);
    void release_answer();
    void touch();

    boost::asio::ip::tcp::socket socket_;
    std::string peer_;
    std::shared_ptr<connection_table> table_;
    const connection_timeouts timeouts_;
    boost::asio::steady_timer timer_;
    boost::asio::steady_timer taken_timer_;  // polls until the peer has taken the previous answer
    // Guards the descriptor's closing against peer_still_open() on a worker.
    std::mutex socket_mutex_;
    // Strand only:
    std::chrono::steady_clock::time_point last_complete_;  // start, then each complete request
    std::chrono::steady_clock::time_point answer_started_;
    std::vector<std::uint8_t> request_;
    std::size_t filled_ = 0;
    std::vector<std::uint8_t> answer_;
    phase phase_ = phase::idle;
    std::uint64_t timer_generation_ = 0;
    // Read by the table's eviction from any thread:
    std::atomic<bool> waiting_{false};            // waiting for (the rest of) a request
    std::atomic<std::int64_t> last_activity_{0};  // of the last complete request; steady clock, ns
    std::atomic<bool> gone_{false};
};

class tcp_service {
public:
    enum class when_full { close_oldest_idle, wait };
    struct options {
        std::string bind_address = "0.0.0.0";
        tcp_listener::port_reader read_port;
        std::size_t max_connections = 256;
        when_full full = when_full::close_oldest_idle;
        std::wstring incoming_text;           // row per accepted client, its address appended
        std::wstring unknown_exception_text;  // row when a handler throws something else
        std::size_t io_threads = default_service_threads();
        std::size_t workers = 0;  // 0: no worker pool
        std::string thread_name = "qm-net";  // of the I/O threads; the workers' adds "-w"
    };
    // Makes the connection object for an accepted socket (not started yet).
    using connection_factory = std::function<std::shared_ptr<tcp_connection>(
        boost::asio::ip::tcp::socket socket, std::string peer, std::shared_ptr<connection_table> table)>;

    tcp_service(event_sink_ptr sink, options opts, connection_factory make);
    ~tcp_service();
    tcp_service(const tcp_service&) = delete;
    tcp_service& operator=(const tcp_service&) = delete;

    void start();
    void stop();  // idempotent
    std::uint16_t port() const { return listener_.port(); }
    std::size_t connections() const { return table_->size(); }
    std::size_t answer_bytes() const { return table_->answer_bytes.load(); }
    std::size_t threads() const { return threads_.size() + opts_.workers; }
    // Where slow work goes; only when options::workers > 0.
    boost::asio::thread_pool& workers() { return *workers_; }

private:
    void accept_next();
    void admit(boost::asio::ip::tcp::socket socket);
    void resume_if_room();

    event_sink_ptr sink_;
    options opts_;
    connection_factory make_;
    std::shared_ptr<connection_table> table_ = std::make_shared<connection_table>();
    boost::asio::io_context io_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    tcp_listener listener_;
    std::unique_ptr<boost::asio::thread_pool> workers_;
    std::vector<std::thread> threads_;
    bool paused_ = false;  // listener strand only: full, waiting for a connection to end
    bool stopped_ = false;
};
