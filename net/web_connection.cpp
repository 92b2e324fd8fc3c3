#include "net/web_core.h"

#include <cerrno>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <sys/sendfile.h>
#include <sys/socket.h>

#include "base/locale_text.h"

namespace web_detail {

web_connection::web_connection(tcp::socket socket, std::string peer, web_service::core& core)
    : socket_(std::move(socket)),
      peer_(std::move(peer)),
      core_(core),
      timer_(socket_.get_executor()),
      buffer_(header_limit + body_limit) {
    // An answer's last small segment must not wait for the client's delayed acknowledgement.
    boost::system::error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    touch();
}

web_connection::~web_connection() { core_.remove(this); }

void web_connection::start() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->read_next(); });
}

void web_connection::request_close() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->close(); });
}

void web_connection::send_event(std::shared_ptr<const std::string> event) {
    asio::post(socket_.get_executor(), [self = shared_from_this(), event = std::move(event)]() mutable {
        self->queue(std::move(event));
    });
}

// One timer for every step: moving the deadline later costs nothing (the wait, when it ends
// early, waits again for the rest); only an earlier deadline re-sets it.
void web_connection::arm(std::chrono::milliseconds after) {
    deadline_ = clock_type::now() + after;
    armed_ = true;
    if (!timer_waiting_ || deadline_ < timer_.expiry()) wait_for_deadline();
}

void web_connection::disarm() { armed_ = false; }

void web_connection::wait_for_deadline() {
    const std::uint64_t generation = ++generation_;
    timer_waiting_ = true;
    timer_.expires_at(deadline_);
    timer_.async_wait([self = shared_from_this(), generation](const boost::system::error_code& ec) {
        if (generation != self->generation_) return;  // replaced by an earlier deadline
        self->timer_waiting_ = false;
        if (ec || self->gone_ || !self->armed_) return;
        if (clock_type::now() < self->deadline_)
            self->wait_for_deadline();
        else
            self->on_timeout();
    });
}

void web_connection::on_timeout() {
    const std::wstring who = to_wide(peer_);
    switch (phase_) {
    case phase::header:
    case phase::body:
        post_log_info(core_.rows, L"Веб-клиент не прислал запрос вовремя, соединение закрыто: " + who);
        break;
    case phase::writing:
        post_log_info(core_.rows, L"Веб-клиент не забрал ответ вовремя, соединение закрыто: " + who);
        break;
    case phase::stream:
        post_log_info(core_.rows, L"Веб-клиент не забирает события, поток закрыт: " + who);
        break;
    case phase::idle:
    case phase::busy: break;  // an idle keep-alive connection simply ends
    }
    close();
}

void web_connection::read_next() {
    if (gone_) return;
    parser_.emplace();
    parser_->header_limit(header_limit);
    parser_->body_limit(body_limit);
    if (buffer_.size() > 0) {  // the next request came with the previous one
        read_header();
        return;
    }
    phase_ = phase::idle;
    waiting_.store(true);
    arm(core_.opts.timeouts.idle);
    // The first bytes in one read: usually the whole request, which the parser then takes
    // from the buffer without waiting again.
    socket_.async_read_some(buffer_.prepare(first_read),
                            [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                                if (self->gone_) return;
                                if (ec) {
                                    self->close();
                                    return;
                                }
                                self->buffer_.commit(n);
                                self->read_header();
                            });
}

void web_connection::read_header() {
    // From the first byte on, the whole header has one deadline: dribbling gains nothing.
    waiting_.store(false);
    phase_ = phase::header;
    arm(core_.opts.timeouts.header);
    http::async_read_header(socket_, buffer_, *parser_,
                            [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                                self->on_header(ec);
                            });
}

