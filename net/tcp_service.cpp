#include "net/tcp_service.h"

#include "base/error_text.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <future>
#include <limits>

#include <boost/asio/write.hpp>

#include <cerrno>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "base/locale_text.h"
#include "base/thread_name.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// A pool's threads are not ours to start: one job per thread names it, each holding its
// thread until all are named, so no thread takes two.
void name_pool_threads(asio::thread_pool& pool, std::size_t threads, const std::string& name) {
    struct gate {
        std::mutex mutex;
        std::condition_variable all_in;
        std::size_t arrived = 0;
    };
    auto g = std::make_shared<gate>();
    for (std::size_t i = 0; i < threads; ++i)
        asio::post(pool, [g, threads, name] {
            name_this_thread(name);
            std::unique_lock<std::mutex> lock(g->mutex);
            if (++g->arrived == threads) g->all_in.notify_all();
            g->all_in.wait(lock, [&] { return g->arrived == threads; });
        });
}

}  // namespace

std::size_t default_service_threads() { return std::max<std::size_t>(2, std::thread::hardware_concurrency()); }

// ---- connection_table

std::size_t connection_table::size() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return entries_.size();
}

void connection_table::add(const std::shared_ptr<tcp_connection>& connection) {
    std::lock_guard<std::mutex> hold(mutex_);
    entries_.push_back(entry{connection.get(), connection});
}

void connection_table::remove(const tcp_connection* connection) {
    std::function<void()> callback;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        const auto it = std::find_if(entries_.begin(), entries_.end(),
                                     [connection](const entry& e) { return e.address == connection; });
        if (it == entries_.end()) return;
        entries_.erase(it);
        callback = on_removed_;
    }
    if (callback) callback();
}

std::optional<std::string> connection_table::close_oldest_idle() {
    std::shared_ptr<tcp_connection> victim;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        auto chosen = entries_.end();
        std::int64_t oldest = std::numeric_limits<std::int64_t>::max();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            const auto c = it->weak.lock();
            if (!c || c->gone_.load() || !c->waiting_.load()) continue;
            const auto last = c->last_activity_.load();
            if (last < oldest) {
                oldest = last;
                chosen = it;
                victim = c;
            }
        }
        if (!victim) return std::nullopt;
        entries_.erase(chosen);
    }
    victim->request_close();
    return victim->peer();
}

void connection_table::close_all() {
    std::vector<std::shared_ptr<tcp_connection>> all;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        for (const auto& e : entries_)
            if (auto c = e.weak.lock()) all.push_back(std::move(c));
    }
    for (const auto& c : all) c->request_close();
}

void connection_table::on_removed(std::function<void()> callback) {
    std::lock_guard<std::mutex> hold(mutex_);
    on_removed_ = std::move(callback);
}

// ---- tcp_connection

tcp_connection::tcp_connection(tcp::socket socket, std::string peer, std::size_t request_size,
                               std::shared_ptr<connection_table> table, connection_timeouts timeouts)
    : socket_(std::move(socket)),
      peer_(std::move(peer)),
      table_(std::move(table)),
      timeouts_(timeouts),
      timer_(socket_.get_executor()),
      taken_timer_(socket_.get_executor()),
      last_complete_(std::chrono::steady_clock::now()),
      request_(request_size) {
    touch();
}

tcp_connection::~tcp_connection() {
    table_->answer_bytes -= answer_.size();
    table_->remove(this);
}

void tcp_connection::start() {
    on_strand([self = shared_from_this()] { self->read_request(); });
}

void tcp_connection::request_close() {
    on_strand([self = shared_from_this()] { self->close(); });
}

void tcp_connection::touch() { last_activity_.store(std::chrono::steady_clock::now().time_since_epoch().count()); }

void tcp_connection::arm_timer(std::chrono::milliseconds after) {
    if (after.count() <= 0) {
        ++timer_generation_;
        timer_.cancel();
        return;
    }
    arm_timer_at(std::chrono::steady_clock::now() + after);
}

std::optional<std::chrono::steady_clock::time_point> tcp_connection::deadline_within(
    std::chrono::milliseconds after) const {
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (after.count() > 0) deadline = std::chrono::steady_clock::now() + after;
    if (timeouts_.hold.count() > 0) {
        const auto held = last_complete_ + timeouts_.hold;
        if (!deadline || held < *deadline) deadline = held;
    }
    return deadline;
}

