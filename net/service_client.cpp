#include "net/service_client.h"

#include <stdexcept>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "net/discovery_protocol.h"
#include "net/wire_format.h"

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

template <class Start>
void service_connection::run(const char* step, Start start) {
    boost::system::error_code result = asio::error::would_block;
    start([&result](const boost::system::error_code& ec, auto&&...) { result = ec; });
    io_.restart();
    io_.run_for(timeout_);
    if (result == asio::error::would_block) {
        boost::system::error_code ignored;
        socket_.cancel(ignored);
        io_.restart();
        io_.run();
        throw std::runtime_error(std::string(step) + ": timed out");
    }
    if (result) throw std::runtime_error(std::string(step) + ": " + result.message());
}

service_connection::service_connection(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout)
    : socket_(io_), timeout_(timeout) {
    const std::string where = "connect to " + host + ":" + std::to_string(port);
    tcp::resolver resolver(io_);
    boost::system::error_code ec;
    const auto endpoints = resolver.resolve(tcp::v4(), host, std::to_string(port), ec);
    if (ec) throw std::runtime_error(where + ": " + ec.message());
    run(where.c_str(), [&](auto handler) { asio::async_connect(socket_, endpoints, handler); });
    // Each send leaves at once: requests are small and a client waits for every answer.
    socket_.set_option(tcp::no_delay(true), ec);
}

void service_connection::send(std::span<const std::uint8_t> bytes) {
    run("send", [&](auto handler) { asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()), handler); });
}

std::vector<std::uint8_t> service_connection::receive(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    run("receive", [&](auto handler) { asio::async_read(socket_, asio::buffer(bytes), handler); });
    return bytes;
}

bool service_connection::wait_closed(std::chrono::milliseconds timeout) {
    const auto saved = timeout_;
    timeout_ = timeout;
    std::array<std::uint8_t, 1024> sink{};
    try {
        for (;;) run("receive", [&](auto handler) { socket_.async_read_some(asio::buffer(sink), handler); });
    } catch (const std::runtime_error& e) {
        timeout_ = saved;
        return std::string(e.what()) != "receive: timed out";
    }
}

std::vector<std::uint8_t> service_connection::fetch(const image_request& request) {
    send(encode_image_request(request));
    return fetch_answer();
}

std::vector<std::uint8_t> service_connection::fetch_answer() {
    const auto prefix = receive(4);
    const std::uint32_t n = wire::read_le32(prefix, 0);
    if (n == 0) return {};
    return receive(n);
}

void service_connection::command(const rc_command& command) {
    send(encode_rc_command(command));
    const auto reply = receive(rc_reply_size);
    for (auto b : reply)
        if (b != 0) throw std::runtime_error("the acknowledgement is not 1024 zero bytes");
}

std::vector<discovery_reply> discover(const std::string& address, std::uint16_t port, const std::string& service,
                                      std::chrono::milliseconds wait) {
    return send_datagram(address, port, discovery_query(service), wait);
}

std::vector<discovery_reply> send_datagram(const std::string& address, std::uint16_t port, const std::string& query,
                                           std::chrono::milliseconds wait) {
    asio::io_context io;
    udp::socket socket(io, udp::endpoint(udp::v4(), 0));
    boost::system::error_code ec;
    const auto target_address = asio::ip::make_address_v4(address, ec);
    if (ec) throw std::runtime_error("not an IPv4 address: \"" + address + "\"");
    socket.set_option(asio::socket_base::broadcast(true));
    socket.send_to(asio::buffer(query), udp::endpoint(target_address, port), 0, ec);
    if (ec) throw std::runtime_error("send to " + address + ":" + std::to_string(port) + ": " + ec.message());

    std::vector<discovery_reply> replies;
    std::array<char, 65536> buffer{};
    udp::endpoint sender;
    asio::steady_timer deadline(io, wait);
    std::function<void()> receive = [&] {
        socket.async_receive_from(asio::buffer(buffer), sender, [&](const boost::system::error_code& e, std::size_t n) {
            if (e == asio::error::operation_aborted) return;
            if (!e)
                replies.push_back({sender.address().to_string() + ":" + std::to_string(sender.port()),
                                   std::string(buffer.data(), n)});
            receive();  // a refusal left by an unreachable target is no reason to stop listening
        });
    };
    receive();
    deadline.async_wait([&](const boost::system::error_code&) {
        boost::system::error_code ignored;
        socket.cancel(ignored);
    });
    io.run();
    return replies;
}
