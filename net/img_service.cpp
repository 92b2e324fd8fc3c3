#include "net/img_service.h"

#include "base/error_text.h"

#include <stdexcept>
#include <vector>

#include "base/locale_text.h"
#include "database/database_registry.h"
#include "net/image_answer.h"
#include "net/image_protocol.h"
#include "net/png_pipeline.h"
#include "net/rate_limited_sink.h"
#include "settings/settings_keys.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// One client's connection: each whole request goes to the workers; their answer comes back
// to the connection's strand to be sent.
class image_connection final : public tcp_connection {
public:
    image_connection(tcp::socket socket, std::string peer, std::shared_ptr<connection_table> table,
                     connection_timeouts timeouts, event_sink_ptr sink, std::shared_ptr<const png_pipeline> pipeline,
                     const database_registry& registry, const recording_database* live, asio::thread_pool& workers)
        : tcp_connection(std::move(socket), std::move(peer), image_request_size, std::move(table), timeouts),
          sink_(std::move(sink)),
          pipeline_(std::move(pipeline)),
          registry_(registry),
          live_(live),
          workers_(workers) {}

    ~image_connection() override { post_log_info(sink_, L"Соединение закрыто"); }

private:
    void on_request() override {
        auto self = std::static_pointer_cast<image_connection>(shared_from_this());
        asio::post(workers_, [self, request = decode_image_request(request())] {
            // Checked as the job leaves the queue, right before the lookup, decoding and
            // encoding: a peer that closed or reset while queued costs a system call, not ~90 ms.
            if (!self->peer_still_open()) {
                self->request_close();
                return;
            }
            try {
                auto answer =
                    answer_image_request(request, *self->pipeline_, self->registry_, self->live_, self->sink_);
                self->on_strand([self, answer = std::move(answer)]() mutable { self->send_answer(std::move(answer)); });
            } catch (...) {  // out of memory and the like: this connection ends, the workers go on
                post_log_error(self->sink_, L"Неизвестная ошибка в службе изображений");
                self->request_close();
            }
        });
    }
    void on_incomplete_request(std::size_t) override { post_log_error(sink_, L"Неверный размер запроса"); }
    void on_receive_error(const boost::system::error_code& ec) override {
        post_log_error(sink_, error_text(ec));
    }
    void on_send_error(const boost::system::error_code& ec) override { post_log_error(sink_, error_text(ec)); }
    void on_timeout(timeout which) override {
        if (which == timeout::send) post_log_error(sink_, L"Ответ не забран вовремя, соединение закрыто");
    }

    event_sink_ptr sink_;
    std::shared_ptr<const png_pipeline> pipeline_;
    const database_registry& registry_;
    const recording_database* live_;
    asio::thread_pool& workers_;
};

database_registry& registry_of(const img_service::options& opts) {
    if (!opts.registry) throw std::invalid_argument("img_service: no database registry");
    return *opts.registry;
}

}  // namespace

img_service::img_service(event_sink_ptr sink, settings_ptr settings, options opts)
    : sink_(std::make_shared<rate_limited_sink>(std::move(sink))),
      settings_(std::move(settings)),
      pipeline_(opts.pipeline ? std::move(opts.pipeline)
                              : std::shared_ptr<const png_pipeline>(make_fast_png_pipeline())),
      registry_(registry_of(opts)),
      live_(opts.live),
      timeouts_(opts.timeouts) {
    tcp_service::options o;
    o.bind_address = opts.bind_address;
    o.read_port =
        tcp_listener::from_setting(settings_, settings_keys::data_service_port, settings_defaults::data_service_port);
    o.max_connections = opts.max_connections;
    o.full = tcp_service::when_full::close_oldest_idle;
    o.incoming_text = L"Входящее соединение от: ";
    o.unknown_exception_text = L"Неизвестная ошибка в службе изображений";
    o.io_threads = opts.io_threads ? opts.io_threads : default_service_threads();
    o.workers = opts.workers ? opts.workers : default_service_threads();
    o.thread_name = "qm-img";
    service_ = std::make_unique<tcp_service>(
        sink_, std::move(o), [this](tcp::socket socket, std::string peer, std::shared_ptr<connection_table> table) {
            return std::make_shared<image_connection>(std::move(socket), std::move(peer), std::move(table), timeouts_,
                                                      sink_, pipeline_, registry_, live_, service_->workers());
        });
}

img_service::~img_service() { stop(); }

void img_service::start() { service_->start(); }

void img_service::stop() { service_->stop(); }
