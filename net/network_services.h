#pragma once
// network_services: the three services as the main window starts them, in this order: the
// image data service, the discovery service (its port is bound here: a failure throws out of
// the constructor, after the image service has been stopped again) and, only when the setting
// rc_service_enabled is true now, the remote-control service; last the web service (pages for
// a browser) unless its port setting is 0, with the row "Веб-сервис: http://<address>:<port>/".
// Before them it raises the open-file limit and sizes the image connections to it
// (net/descriptor_budget.h); the figures stay readable through descriptors() for a start-up
// row.
//
// Ownership: owns the services; destruction stops them and joins every thread they run.
// The registry and the live recording are the caller's and must outlive the object.
// The window cuts them off from itself first (its sink drops messages once detached), then
// drops this object.
// Thread safety: construct and destroy on one thread (the GUI thread in the program).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/thread_message.h"
#include "net/descriptor_budget.h"
#include "net/discovery_service.h"
#include "net/img_service.h"
#include "net/rc_service.h"
#include "net/web_service.h"
#include "settings/settings_store.h"

class network_services {
public:
    struct options {
        std::uint16_t discovery_port = discovery_service::default_port;
        std::string bind_address = "0.0.0.0";
        database_registry* registry = nullptr;     // required: see img_service
        const recording_database* live = nullptr;  // the recording in progress
        std::optional<std::uint16_t> web_port{};   // overrides the setting, even when it is 0 (off)
    };

    network_services(event_sink_ptr sink, settings_ptr settings, options opts);
    ~network_services();

    img_service& images() { return *images_; }
    discovery_service& discovery() { return *discovery_; }
    rc_service* remote_control() { return remote_control_.get(); }  // null when not enabled
    web_service* web() { return web_.get(); }                        // null when off
    const descriptor_budget& descriptors() const { return descriptors_; }

private:
    void start_web(const event_sink_ptr& sink, const settings_ptr& settings, const options& opts);

    descriptor_budget descriptors_;
    std::unique_ptr<img_service> images_;
    std::unique_ptr<discovery_service> discovery_;
    std::unique_ptr<rc_service> remote_control_;
    std::unique_ptr<web_service> web_;
};
