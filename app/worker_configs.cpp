#include "app/worker_configs.h"

#include "settings/settings_keys.h"

capture_config capture_config_from(const settings_ptr& settings) {
    capture_config config;
    if (settings) config.rotate180 = settings->read_bool(settings_keys::rotate180, settings_defaults::rotate180);
    return config;
}

std::wstring write_path_from(const settings_ptr& settings) {
    const wxString fallback = settings_defaults::write_path();
    return (settings ? settings->read_text(settings_keys::write_path, fallback) : fallback).ToStdWstring();
}
