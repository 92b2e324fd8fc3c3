#include "net/rc_service.h"

#include <array>
#include <functional>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "base/locale_text.h"
#include "database/session_code.h"
#include "net/rate_limited_sink.h"
#include "net/service_loop.h"
#include "net/rc_protocol.h"
#include "settings/settings_keys.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// The one client's connection: receive a command, hand it over, acknowledge, receive the next.
// Its handlers hold it alive; when it goes, on_end lets the listener take the next client.
class rc_connection : public std::enable_shared_from_this<rc_connection> {
public:
    rc_connection(tcp::socket socket, event_sink_ptr sink, std::function<void()> on_end)
        : socket_(std::move(socket)), sink_(std::move(sink)), on_end_(std::move(on_end)) {}

    ~rc_connection() {
        post_log_info(sink_, L"RC connection closed");
        on_end_();
    }

    void start() { receive(); }

private:
    void receive() {
        socket_.async_read_some(asio::buffer(command_),
                                [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                                    self->on_receive(ec, n);
                                });
    }

    void on_receive(const boost::system::error_code& ec, std::size_t received) {
        if (ec) {
            if (ec != asio::error::eof && ec != asio::error::operation_aborted)
                post_log_info(sink_, to_wide(ec.message()));
            return;
        }
        if (received < command_.size()) {
            post_log_error(sink_, L"Bad command size");
            return;  // not carried out; the connection is dropped
        }
        const rc_command command = decode_rc_command(command_);
        post_message(sink_, rc_command_message{static_cast<int>(command.code),
                                                to_wide(make_session_code(command.first, command.second))});
        asio::async_write(socket_, asio::buffer(reply_),
                          [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                              if (ec) {
                                  if (ec != asio::error::operation_aborted) post_log_error(self->sink_, to_wide(ec.message()));
                                  return;
                              }
                              self->receive();
                          });
    }

    tcp::socket socket_;
    event_sink_ptr sink_;
    std::function<void()> on_end_;
    std::array<std::uint8_t, rc_command_size> command_{};
    const std::array<std::uint8_t, rc_reply_size> reply_{};
};

}  // namespace

rc_service::rc_service(event_sink_ptr sink, settings_ptr settings, options opts)
    : sink_(std::make_shared<rate_limited_sink>(std::move(sink))),
      settings_(std::move(settings)),
      work_(io_.get_executor()),
      listener_(
          io_, sink_,
          tcp_listener::from_setting(settings_, settings_keys::rc_service_port, settings_defaults::rc_service_port),
          opts.bind_address),
      connections_(sink_, L"Unknown exception in rc_service") {}

rc_service::~rc_service() { stop(); }

void rc_service::start() {
    if (thread_.joinable()) return;
    listener_.bind_now();
    accept_next();
    thread_ = start_service_loop(io_, sink_, L"Unknown exception in rc_service");
}

void rc_service::accept_next() {
    listener_.accept_one([this](std::shared_ptr<asio::io_context> io, tcp::socket socket) {
        boost::system::error_code ec;
        const auto peer = socket.remote_endpoint(ec);
        if (ec) {
            post_log_error(sink_, to_wide(ec.message()));
            accept_next();
            return;
        }
        post_log_info(sink_, L"Incoming RC connection from: " + to_wide(peer.address().to_string()));
        // Runs on the connection's thread (or the stopping one): hand the next accept back
        // to the listener's loop.
        auto next = [this] { asio::post(io_, [this] { accept_next(); }); };
        std::make_shared<rc_connection>(std::move(socket), sink_, std::move(next))->start();
        connections_.run(std::move(io));
    });
}

void rc_service::stop() {
    if (thread_.joinable()) {
        io_.stop();
        thread_.join();
    }
    listener_.close();
    connections_.stop_all();
}
