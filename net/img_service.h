#pragma once
// img_service: the image data service. Other programs fetch recorded frames (a named session)
// or frames of the recording in progress (no session) as length-prefixed PNG over TCP on the
// port of the setting data_service_port (default "12600"), any number of requests one after
// another on a connection (wire format: net/image_protocol.h, answers: net/image_answer.h).
//
// One listening socket for the service's life (net/tcp_listener.h): the port setting is read
// again after every accepted connection, so a changed port is listened on from the next
// connection on. Each connection is served on a thread of its own with its own I/O loop, as
// many at once as clients come, up to max_connections (a connection beyond that is closed at
// once, with one row). A receive of other than 1024 bytes posts "Bad request size" and is
// answered from the connection's request buffer as it now stands (unfilled bytes keep the
// previous request's values, zeros before the first). Rows: "Incoming connection from: %s",
// "Connection closed", errors of accept, receive (end of stream excepted), send and lookup,
// all through a rate_limited_sink.
//
// Ownership: owns its listener thread and every connection thread; stop() (and destruction)
// stops and joins them all. The sink, settings, pipeline and registry are shared or the
// caller's; the registry must outlive the service.
// Thread safety: start(), stop(), port() from any one controlling thread.
#include <cstddef>
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

class database_registry;
class png_pipeline;

class img_service {
public:
    struct options {
        std::string bind_address = "0.0.0.0";
        std::shared_ptr<const png_pipeline> pipeline;  // null: make_fast_png_pipeline()
        database_registry* registry = nullptr;         // null: process_database_registry()
        std::size_t max_connections = 256;
    };

    img_service(event_sink_ptr sink, settings_ptr settings, options opts);
    img_service(event_sink_ptr sink, settings_ptr settings) : img_service(std::move(sink), std::move(settings), options{}) {}
    ~img_service();
    img_service(const img_service&) = delete;
    img_service& operator=(const img_service&) = delete;

    // Binds (a failure is logged and retried) and starts listening on the service's thread.
    void start();
    // Closes the listener, ends every connection and joins all threads. Idempotent.
    void stop();
    // The port listened on now; 0 while nothing listens.
    std::uint16_t port() const { return listener_.port(); }
    // Connections being served now.
    std::size_t connections() const { return connections_.live(); }

private:
    void accept_next();

    event_sink_ptr sink_;  // rate limited
    settings_ptr settings_;
    std::shared_ptr<const png_pipeline> pipeline_;
    database_registry& registry_;
    std::size_t max_connections_;
    boost::asio::io_context io_;  // the listener's loop, run by thread_
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    tcp_listener listener_;
    connection_threads connections_;
    std::thread thread_;
};
