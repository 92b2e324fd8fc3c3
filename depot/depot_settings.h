#pragma once
// depot_settings: where the depot is and how to sign in, from the program's settings file
// ($HOME/Velkor3/config/.quillmar) and the secret's own file.
//
// Plain values; no locking. load_depot_settings reads once and throws std::runtime_error
// with a Russian text for the operator when the settings cannot be used (never containing
// the secret).
#include <cstdint>
#include <string>

#include "depot/s3_client.h"

class settings_store;

struct depot_settings {
    bool enabled = false;
    std::string endpoint;
    std::string bucket;
    std::string prefix;  // no leading or trailing '/'
    std::string region;
    std::string access_key;
    std::string secret;
    std::string ca_file;
    std::uint64_t max_kbps = 0;  // 0: no cap
    bool delete_when_safe = false;

    s3_config client_config() const;
};

// The settings file's path under HOME.
std::string depot_settings_path();
// Reads the depot keys and the secret file. The secret file must be a regular file readable
// by its owner only (no group or other bits): "файл ключа депо <path> доступен не только
// владельцу (нужны права 0600)" otherwise.
depot_settings load_depot_settings(const settings_store& store);
// The secret's file alone (first line, trailing white space cut), with the same checks.
std::string read_depot_secret(const std::string& path);
