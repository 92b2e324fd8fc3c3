#include "net/tcp_listener.h"

#include "base/error_text.h"

#include <cwchar>
#include <exception>

#include "base/locale_text.h"

namespace asio = boost::asio;
using asio::ip::tcp;

std::uint16_t port_from_text(const std::wstring& text) {
    return static_cast<std::uint16_t>(std::wcstoul(text.c_str(), nullptr, 10));
}

tcp_listener::port_reader tcp_listener::from_setting(settings_ptr settings, const wchar_t* key, const wchar_t* def) {
    return [settings = std::move(settings), key, def] {
        return port_from_text(settings->read_text(key, def).ToStdWstring());
    };
}

tcp_listener::tcp_listener(asio::io_context& io, event_sink_ptr sink, port_reader read_port, std::string bind_address,
                           std::chrono::milliseconds retry_delay)
    : io_(io),
      strand_(asio::make_strand(io)),
      sink_(std::move(sink)),
      read_port_(std::move(read_port)),
      bind_address_(std::move(bind_address)),
      retry_delay_(retry_delay),
      acceptor_(strand_),
      timer_(strand_) {}

void tcp_listener::log_once(std::uint16_t wanted, const std::string& what) {
    if (failed_ == wanted) return;
    failed_ = wanted;
    post_log_error(sink_, to_wide(what));
}

bool tcp_listener::try_bind(std::uint16_t wanted) {
    try {
        tcp::acceptor fresh(strand_);
        const tcp::endpoint endpoint(asio::ip::make_address_v4(bind_address_), wanted);
        fresh.open(endpoint.protocol());
        fresh.set_option(tcp::acceptor::reuse_address(true));
        fresh.bind(endpoint);
        fresh.listen(asio::socket_base::max_listen_connections);
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        acceptor_ = std::move(fresh);
        configured_ = wanted;
        failed_.reset();
        port_.store(acceptor_.local_endpoint().port());
        return true;
    } catch (const std::exception& e) {
        log_once(wanted, e.what());
        return false;
    }
}

void tcp_listener::bind_now() {
    if (!acceptor_.is_open()) try_bind(read_port_());
}

void tcp_listener::close() {
    closed_ = true;
    boost::system::error_code ignored;
    timer_.cancel();
    acceptor_.close(ignored);
    port_.store(0);
}

void tcp_listener::retry_later(accept_handler handler, std::chrono::milliseconds delay) {
    timer_.expires_after(delay);
    timer_.async_wait([this, handler = std::move(handler)](const boost::system::error_code& ec) mutable {
        if (ec || closed_) return;
        accept_one(std::move(handler));
    });
}

void tcp_listener::accept_one(accept_handler handler) {
    if (closed_) return;
    if (!acceptor_.is_open() && !try_bind(read_port_())) {
        retry_later(std::move(handler), retry_delay_);
        return;
    }
    acceptor_.async_accept(
        asio::make_strand(io_),
        [this, handler = std::move(handler)](const boost::system::error_code& ec, tcp::socket socket) mutable {
            if (closed_) return;
            if (ec) {
                if (ec == asio::error::operation_aborted && !acceptor_.is_open()) return;
                if (ec == asio::error::no_descriptors ||
                    ec == boost::system::errc::too_many_files_open_in_system) {
                    // Every accept of the episode fails alike: one row says so, not hundreds.
                    const bool made_room = make_room_ && make_room_();
                    const auto now = std::chrono::steady_clock::now();
                    if (!short_of_descriptors_ || now - *short_of_descriptors_ > std::chrono::minutes(1))
                        post_log_error(sink_, L"Не хватает дескрипторов файлов, дольше всех бездействующее соединение закрыто, "
                                              L"чтобы принять новые: " +
                                                  error_text(ec));
                    short_of_descriptors_ = now;
                    retry_later(std::move(handler), std::chrono::milliseconds(made_room ? 5 : 100));
                    return;
                }
                // Any other failure: say so, pause, and keep listening.
                post_log_error(sink_, error_text(ec));
                retry_later(std::move(handler), std::chrono::milliseconds(100));
                return;
            }
            // A changed port setting takes effect from the next connection on.
            const std::uint16_t wanted = read_port_();
            if (wanted != configured_) try_bind(wanted);
            handler(std::move(socket));
        });
}
