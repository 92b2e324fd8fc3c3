#include "net/rc_service.h"

#include "base/error_text.h"

#include <vector>

#include "base/locale_text.h"
#include "database/session_code.h"
#include "net/rate_limited_sink.h"
#include "net/rc_protocol.h"
#include "settings/settings_keys.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// The one client's connection: a whole command is handed over and acknowledged, then the
// next is read.
class rc_connection final : public tcp_connection {
public:
    rc_connection(tcp::socket socket, std::string peer, std::shared_ptr<connection_table> table,
                  connection_timeouts timeouts, event_sink_ptr sink)
        : tcp_connection(std::move(socket), std::move(peer), rc_command_size, std::move(table), timeouts),
          sink_(std::move(sink)) {}

    ~rc_connection() override { post_log_info(sink_, L"Соединение управления закрыто"); }

private:
    void on_request() override {
        // A command that waited while its client gave up must not run later with nobody asking.
        if (!peer_still_open()) {
            post_log_info(sink_, L"Клиент управления отключился до чтения команды, команда не выполнена");
            close();
            return;
        }
        const rc_command command = decode_rc_command(request());
        const std::wstring code = to_wide(make_session_code(command.first, command.second));
        // The row a session-code command leaves is the client's doing: it goes through this
        // service's row budget, so a flood of commands cannot flood the log.
        if (command.code == 3) post_log_info(sink_, code);
        post_message(sink_, rc_command_message{static_cast<int>(command.code), code});
        send_answer(std::vector<std::uint8_t>(rc_reply_size, 0));
    }
    void on_incomplete_request(std::size_t) override { post_log_error(sink_, L"Неверный размер команды"); }
    void on_receive_error(const boost::system::error_code& ec) override { post_log_info(sink_, error_text(ec)); }
    void on_send_error(const boost::system::error_code& ec) override { post_log_error(sink_, error_text(ec)); }
    void on_timeout(timeout which) override {
        post_log_info(sink_, which == timeout::idle ? L"Клиент управления бездействует, соединение закрыто"
                                                    : L"Подтверждение не забрано вовремя, соединение закрыто");
    }

    event_sink_ptr sink_;
};

}  // namespace

rc_service::rc_service(event_sink_ptr sink, settings_ptr settings, options opts)
    : sink_(std::make_shared<rate_limited_sink>(std::move(sink))),
      settings_(std::move(settings)),
      timeouts_(opts.timeouts) {
    tcp_service::options o;
    o.bind_address = opts.bind_address;
    o.read_port =
        tcp_listener::from_setting(settings_, settings_keys::rc_service_port, settings_defaults::rc_service_port);
    o.max_connections = 1;
    o.thread_name = "qm-rc";
    o.full = tcp_service::when_full::wait;
    o.incoming_text = L"Входящее соединение управления от: ";
    o.unknown_exception_text = L"Неизвестная ошибка в службе управления";
    service_ = std::make_unique<tcp_service>(
        sink_, std::move(o), [this](tcp::socket socket, std::string peer, std::shared_ptr<connection_table> table) {
            return std::make_shared<rc_connection>(std::move(socket), std::move(peer), std::move(table), timeouts_,
                                                   sink_);
        });
}

rc_service::~rc_service() { stop(); }

void rc_service::start() { service_->start(); }

void rc_service::stop() { service_->stop(); }
