#pragma once
// tcp_listener: the one listening socket of a TCP service, kept for the service's life.
//
// It listens on bind_address and the port that read_port() gives, with address reuse on, so
// connections still open from earlier never stop it from listening again. After every
// accepted connection it asks read_port() again: when the answer changed, it listens on the
// new port from then on (the new socket is bound before the old one closes; if the new port
// cannot be bound, the error is logged once and the old port stays). A failed accept is
// logged and the next accept starts after a short pause; one that failed for lack of
// descriptors (EMFILE, ENFILE) asks make_room() to free one, is logged once per episode (which
// ends after a minute without such a failure), and is retried sooner when room was made; a port that cannot be bound at all
// is logged once per port value and tried again every retry_delay, re-reading the port.
//
// Each accepted socket gets a strand of its own on the same loop, so that a connection's
// handlers never run at once even when several threads run the loop.
//
// Ownership: the loop given at construction is the caller's and must outlive the listener.
// Everything here runs on the listener's own strand (executor()); construction and
// bind_now() before the loop runs.
// Errors: never throws from handlers; rows go to the sink.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "base/thread_message.h"
#include "settings/settings_store.h"

// A port setting's text as the services read it: a base-10 unsigned number taken from the
// leading digits (like strtoul: leading blanks and a sign allowed, trailing text ignored,
// no digits give 0), of which the low 16 bits are the port. 0 lets the system choose.
std::uint16_t port_from_text(const std::wstring& text);

class tcp_listener {
public:
    using port_reader = std::function<std::uint16_t()>;
    // Reads the port setting key (def when absent) anew at every call, through port_from_text.
    static port_reader from_setting(settings_ptr settings, const wchar_t* key, const wchar_t* def);
    using accept_handler = std::function<void(boost::asio::ip::tcp::socket socket)>;
    using strand = boost::asio::strand<boost::asio::io_context::executor_type>;

    tcp_listener(boost::asio::io_context& io, event_sink_ptr sink, port_reader read_port, std::string bind_address,
                 std::chrono::milliseconds retry_delay = std::chrono::seconds(2));

    // Binds now (before the loop runs, so the port is known at once); a failure is logged and
    // left to the next accept_one() to retry.
    void bind_now();
    // Accepts one connection, then calls handler once with it (never on failure: it retries).
    void accept_one(accept_handler handler);
    // Closes the listening socket and cancels the pending accept or retry.
    void close();
    // Called on the strand when accept fails for lack of descriptors; true when it freed one.
    void on_no_descriptors(std::function<bool()> make_room) { make_room_ = std::move(make_room); }

    // The port listened on now; 0 while nothing listens. Any thread.
    std::uint16_t port() const { return port_.load(); }
    // The strand every handler of the listener runs on; accept_one() and close() belong there.
    const strand& executor() const { return strand_; }

private:
    bool try_bind(std::uint16_t wanted);  // replaces acceptor_ on success
    void retry_later(accept_handler handler, std::chrono::milliseconds delay);
    void log_once(std::uint16_t wanted, const std::string& what);

    boost::asio::io_context& io_;
    strand strand_;
    event_sink_ptr sink_;
    port_reader read_port_;
    std::string bind_address_;
    std::chrono::milliseconds retry_delay_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer timer_;
    std::uint16_t configured_ = 0;         // the port setting acceptor_ was bound for
    std::optional<std::uint16_t> failed_;  // the port whose bind failure was logged last
    bool closed_ = false;
    std::optional<std::chrono::steady_clock::time_point> short_of_descriptors_;  // last time
    std::function<bool()> make_room_;
    std::atomic<std::uint16_t> port_{0};
};
