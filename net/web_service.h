#pragma once
// web_service: the recorder's pages for a browser, over HTTP/1.1 on the port of the setting
// web_service_port (default 12880; 0 there: the service does not start, see network_services).
// The live page (health strip, live picture), the list of recordings and a recording's
// frames as stored, plus JSON and Server-Sent Events behind them (routes: net/http_routes.h).
// Read-only unless the setting web_control_token is set: then POST commands carrying that
// token in the header X-Quillmar-Token start or stop recording through the same queued path
// as the remote-control service (an rc_command_message to the window's sink).
// Live frames are encoded (and the "live" event sent) only while a page fetched /live.jpg
// within the last few seconds, at most four a second; stored frames are kept in memory once
// sent (net/http_routes.h).
//
// Built like the other TCP services: one listening socket (net/tcp_listener.h: the port
// setting re-read after each connection, binding retried, descriptor shortage handled), an
// I/O loop run by one "qm-web" thread (by default: a request's steps then never hop between
// threads, which cost more latency than a second thread gained), one object per connection
// whose handlers each start the next step, and "qm-web-w" workers for everything that reads
// a database or encodes, so the sockets never wait for the disk.
//
// Bounds: time-outs measure whole steps (a request's header from its first byte, its body,
// one whole answer, a keep-alive connection waiting for its next request); each closes the
// connection. At most max_connections plain connections: when full, the one that has waited
// longest for its next request is closed to admit the newcomer, so idle keep-alive
// connections never lock out a request (refused only when every one is busy). Event streams
// (/api/events) count apart, at most max_streams (when full the oldest stream is closed), and
// a stream that does not take its events in time, or falls a few megabytes behind, is
// closed. A request's header and body have fixed limits; a connection holds at most one
// answer. Rows go through a rate_limited_sink; an accepted command's row always passes.
//
// Ownership: owns its threads, connections and the feed; stop() (and destruction) closes
// every connection and joins every thread. The registry, sink and settings are shared or the
// caller's; the registry must outlive the service.
// Thread safety: start(), stop() from one controlling thread; publish_*() and
// recordings_changed() from any thread (the window's: each is a short copy or a counter);
// the rest from any.
// Errors: construction without a registry throws std::invalid_argument.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "base/thread_message.h"
#include "net/web_feed.h"
#include "settings/settings_store.h"

class database_registry;

struct web_timeouts {
    std::chrono::milliseconds idle{std::chrono::seconds(30)};    // waiting for a request's first byte
    std::chrono::milliseconds header{std::chrono::seconds(10)};  // from the first byte to the whole header
    std::chrono::milliseconds body{std::chrono::seconds(10)};    // the body after the header
    std::chrono::milliseconds write{std::chrono::seconds(30)};   // one whole answer
    std::chrono::milliseconds event{std::chrono::seconds(10)};   // one event to a stream
};

// The command codes the window's rc path carries for the pages' commands.
namespace web_commands {
inline constexpr int record = 1;   // capture and record (the rc service's start)
inline constexpr int stop = 2;     // stop (the rc service's stop)
inline constexpr int capture = 4;  // capture only
}  // namespace web_commands

class web_service {
public:
    struct options {
        std::string bind_address = "0.0.0.0";
        std::optional<std::uint16_t> port;      // overrides the setting (test runs); 0: system's choice
        database_registry* registry = nullptr;  // required
        std::size_t max_connections = 128;
        std::size_t max_streams = 32;
        web_timeouts timeouts{};
        std::size_t io_threads = 1;
        std::size_t workers = 2;
        std::chrono::milliseconds tick{250};  // how often the streams' news is looked at
    };

    web_service(event_sink_ptr sink, settings_ptr settings, options opts);
    ~web_service();
    web_service(const web_service&) = delete;
    web_service& operator=(const web_service&) = delete;

    // Binds (a failure is logged and retried) and starts serving.
    void start();
    // Closes the listener and every connection, joins every thread. Idempotent.
    void stop();
    // The port listened on now; 0 while nothing listens.
    std::uint16_t port() const;
    // Plain connections open now; event streams apart.
    std::size_t connections() const;
    std::size_t streams() const;

    // The window's feed (see net/web_feed.h); cheap on the calling thread.
    void publish_health(web_health health);
    // Takes a copy of frame only while a page watches the live picture and at most four
    // times a second; the JPEG is made on a worker.
    void publish_live(const cv::Mat& frame);
    void recordings_changed();

    struct core;  // the loop, connections and routes (net/web_service.cpp)

private:
    std::unique_ptr<core> core_;
};
