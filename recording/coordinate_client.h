#pragma once
// The coordinate server client: on an I/O loop, polls a TCP server with a fixed 64-byte
// query every query period and turns the two texts of each answer into a session code.
//
// Steps (each a completion handler on the loop): resolve -> connect -> wait one period ->
// send the query -> receive one answer -> (set the session code when both texts are
// non-empty) -> wait ... . Every reconnect waits reconnect_delay (one second in the
// program) first, so neither a missing server nor one that accepts and closes at once
// spins a core: a failed connect is retried silently, a failed receive (the server closing
// included) posts the error's text and then reconnects. A failed send or
// timer ends polling for the life of the client. A failed resolve throws
// std::runtime_error("CoordServer resolve error") out of the loop's run().
//
// Ownership: the io_context, the sink and the handler's target are the caller's and must
// outlive the client; the loop must be stopped (or have no pending work of this client)
// before the client is destroyed. Thread safety: everything runs on the loop's thread,
// except construction and connect_attempts().
#include "base/thread_message.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

inline constexpr std::size_t coordinate_query_size = 64;
inline constexpr std::size_t coordinate_answer_size = 1024;
inline constexpr std::size_t coordinate_first_text_offset = 581;
inline constexpr std::size_t coordinate_second_text_offset = 613;

// "CXQUEST2", eight zero bytes, 32-bit little-endian 1, zeros.
std::array<std::uint8_t, coordinate_query_size> coordinate_query();

// The two texts of an answer: each from its offset up to the first zero byte, never past
// the end of the buffer nor past the `received` bytes of this answer (a text that starts
// beyond them is empty).
std::pair<std::string, std::string> coordinate_answer_texts(const std::uint8_t* buffer, std::size_t buffer_size,
                                                            std::size_t received);

class coordinate_client {
public:
    using session_handler = std::function<void(const std::string& session_code)>;

    coordinate_client(boost::asio::io_context& io, std::string address, std::string port,
                      std::chrono::milliseconds query_period, event_sink_ptr sink, session_handler on_session,
                      std::chrono::milliseconds reconnect_delay = std::chrono::seconds(1));

    // Starts resolving; call once.
    void start();

    // How many connects were started so far (any thread); lets tests see the pace.
    std::uint64_t connect_attempts() const { return connect_attempts_.load(); }

private:
    void connect();
    void reconnect_later();  // connect() after reconnect_delay_
    void wait_period();
    void send_query();
    void receive();

    boost::asio::io_context& io_;
    std::string address_;
    std::string port_;
    std::chrono::milliseconds period_;
    std::chrono::milliseconds reconnect_delay_;
    event_sink_ptr sink_;
    session_handler on_session_;

    boost::asio::ip::tcp::resolver resolver_;
    boost::asio::ip::tcp::resolver::results_type endpoints_;
    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer timer_;
    const std::array<std::uint8_t, coordinate_query_size> query_;
    // Not cleared between answers; only the bytes received for this answer are read.
    std::array<std::uint8_t, coordinate_answer_size> answer_{};
    std::atomic<std::uint64_t> connect_attempts_{0};
};
