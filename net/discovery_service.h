#pragma once
// discovery_service: answers UDP JSON queries so that other programs find this recorder and
// tell the left-side one from the right-side one (wire format: net/discovery_protocol.h).
//
// The socket is bound at construction on bind_address and port (12800 in the program); a
// failure throws the socket library's error (a std::exception), which ends the window's
// start-up. The own name is worked out from the setting side for every datagram, so a changed
// side applies to the next query. Rows: "UDP query from %1%" before an answer, "UDP answer"
// after it was sent; "Error in discovery_service::handle_receive." / "...::handle_send" each
// followed by the error's message; the JSON parser's message for a malformed query; all
// through a rate_limited_sink. A receive error is logged and receiving goes on.
//
// Ownership: owns its socket and its thread; stop() (and destruction) stops and joins it.
// Thread safety: start(), stop(), port() from any one controlling thread.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "base/thread_message.h"
#include "net/discovery_protocol.h"
#include "settings/settings_store.h"

class discovery_service {
public:
    static constexpr std::uint16_t default_port = 12800;

    // Binds at once; throws when the port cannot be opened or bound.
    discovery_service(event_sink_ptr sink, settings_ptr settings, std::uint16_t port = default_port,
                      const std::string& bind_address = "0.0.0.0");
    ~discovery_service();
    discovery_service(const discovery_service&) = delete;
    discovery_service& operator=(const discovery_service&) = delete;

    void start();
    void stop();
    // The bound port (the system's choice when constructed with 0).
    std::uint16_t port() const { return port_; }

private:
    void receive();
    void on_receive(const boost::system::error_code& ec, std::size_t received);

    event_sink_ptr sink_;  // rate limited
    settings_ptr settings_;
    boost::asio::io_context io_;  // run by thread_
    boost::asio::ip::udp::socket socket_;
    std::uint16_t port_ = 0;
    boost::asio::ip::udp::endpoint sender_;               // of the latest datagram
    std::array<char, discovery_datagram_size> buffer_{};  // longer datagrams are cut here
    std::thread thread_;
};
