#pragma once
// discovery_service: answers UDP JSON queries so that other programs find this recorder and
// tell the left-side one from the right-side one (wire format: net/discovery_protocol.h).
//
// The socket is bound at construction on bind_address and port (12800 in the program); a
// failure throws the socket library's error (a std::exception), which ends the window's
// start-up. The own name is worked out from the setting side for every datagram, so a changed
// side applies to the next query. Rows: "Запрос UDP от %1%" before an answer, "UDP answer"
// after it was sent; "Ошибка приёма запроса обнаружения." / "...::handle_send" each
// followed by the error's message; the JSON parser's message for a malformed query; all
// through a rate_limited_sink. A receive error is logged and receiving goes on.
//
// A UDP sender's address can be forged, so the answers are bounded for whoever they reach:
// only a well-formed query is answered (net/discovery_protocol.h), with at most 128 bytes, and
// each source address gets at most `burst` answers at once and `per_second` after that; beyond
// them queries go unanswered and unlogged. The table of addresses holds at most
// max_sources; when it is full and none of them is idle, new addresses are not answered.
//
// Ownership: owns its socket and its thread; stop() (and destruction) stops and joins it.
// Thread safety: start(), stop(), port() from any one controlling thread.
#include <array>
#include <chrono>
#include <map>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "base/thread_message.h"
#include "net/discovery_protocol.h"
#include "settings/settings_store.h"

// Answers one source address may get: burst at once, per_second after that.
struct discovery_answer_rate {
    double burst = 10;
    double per_second = 5;
    std::size_t max_sources = 1024;  // addresses remembered at once
};

class discovery_service {
public:
    static constexpr std::uint16_t default_port = 12800;
    using answer_rate = discovery_answer_rate;

    // Binds at once; throws when the port cannot be opened or bound.
    discovery_service(event_sink_ptr sink, settings_ptr settings, std::uint16_t port = default_port,
                      const std::string& bind_address = "0.0.0.0", answer_rate rate = {});
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
    // Takes one answer from the sender's budget; false when it is spent.
    bool may_answer(const boost::asio::ip::address& sender);

    event_sink_ptr sink_;  // rate limited
    settings_ptr settings_;
    boost::asio::io_context io_;  // run by thread_
    boost::asio::ip::udp::socket socket_;
    std::uint16_t port_ = 0;
    boost::asio::ip::udp::endpoint sender_;               // of the latest datagram
    // One byte more than a query may have, so that a longer datagram shows as such.
    std::array<char, discovery_datagram_size + 1> buffer_{};
    const answer_rate rate_;
    struct budget {
        double tokens;
        std::chrono::steady_clock::time_point refilled;
    };
    std::map<boost::asio::ip::address, budget> budgets_;  // the loop thread's only
    std::thread thread_;
};
