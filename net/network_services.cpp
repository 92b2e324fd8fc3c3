#include "net/network_services.h"

#include <algorithm>

#include "base/locale_text.h"
#include "settings/settings_keys.h"

network_services::network_services(event_sink_ptr sink, settings_ptr settings, options opts)
    : descriptors_(raise_descriptor_limit()) {
    img_service::options image_options;
    image_options.max_connections = descriptors_.connections;
    image_options.bind_address = opts.bind_address;
    image_options.registry = opts.registry;
    image_options.live = opts.live;
    images_ = std::make_unique<img_service>(sink, settings, image_options);
    images_->start();
    discovery_ = std::make_unique<discovery_service>(sink, settings, opts.discovery_port, opts.bind_address);
    discovery_->start();
    if (settings->read_bool(settings_keys::rc_service_enabled, settings_defaults::rc_service_enabled)) {
        remote_control_ = std::make_unique<rc_service>(sink, settings, rc_service::options{opts.bind_address});
        remote_control_->start();
    }
    start_web(sink, settings, opts);
}

void network_services::start_web(const event_sink_ptr& sink, const settings_ptr& settings, const options& opts) {
    web_service::options web;
    web.port = opts.web_port;
    if (!web.port &&
        port_from_text(
            settings->read_text(settings_keys::web_service_port, settings_defaults::web_service_port).ToStdWstring()) ==
            0)
        return;  // off
    // The setting when present and not empty; else where the other services listen.
    const std::string address =
        settings->has(settings_keys::web_service_address)
            ? to_narrow(settings->read_text(settings_keys::web_service_address, settings_defaults::web_service_address)
                            .ToStdWstring())
            : std::string();
    web.bind_address = address.empty() ? opts.bind_address : address;
    web.registry = opts.registry;
    // Pages open a few connections each; the image service keeps the larger share.
    web.max_connections = std::clamp<std::size_t>(descriptors_.connections / 2, 8, 128);
    web_ = std::make_unique<web_service>(sink, settings, web);
    web_->start();
    // A port that could not be bound has its own error row; the listener keeps trying.
    if (web_->port() != 0)
        post_log_info(sink, L"Веб-сервис: http://" + to_wide(web.bind_address) + L":" + std::to_wstring(web_->port()) +
                                L"/");
}

network_services::~network_services() {
    if (web_) web_->stop();
    if (remote_control_) remote_control_->stop();
    if (discovery_) discovery_->stop();
    if (images_) images_->stop();
}
