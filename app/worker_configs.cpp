#include "app/worker_configs.h"

#include "settings/settings_keys.h"

#include <algorithm>

capture_config capture_config_from(const settings_ptr& settings) {
    capture_config config;
    if (!settings) return config;
    config.rotate180 = settings->read_bool(settings_keys::rotate180, settings_defaults::rotate180);
    // A file edited by hand may hold anything: text reads as the default, a number outside the
    // dialog's range as the nearest limit.
    const long mb = std::clamp(settings->read_long(settings_keys::record_queue_mb, settings_defaults::record_queue_mb),
                               settings_defaults::record_queue_mb_least, settings_defaults::record_queue_mb_most);
    config.recording_queue_bytes = static_cast<std::size_t>(mb) << 20;
    return config;
}

std::wstring write_path_from(const settings_ptr& settings) {
    const wxString fallback = settings_defaults::write_path();
    return (settings ? settings->read_text(settings_keys::write_path, fallback) : fallback).ToStdWstring();
}
