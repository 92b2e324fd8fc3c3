#pragma once
// rc_service: the remote-control service. One client at a time sends 1024-byte commands over
// TCP on the port of the setting rc_service_port (default "12700"); each full command is
// handed to the window as an rc_command_message (code, session code "first : second" or
// empty, as wide text) and acknowledged with 1024 zero bytes (net/rc_protocol.h).
//
// One listening socket for the service's life (net/tcp_listener.h). While a client is
// connected no further connection is accepted: later clients wait in the listen queue and are
// accepted, in order, once the current one has gone, however it went (closed by the client,
// a receive or send error, or a short command, which posts "Bad command size" and drops that
// connection without carrying it out). The port setting is read again after each accepted
// connection. Rows: "Incoming RC connection from: %s", "RC connection closed", receive errors
// (end of stream excepted) as information rows, accept and send errors as error rows, all
// through a rate_limited_sink; commands always pass.
//
// Ownership: owns its listener thread and the connection's thread; stop() (and destruction)
// stops and joins them. The window decides at start-up whether the service exists at all.
// Thread safety: start(), stop(), port() from any one controlling thread.
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "base/thread_message.h"
#include "net/connection_threads.h"
#include "net/tcp_listener.h"
#include "settings/settings_store.h"

class rc_service {
public:
    struct options {
        std::string bind_address = "0.0.0.0";
    };

    rc_service(event_sink_ptr sink, settings_ptr settings, options opts);
    rc_service(event_sink_ptr sink, settings_ptr settings) : rc_service(std::move(sink), std::move(settings), options{}) {}
    ~rc_service();
    rc_service(const rc_service&) = delete;
    rc_service& operator=(const rc_service&) = delete;

    void start();
    void stop();
    std::uint16_t port() const { return listener_.port(); }

private:
    void accept_next();

    event_sink_ptr sink_;  // rate limited for rows; commands pass
    settings_ptr settings_;
    boost::asio::io_context io_;  // the listener's loop, run by thread_
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    tcp_listener listener_;
    connection_threads connections_;
    std::thread thread_;
};
