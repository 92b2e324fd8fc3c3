#include "app/depot_link.h"

#include <stdexcept>

#include "base/locale_text.h"
#include "depot/depot_settings.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"

wxDEFINE_EVENT(EVT_DEPOT_STATUS, wxThreadEvent);

depot_link::depot_link(wxEvtHandler* window, event_sink_ptr sink, std::function<void(depot_uploader_config&)> tune)
    : window_(window), sink_(std::move(sink)), tune_(std::move(tune)) {}

depot_link::~depot_link() { uploader_.reset(); }

bool depot_link::apply(const settings_store& store, const std::string& write_path) {
    depot_settings settings;
    if (store.read_bool(settings_keys::depot_enabled, settings_defaults::depot_enabled)) {
        try {
            settings = load_depot_settings(store);
        } catch (const std::exception& e) {
            post_log_error(sink_, L"Депо: выгрузка не включена: " + to_wide(e.what()));
            settings = {};
        }
    }
    const std::string target = settings.enabled ? settings.endpoint + "/" + settings.bucket : std::string();
    if (target != target_) {
        if (!target.empty())
            post_log_info(sink_, L"Депо: выгрузка записей включена: " + to_wide(target));
        else if (!target_.empty())
            post_log_info(sink_, L"Депо: выгрузка записей выключена");
        target_ = target;
    }
    if (!uploader_) {
        if (!settings.enabled) return false;
        depot_uploader_config config;
        config.write_path = write_path;
        config.settings = settings;
        wxEvtHandler* window = window_;
        config.status = [window](const std::string& folder, const depot_status& status) {
            auto* event = new wxThreadEvent(EVT_DEPOT_STATUS);
            event->SetPayload(depot_status_update{to_wide(folder), to_wide(depot_status_text(status))});
            wxQueueEvent(window, event);
        };
        event_sink_ptr sink = sink_;
        config.log = [sink](const std::string& row, bool is_error) {
            if (is_error)
                post_log_error(sink, to_wide(row));
            else
                post_log_info(sink, to_wide(row));
        };
        if (tune_) tune_(config);
        uploader_ = std::make_unique<depot_uploader>(std::move(config));
        uploader_->start();
        return true;
    }
    uploader_->set_write_path(write_path);
    uploader_->set_settings(settings);
    return settings.enabled;
}

void depot_link::recording_closed() {
    if (uploader_) uploader_->recording_closed({});
}