void tcp_connection::arm_timer_at(std::chrono::steady_clock::time_point deadline) {
    // The generation tells a wait that was already due when re-armed from the current one.
    const std::uint64_t generation = ++timer_generation_;
    timer_.expires_at(deadline);
    timer_.async_wait([self = shared_from_this(), generation](const boost::system::error_code& ec) {
        if (ec || self->gone_.load() || generation != self->timer_generation_) return;
        switch (self->phase_) {
        case phase::idle: self->on_timeout(timeout::idle); break;
        case phase::request: self->on_incomplete_request(self->filled_); break;
        case phase::sending: self->on_timeout(timeout::send); break;
        case phase::busy: return;  // no time-out while the answer is being made
        }
        self->close();
    });
}

void tcp_connection::read_request() {
    if (gone_.load()) return;
    filled_ = 0;
    phase_ = phase::idle;
    waiting_.store(true);
    if (const auto deadline = deadline_within(timeouts_.idle))
        arm_timer_at(*deadline);
    else
        arm_timer(std::chrono::milliseconds(0));
    read_some();
}

void tcp_connection::read_some() {
    // Never more than the rest of this request: the next one stays unread until this is answered.
    socket_.async_read_some(
        asio::buffer(request_.data() + filled_, request_.size() - filled_),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) { self->on_bytes(ec, n); });
}

void tcp_connection::on_bytes(const boost::system::error_code& ec, std::size_t n) {
    if (gone_.load()) return;
    if (ec) {
        if (filled_ > 0)
            on_incomplete_request(filled_);
        else if (ec != asio::error::eof && ec != asio::error::operation_aborted)
            on_receive_error(ec);
        close();
        return;
    }
    if (filled_ == 0 && n > 0) {
        // From the first byte on, the whole request has one deadline: later bytes never extend it.
        phase_ = phase::request;
        if (const auto deadline = deadline_within(timeouts_.request))
            arm_timer_at(*deadline);
        else
            arm_timer(std::chrono::milliseconds(0));
    }
    filled_ += n;
    if (filled_ < request_.size()) {
        read_some();
        return;
    }
    // Only whole requests count as activity, so a dribbling peer never looks busier than one
    // that keeps its connection open between requests.
    last_complete_ = std::chrono::steady_clock::now();
    touch();
    waiting_.store(false);
    hand_over(std::chrono::milliseconds(1));
}

void tcp_connection::hand_over(std::chrono::milliseconds poll) {
    if (gone_.load()) return;
    // A client that sends the next request after reading the answer has acknowledged all of
    // it by then (its request carries the acknowledgement), so it never waits here.
    int unacknowledged = 0;
    if (::ioctl(socket_.native_handle(), SIOCOUTQ, &unacknowledged) != 0 || unacknowledged <= 0) {
        phase_ = phase::busy;
        arm_timer(std::chrono::milliseconds(0));
        on_request();
        return;
    }
    if (phase_ != phase::sending) {
        // Still the previous answer's time: its send time-out runs on from when it began.
        phase_ = phase::sending;
        if (timeouts_.send.count() > 0)
            arm_timer_at(answer_started_ + timeouts_.send);
        else
            arm_timer(std::chrono::milliseconds(0));
    }
    taken_timer_.expires_after(poll);
    taken_timer_.async_wait([self = shared_from_this(), poll](const boost::system::error_code& ec) {
        if (ec || self->gone_.load()) return;
        self->hand_over(std::min<std::chrono::milliseconds>(poll * 2, std::chrono::milliseconds(20)));
    });
}

void tcp_connection::send_answer(std::vector<std::uint8_t> answer) {
    if (gone_.load()) return;
    answer_ = std::move(answer);
    table_->answer_bytes += answer_.size();
    answer_started_ = std::chrono::steady_clock::now();
    phase_ = phase::sending;
    arm_timer(timeouts_.send);
    asio::async_write(socket_, asio::buffer(answer_),
                      [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                          self->release_answer();
                          if (self->gone_.load()) return;
                          if (ec) {
                              if (ec != asio::error::operation_aborted) self->on_send_error(ec);
                              self->close();
                              return;
                          }
                          self->read_request();
                      });
}

void tcp_connection::release_answer() {
    table_->answer_bytes -= answer_.size();
    std::vector<std::uint8_t>().swap(answer_);
}

