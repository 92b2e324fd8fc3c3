#include "net/discovery_service.h"

#include "base/error_text.h"

#include <algorithm>
#include <exception>

#include "base/locale_text.h"
#include "net/rate_limited_sink.h"
#include "net/service_loop.h"
#include "settings/settings_keys.h"

namespace asio = boost::asio;
using asio::ip::udp;

discovery_service::discovery_service(event_sink_ptr sink, settings_ptr settings, std::uint16_t port,
                                     const std::string& bind_address, answer_rate rate)
    : sink_(std::make_shared<rate_limited_sink>(std::move(sink))),
      settings_(std::move(settings)),
      socket_(io_),
      rate_(rate) {
    const udp::endpoint endpoint(asio::ip::make_address_v4(bind_address), port);
    socket_.open(endpoint.protocol());
    socket_.bind(endpoint);
    socket_.set_option(udp::socket::reuse_address(true));
    port_ = socket_.local_endpoint().port();
}

discovery_service::~discovery_service() { stop(); }

void discovery_service::start() {
    if (thread_.joinable()) return;
    receive();
    thread_ = start_service_loop(io_, sink_, L"Неизвестная ошибка в службе обнаружения", "qm-discovery");
}

void discovery_service::stop() {
    if (thread_.joinable()) {
        io_.stop();
        thread_.join();
    }
    boost::system::error_code ignored;
    socket_.close(ignored);
}

void discovery_service::receive() {
    socket_.async_receive_from(asio::buffer(buffer_), sender_,
                               [this](const boost::system::error_code& ec, std::size_t n) { on_receive(ec, n); });
}

void discovery_service::on_receive(const boost::system::error_code& ec, std::size_t received) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
        // Such as the refusal a previous answer's unreachable sender left on the socket:
        // one datagram's trouble, not the service's.
        post_log_error(sink_, L"Ошибка приёма запроса обнаружения.");
        post_log_error(sink_, error_text(ec));
        receive();
        return;
    }
    // A forged sender learns nothing and costs no row once its budget is spent.
    if (!may_answer(sender_.address())) {
        receive();
        return;
    }
    const std::string own =
        discovery_service_name(settings_->read_text(settings_keys::side, settings_defaults::side).ToStdWstring());
    discovery_decision decision = decide_discovery(std::string_view(buffer_.data(), received), own);
    if (decision.what == discovery_decision::action::error) {
        post_log_error(sink_, to_wide(decision.text));
    } else if (decision.what == discovery_decision::action::answer) {
        post_log_info(sink_, L"Запрос UDP от " + to_wide(sender_.address().to_string()));
        auto text = std::make_shared<std::string>(std::move(decision.text));
        socket_.async_send_to(asio::buffer(*text), sender_,
                              [this, text](const boost::system::error_code& ec, std::size_t) {
                                  if (ec == asio::error::operation_aborted) return;
                                  if (ec) {
                                      post_log_error(sink_, L"Ошибка отправки ответа обнаружения");
                                      post_log_error(sink_, error_text(ec));
                                  } else {
                                      post_log_info(sink_, L"Ответ UDP");
                                  }
                              });
    }
    receive();
}

bool discovery_service::may_answer(const asio::ip::address& sender) {
    const auto now = std::chrono::steady_clock::now();
    auto refill = [&](budget& b) {
        const std::chrono::duration<double> since = now - b.refilled;
        b.tokens = std::min(rate_.burst, b.tokens + since.count() * rate_.per_second);
        b.refilled = now;
    };
    auto it = budgets_.find(sender);
    if (it == budgets_.end()) {
        if (budgets_.size() >= rate_.max_sources)
            for (auto old = budgets_.begin(); old != budgets_.end();) {
                refill(old->second);
                // Idle long enough to start afresh: forgetting it changes nothing.
                old = old->second.tokens >= rate_.burst ? budgets_.erase(old) : std::next(old);
            }
        if (budgets_.size() >= rate_.max_sources) return false;
        it = budgets_.emplace(sender, budget{rate_.burst, now}).first;
    }
    refill(it->second);
    if (it->second.tokens < 1) return false;
    it->second.tokens -= 1;
    return true;
}
