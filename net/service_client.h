#pragma once
// Clients of the three services, synchronous with a deadline per step: what quillmar-client,
// the tests and the benchmarks use to talk to a recorder.
//
// Errors: every failure throws std::runtime_error with a short English text that names the
// step ("connect to 127.0.0.1:12600: Connection refused", "receive: timed out", ...).
// Thread safety: one object per thread; the free functions may run on several at once.
#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "net/image_protocol.h"
#include "net/rc_protocol.h"

class service_connection {
public:
    // Connects to host (an IPv4 address or a name) and port.
    service_connection(const std::string& host, std::uint16_t port,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

    void send(std::span<const std::uint8_t> bytes);
    // Exactly n bytes; throws when the peer closes or the time runs out first.
    std::vector<std::uint8_t> receive(std::size_t n);
    // Waits until the peer closes the connection; false when it is still open at the deadline.
    bool wait_closed(std::chrono::milliseconds timeout);

    // One image request: the PNG of the answer, empty for the 4 zero bytes.
    std::vector<std::uint8_t> fetch(const image_request& request);
    // The next image answer (length prefix, then that many bytes): the PNG, empty for none.
    std::vector<std::uint8_t> fetch_answer();
    // One remote command; returns once its 1024-byte acknowledgement came (throws otherwise,
    // or when it is not all zeros).
    void command(const rc_command& command);

private:
    template <class Start>
    void run(const char* step, Start start);

    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
    std::chrono::milliseconds timeout_;
};

struct discovery_reply {
    std::string sender;  // "address:port"
    std::string text;    // the datagram as received
};

// Sends the query for service ("any" or a name) to address:port (broadcast allowed) and
// collects every datagram that comes back within wait.
std::vector<discovery_reply> discover(const std::string& address, std::uint16_t port, const std::string& service,
                                      std::chrono::milliseconds wait);
// The same with any datagram as the query.
std::vector<discovery_reply> send_datagram(const std::string& address, std::uint16_t port, const std::string& datagram,
                                           std::chrono::milliseconds wait);