void web_connection::on_header(const boost::system::error_code& ec) {
    if (gone_) return;
    if (ec) {
        refuse(ec);
        return;
    }
    if (parser_->is_done()) {
        dispatch();
        return;
    }
    phase_ = phase::body;
    arm(core_.opts.timeouts.body);
    http::async_read(socket_, buffer_, *parser_,
                     [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                         if (self->gone_) return;
                         if (ec)
                             self->refuse(ec);
                         else
                             self->dispatch();
                     });
}

void web_connection::refuse(const boost::system::error_code& ec) {
    if (ec.category() != http::make_error_code(http::error::bad_target).category() ||
        ec == http::error::end_of_stream || ec == http::error::partial_message) {
        close();
        return;
    }
    http::status status = http::status::bad_request;
    if (ec == http::error::header_limit) status = http::status::request_header_fields_too_large;
    if (ec == http::error::body_limit) status = http::status::payload_too_large;
    web_response r{status, 11};
    r.set(http::field::content_type, "text/plain; charset=utf-8");
    r.body().bytes = std::make_shared<const std::string>("Неверный запрос\n");
    r.keep_alive(false);
    r.prepare_payload();
    send(std::move(r));
}

void web_connection::dispatch() {
    disarm();
    touch();
    phase_ = phase::busy;
    web_request request = parser_->release();
    if (web_routes::is_event_stream(request)) {
        become_stream();
        return;
    }
    if (!web_routes::needs_worker(request)) {
        send(core_.routes.answer(request, peer_));
        return;
    }
    if (auto kept = core_.routes.answer_from_memory(request)) {
        send(std::move(*kept));
        return;
    }
    asio::post(core_.work_io, [self = shared_from_this(), request = std::move(request)] {
        if (self->gone_) return;  // closed while queued: nothing to read for
        auto answer = std::make_shared<web_response>(self->core_.routes.answer(request, self->peer_));
        asio::post(self->socket_.get_executor(), [self, answer] { self->send(std::move(*answer)); });
    });
}

void web_connection::send(web_response response) {
    if (gone_) return;
    phase_ = phase::writing;
    const bool keep = response.keep_alive() && !core_.stopping;
    arm(core_.opts.timeouts.write);
    if (response.body().file) {
        send_file(std::move(response), keep);
        return;
    }
    response_ = std::make_shared<web_response>(std::move(response));
    http::async_write(socket_, *response_,
                      [self = shared_from_this(), keep](const boost::system::error_code& ec, std::size_t) {
                          self->answered(ec, keep);
                      });
}

void web_connection::answered(const boost::system::error_code& ec, bool keep) {
    response_.reset();
    file_.reset();
    if (gone_) return;
    if (ec) {
        close();
        return;
    }
    if (keep)
        read_next();
    else
        linger_close();
}

void web_connection::send_file(web_response response, bool keep) {
    // The header as Beast would write it, then the file by the system's own copy.
    auto head = std::make_shared<std::string>();
    head->append(response.version() == 10 ? "HTTP/1.0 " : "HTTP/1.1 ")
        .append(std::to_string(response.result_int()))
        .append(" ")
        .append(response.reason().data(), response.reason().size())
        .append("\r\n");
    for (const auto& f : response)
        head->append(f.name_string().data(), f.name_string().size())
            .append(": ")
            .append(f.value().data(), f.value().size())
            .append("\r\n");
    head->append("\r\n");
    file_ = response.body().file;
    file_sent_ = 0;
    // The header at once, held back (MORE) to leave together with the file's first bytes;
    // it nearly always fits, else the rest goes the usual way.
    std::size_t sent = 0;
    boost::system::error_code ec;
    socket_.native_non_blocking(true, ec);
    if (!ec) {
        const ssize_t n = ::send(socket_.native_handle(), head->data(), head->size(), MSG_MORE | MSG_NOSIGNAL);
        if (n > 0) sent = static_cast<std::size_t>(n);
    }
    if (sent == head->size()) {
        send_file_part(keep);
        return;
    }
    asio::async_write(socket_, asio::buffer(head->data() + sent, head->size() - sent),
                      [self = shared_from_this(), head, keep](const boost::system::error_code& ec, std::size_t) {
                          if (self->gone_) return;
                          if (ec) {
                              self->answered(ec, keep);
                              return;
                          }
                          self->send_file_part(keep);
                      });
}

