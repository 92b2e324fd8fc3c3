#pragma once
// img_service: the image data service. Other programs fetch recorded frames (a named session)
// or frames of the recording in progress (no session) as length-prefixed PNG over TCP on the
// port of the setting data_service_port (default "12600"), any number of requests one after
// another on a connection (wire format: net/image_protocol.h, answers: net/image_answer.h).
//
// Built on net/tcp_service.h: one listening socket for the service's life (the port setting
// is read again after every accepted connection, so a changed port is listened on from the
// next connection on), a small pool of I/O threads for every connection, and a fixed pool of
// workers that decode and encode, so a slow encoder never holds up the sockets. Each request
// is read whole, 1024 bytes however they arrive, and answered before the next is read, so
// answers come in order and a connection holds at most one answer. Up to max_connections at
// once (network_services sizes it to the open-file limit); beyond that the waiting connection
// whose last complete request is oldest is closed to admit the new one (refused, with one
// row, only when every connection is busy).
//
// Time-outs (timeouts): a request not complete within 10 s of its first byte posts "Bad
// request size" and closes the connection; an answer the client does not take within 10 s
// closes it. A connection between requests has no time limit of its own. A request whose
// client has closed or reset by the time a worker takes it is dropped unanswered, and a
// client's next request is read only once it has taken the previous answer, so neither a
// departed nor a non-reading client costs encoding time others wait for.
// Rows: "Входящее соединение от: %s", "Connection closed", errors of accept, receive (end of
// stream excepted), send and lookup, all through a rate_limited_sink.
//
// Ownership: owns its threads and every connection; stop() (and destruction) closes them all
// and joins every thread. The sink, settings, pipeline, registry and live recording are
// shared or the caller's; the registry and the live recording must outlive the service.
// Errors: construction without a registry throws std::invalid_argument.
// Thread safety: start(), stop() from one controlling thread; the rest from any.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/thread_message.h"
#include "net/tcp_service.h"
#include "settings/settings_store.h"

class database_registry;
class png_pipeline;
class recording_database;

class img_service {
public:
    struct options {
        std::string bind_address = "0.0.0.0";
        std::shared_ptr<const png_pipeline> pipeline;  // null: make_fast_png_pipeline()
        database_registry* registry = nullptr;         // required: named sessions are looked up here
        std::size_t max_connections = 256;
        connection_timeouts timeouts{};            // no idle limit
        std::size_t io_threads = 0;                // 0: default_service_threads()
        std::size_t workers = 0;                   // 0: default_service_threads()
        const recording_database* live = nullptr;  // the recording in progress; null: none
    };

    img_service(event_sink_ptr sink, settings_ptr settings, options opts);
    img_service(event_sink_ptr sink, settings_ptr settings)
        : img_service(std::move(sink), std::move(settings), options{}) {}
    ~img_service();
    img_service(const img_service&) = delete;
    img_service& operator=(const img_service&) = delete;

    // Binds (a failure is logged and retried) and starts serving.
    void start();
    // Closes the listener, ends every connection and joins all threads. Idempotent.
    void stop();
    // The port listened on now; 0 while nothing listens.
    std::uint16_t port() const { return service_->port(); }
    // Connections being served now.
    std::size_t connections() const { return service_->connections(); }
    // Bytes of answers held for sending now, all connections together.
    std::size_t answer_bytes() const { return service_->answer_bytes(); }
    // Threads the service runs (I/O pool and workers).
    std::size_t threads() const { return service_->threads(); }

private:
    event_sink_ptr sink_;  // rate limited
    settings_ptr settings_;
    std::shared_ptr<const png_pipeline> pipeline_;
    database_registry& registry_;
    const recording_database* live_;
    connection_timeouts timeouts_;
    std::unique_ptr<tcp_service> service_;  // last: its connections use the members above
};
