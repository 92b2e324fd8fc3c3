#include "net/network_services.h"

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
}

network_services::~network_services() {
    if (remote_control_) remote_control_->stop();
    if (discovery_) discovery_->stop();
    if (images_) images_->stop();
}