void web_connection::send_file_part(bool keep) {
    boost::system::error_code ec;
    socket_.native_non_blocking(true, ec);
    while (!ec && file_sent_ < file_->size()) {
        off_t at = static_cast<off_t>(file_sent_);
        const ssize_t n = ::sendfile(socket_.native_handle(), file_->descriptor(), &at,
                                     static_cast<std::size_t>(file_->size() - file_sent_));
        if (n > 0) {
            file_sent_ += static_cast<std::uint64_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            socket_.async_wait(tcp::socket::wait_write,
                               [self = shared_from_this(), keep](const boost::system::error_code& wait_ec) {
                                   if (self->gone_) return;
                                   if (wait_ec)
                                       self->answered(wait_ec, keep);
                                   else
                                       self->send_file_part(keep);
                               });
            return;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            ec = n < 0 ? boost::system::error_code(errno, boost::system::system_category())
                       : asio::error::make_error_code(asio::error::eof);  // the file ended early
        }
    }
    answered(ec, keep);
}

void web_connection::become_stream() {
    phase_ = phase::stream;
    core_.to_streams(shared_from_this());
    static constexpr std::string_view head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\nCache-Control: no-store\r\n"
        "Connection: keep-alive\r\n\r\nretry: 2000\n\n";
    queue(std::make_shared<const std::string>(head));
    queue(make_event("health", *core_.feed.health().json));
    if (const auto live = core_.feed.live(); live.jpeg) queue(make_event("live", std::to_string(live.sequence)));
    core_.send_recordings(shared_from_this());
    watch_for_close();
}

void web_connection::watch_for_close() {
    socket_.async_read_some(asio::buffer(discard_),
                            [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                                if (self->gone_) return;
                                if (ec) {
                                    self->close();
                                    return;
                                }
                                self->watch_for_close();
                            });
}

void web_connection::queue(std::shared_ptr<const std::string> event) {
    if (gone_ || phase_ != phase::stream) return;
    if (backlog_ + event->size() > stream_backlog_limit) {
        post_log_info(core_.rows, L"Веб-клиент не забирает события, поток закрыт: " + to_wide(peer_));
        close();
        return;
    }
    backlog_ += event->size();
    outbox_.push_back(std::move(event));
    if (!writing_) write_front();
}

void web_connection::write_front() {
    if (outbox_.empty()) {
        writing_ = false;
        disarm();
        return;
    }
    writing_ = true;
    arm(core_.opts.timeouts.event);
    asio::async_write(socket_, asio::buffer(*outbox_.front()),
                      [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                          if (self->gone_) return;
                          if (ec) {
                              self->close();
                              return;
                          }
                          self->backlog_ -= self->outbox_.front()->size();
                          self->outbox_.pop_front();
                          self->write_front();
                      });
}

void web_connection::linger_close() {
    // Closing with the client's bytes unread would reset the connection, and a reset can
    // take the answer with it: say no more, read what still comes for a moment, then close.
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    phase_ = phase::busy;  // its time-out closes without a row
    // Done with: the first to give way when the connections are full.
    last_activity_.store(0);
    waiting_.store(true);
    arm(linger_time);
    drain();
}

void web_connection::drain() {
    socket_.async_read_some(asio::buffer(discard_),
                            [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                                if (self->gone_) return;
                                if (ec)
                                    self->close();
                                else
                                    self->drain();
                            });
}

void web_connection::close() {
    if (gone_.exchange(true)) return;
    disarm();
    timer_.cancel();
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    core_.remove(this);
    // Pending handlers complete as cancelled and let go; the object goes with the last.
}

}  // namespace web_detail
