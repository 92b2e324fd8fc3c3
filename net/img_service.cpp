#include "net/img_service.h"

#include <array>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "base/locale_text.h"
#include "database/database_registry.h"
#include "net/image_answer.h"
#include "net/image_protocol.h"
#include "net/png_pipeline.h"
#include "net/rate_limited_sink.h"
#include "net/service_loop.h"
#include "settings/settings_keys.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// One client's connection: receive a request, answer it, receive the next, until the client
// closes or an error ends it. Its handlers hold it alive (shared_from_this) and run on the
// connection's own loop only.
class image_connection : public std::enable_shared_from_this<image_connection> {
public:
    image_connection(tcp::socket socket, event_sink_ptr sink, std::shared_ptr<const png_pipeline> pipeline,
                     const database_registry& registry)
        : socket_(std::move(socket)), sink_(std::move(sink)), pipeline_(std::move(pipeline)), registry_(registry) {}

    ~image_connection() { post_log_info(sink_, L"Connection closed"); }

    void start() { receive(); }

private:
    void receive() {
        socket_.async_read_some(asio::buffer(request_),
                                [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                                    self->on_receive(ec, n);
                                });
    }

    void on_receive(const boost::system::error_code& ec, std::size_t received) {
        if (ec) {
            if (ec != asio::error::eof && ec != asio::error::operation_aborted)
                post_log_error(sink_, to_wide(ec.message()));
            return;
        }
        if (received != request_.size()) post_log_error(sink_, L"Bad request size");
        response_ = answer_image_request(decode_image_request(request_), *pipeline_, registry_, sink_);
        asio::async_write(socket_, asio::buffer(response_),
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
    std::shared_ptr<const png_pipeline> pipeline_;
    const database_registry& registry_;
    std::array<std::uint8_t, image_request_size> request_{};  // never cleared between requests
    std::vector<std::uint8_t> response_;                       // alive until its send completes
};

}  // namespace

img_service::img_service(event_sink_ptr sink, settings_ptr settings, options opts)
    : sink_(std::make_shared<rate_limited_sink>(std::move(sink))),
      settings_(std::move(settings)),
      pipeline_(opts.pipeline ? std::move(opts.pipeline) : std::shared_ptr<const png_pipeline>(make_fast_png_pipeline())),
      registry_(opts.registry ? *opts.registry : process_database_registry()),
      max_connections_(opts.max_connections),
      work_(io_.get_executor()),
      listener_(
          io_, sink_,
          tcp_listener::from_setting(settings_, settings_keys::data_service_port, settings_defaults::data_service_port),
          opts.bind_address),
      connections_(sink_, L"Unknown exception in img_service") {}

img_service::~img_service() { stop(); }

void img_service::start() {
    if (thread_.joinable()) return;
    listener_.bind_now();
    accept_next();
    thread_ = start_service_loop(io_, sink_, L"Unknown exception in img_service");
}

void img_service::accept_next() {
    listener_.accept_one([this](std::shared_ptr<asio::io_context> io, tcp::socket socket) {
        accept_next();  // the next client may come at once
        boost::system::error_code ec;
        const auto peer = socket.remote_endpoint(ec);
        if (ec) {
            post_log_error(sink_, to_wide(ec.message()));
            return;
        }
        if (connections_.live() >= max_connections_) {
            post_log_error(sink_, L"Too many connections, refused: " + to_wide(peer.address().to_string()));
            return;
        }
        post_log_info(sink_, L"Incoming connection from: " + to_wide(peer.address().to_string()));
        std::make_shared<image_connection>(std::move(socket), sink_, pipeline_, registry_)->start();
        connections_.run(std::move(io));
    });
}

void img_service::stop() {
    if (thread_.joinable()) {
        io_.stop();
        thread_.join();
    }
    listener_.close();  // the loop no longer runs: safe from this thread
    connections_.stop_all();
}