bool tcp_connection::peer_still_open() {
    std::lock_guard<std::mutex> hold(socket_mutex_);
    if (gone_.load() || !socket_.is_open()) return false;
    std::uint8_t next = 0;
    const ssize_t n = ::recv(socket_.native_handle(), &next, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return true;    // more bytes waiting: the peer is there
    if (n == 0) return false;  // closed its side
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

void tcp_connection::close() {
    if (gone_.exchange(true)) return;
    ++timer_generation_;
    timer_.cancel();
    taken_timer_.cancel();
    {
        std::lock_guard<std::mutex> hold(socket_mutex_);
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }
    table_->remove(this);
    // The pending handlers now complete as cancelled, release their hold, and the object goes.
}

// ---- tcp_service

tcp_service::tcp_service(event_sink_ptr sink, options opts, connection_factory make)
    : sink_(std::move(sink)),
      opts_(std::move(opts)),
      make_(std::move(make)),
      listener_(io_, sink_, opts_.read_port, opts_.bind_address) {
    if (opts_.workers > 0) {
        workers_ = std::make_unique<asio::thread_pool>(opts_.workers);
        name_pool_threads(*workers_, opts_.workers, opts_.thread_name + "-w");
    }
    table_->on_removed([this] { asio::post(listener_.executor(), [this] { resume_if_room(); }); });
    listener_.on_no_descriptors([this] { return table_->close_oldest_idle().has_value(); });
}

tcp_service::~tcp_service() { stop(); }

void tcp_service::start() {
    if (!threads_.empty() || stopped_) return;
    work_.emplace(io_.get_executor());
    listener_.bind_now();
    asio::post(listener_.executor(), [this] { accept_next(); });
    for (std::size_t i = 0; i < std::max<std::size_t>(1, opts_.io_threads); ++i)
        threads_.emplace_back([this] {
            name_this_thread(opts_.thread_name);
            // A handler that throws is reported; the thread goes on running the loop.
            for (;;) {
                try {
                    io_.run();
                    return;
                } catch (const std::exception& e) {
                    post_log_error(sink_, to_wide(e.what()));
                } catch (...) {
                    post_log_error(sink_, opts_.unknown_exception_text);
                }
            }
        });
}

void tcp_service::accept_next() {
    listener_.accept_one([this](tcp::socket socket) { admit(std::move(socket)); });
}

void tcp_service::admit(tcp::socket socket) {
    boost::system::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec) {
        post_log_error(sink_, error_text(ec));
        accept_next();
        return;
    }
    const std::string peer = endpoint.address().to_string();
    if (table_->size() >= opts_.max_connections && opts_.full == when_full::close_oldest_idle) {
        // Idle connections must never lock out a client that asks for something.
        if (const auto old = table_->close_oldest_idle()) {
            post_log_info(sink_, L"Слишком много соединений, закрыто дольше всех бездействующее: " + to_wide(*old));
        } else {
            post_log_error(sink_, L"Слишком много соединений, отказано: " + to_wide(peer));
            accept_next();
            return;  // the socket closes here
        }
    }
    post_log_info(sink_, opts_.incoming_text + to_wide(peer));
    try {
        auto connection = make_(std::move(socket), peer, table_);
        table_->add(connection);
        connection->start();
    } catch (const std::exception& e) {  // this client is lost, the listener goes on
        post_log_error(sink_, to_wide(e.what()));
    }
    if (opts_.full == when_full::wait && table_->size() >= opts_.max_connections)
        paused_ = true;  // resume_if_room() takes up accepting again
    else
        accept_next();
}

void tcp_service::resume_if_room() {
    if (!paused_ || table_->size() >= opts_.max_connections) return;
    paused_ = false;
    accept_next();
}

void tcp_service::stop() {
    if (stopped_) return;
    stopped_ = true;
    if (threads_.empty()) {
        listener_.close();  // nothing runs: safe here
        return;
    }
    // The listener first, on its strand, so that no connection is admitted after close_all().
    std::promise<void> closed;
    asio::post(listener_.executor(), [this, &closed] {
        listener_.close();
        closed.set_value();
    });
    closed.get_future().wait();
    table_->close_all();
    if (workers_) workers_->join();  // jobs still queued see their connection closed and skip
    work_.reset();
    for (auto& t : threads_) t.join();
    table_->on_removed(nullptr);
}
