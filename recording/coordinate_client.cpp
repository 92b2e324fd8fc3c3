#include "recording/coordinate_client.h"

#include "base/error_text.h"

#include "base/locale_text.h"
#include "database/session_code.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cstring>
#include <stdexcept>

std::array<std::uint8_t, coordinate_query_size> coordinate_query() {
    std::array<std::uint8_t, coordinate_query_size> q{};
    std::memcpy(q.data(), "CXQUEST2", 8);
    q[16] = 1;
    return q;
}

std::pair<std::string, std::string> coordinate_answer_texts(const std::uint8_t* buffer, std::size_t buffer_size,
                                                            std::size_t received) {
    const std::size_t end = std::min(buffer_size, received);
    auto text_at = [&](std::size_t offset) {
        if (offset >= end) return std::string();
        const auto* first = buffer + offset;
        const auto* last = std::find(first, buffer + end, std::uint8_t{0});
        return std::string(first, last);
    };
    return {text_at(coordinate_first_text_offset), text_at(coordinate_second_text_offset)};
}

coordinate_client::coordinate_client(boost::asio::io_context& io, std::string address, std::string port,
                                     std::chrono::milliseconds query_period, event_sink_ptr sink,
                                     session_handler on_session, std::chrono::milliseconds reconnect_delay)
    : io_(io),
      address_(std::move(address)),
      port_(std::move(port)),
      period_(std::max(query_period, std::chrono::milliseconds(0))),
      reconnect_delay_(reconnect_delay),
      sink_(std::move(sink)),
      on_session_(std::move(on_session)),
      resolver_(io),
      socket_(io),
      timer_(io),
      query_(coordinate_query()) {}

void coordinate_client::start() {
    resolver_.async_resolve(
        address_, port_,
        [this](const boost::system::error_code& ec, boost::asio::ip::tcp::resolver::results_type results) {
            if (ec) throw std::runtime_error("CoordServer resolve error");
            endpoints_ = std::move(results);
            post_log_info(sink_, L"Адрес сервера координат определён.");
            connect();
        });
}

void coordinate_client::connect() {
    ++connect_attempts_;
    boost::system::error_code ignored;
    socket_.close(ignored);
    boost::asio::async_connect(socket_, endpoints_,
                               [this](const boost::system::error_code& ec, const boost::asio::ip::tcp::endpoint&) {
                                   if (ec) {
                                       // Refused or unreachable: try again later, without a log row each time.
                                       reconnect_later();
                                       return;
                                   }
                                   post_log_info(sink_, L"Соединение с сервером координат установлено.");
                                   wait_period();
                               });
}

void coordinate_client::reconnect_later() {
    timer_.expires_after(reconnect_delay_);
    timer_.async_wait([this](const boost::system::error_code& e) {
        if (!e) connect();
    });
}

void coordinate_client::wait_period() {
    try {
        timer_.expires_after(period_);
    } catch (const std::exception& e) {
        post_log_error(sink_, to_wide(e.what()));
        return;
    }
    timer_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) send_query();
    });
}

void coordinate_client::send_query() {
    boost::asio::async_write(socket_, boost::asio::buffer(query_),
                             [this](const boost::system::error_code& ec, std::size_t) {
                                 if (ec) {
                                     post_log_error(sink_, error_text(ec));
                                     return;  // polling ends; recording goes on
                                 }
                                 receive();
                             });
}

void coordinate_client::receive() {
    socket_.async_receive(
        boost::asio::buffer(answer_), [this](const boost::system::error_code& ec, std::size_t received) {
            if (ec) {
                post_log_error(sink_, error_text(ec));
                // Not at once: a server that accepts and closes at once would otherwise be
                // met in a tight loop, an error row each time.
                reconnect_later();
                return;
            }
            const auto [first, second] = coordinate_answer_texts(answer_.data(), answer_.size(), received);
            if (!first.empty() && !second.empty()) on_session_(make_session_code(first, second));
            wait_period();
        });
}
