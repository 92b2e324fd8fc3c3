#include "depot/depot_settings.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "settings/settings_keys.h"
#include "settings/settings_store.h"

namespace {
std::string text(const settings_store& store, const wchar_t* key, const wchar_t* def) {
    return store.read_text(key, def).ToStdString(wxConvUTF8);
}
std::string trim_slashes(std::string s) {
    while (!s.empty() && s.front() == '/') s.erase(s.begin());
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}
}  // namespace

s3_config depot_settings::client_config() const {
    s3_config c;
    c.endpoint = endpoint;
    c.bucket = bucket;
    c.region = region.empty() ? "us-east-1" : region;
    c.access_key = access_key;
    c.secret = secret;
    c.ca_file = ca_file;
    c.max_send_bytes_per_s = max_kbps * 1024;
    return c;
}

std::string depot_settings_path() {
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/Velkor3/config/.quillmar";
}

std::string read_depot_secret(const std::string& path) {
    if (path.empty()) throw std::runtime_error("не задан файл ключа депо (depot_secret_file)");
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error("нет файла ключа депо " + path);
    if (st.st_mode & (S_IRWXG | S_IRWXO))
        throw std::runtime_error("файл ключа депо " + path + " доступен не только владельцу (нужны права 0600)");
    std::ifstream in(path);
    std::string secret;
    if (!in || !std::getline(in, secret)) throw std::runtime_error("не удалось прочитать файл ключа депо " + path);
    while (!secret.empty() && (secret.back() == '\r' || secret.back() == ' ' || secret.back() == '\t')) secret.pop_back();
    if (secret.empty()) throw std::runtime_error("файл ключа депо " + path + " пуст");
    return secret;
}

depot_settings load_depot_settings(const settings_store& store) {
    namespace k = settings_keys;
    namespace d = settings_defaults;
    depot_settings s;
    s.enabled = store.read_bool(k::depot_enabled, d::depot_enabled);
    s.endpoint = text(store, k::depot_endpoint, d::depot_endpoint);
    s.bucket = text(store, k::depot_bucket, d::depot_bucket);
    s.prefix = trim_slashes(text(store, k::depot_prefix, d::depot_prefix));
    s.region = text(store, k::depot_region, d::depot_region);
    s.access_key = text(store, k::depot_access_key, d::depot_access_key);
    s.ca_file = text(store, k::depot_ca_file, d::depot_ca_file);
    const long kbps = store.read_long(k::depot_max_kbps, d::depot_max_kbps);
    s.max_kbps = kbps > 0 ? static_cast<std::uint64_t>(kbps) : 0;
    s.delete_when_safe = store.read_bool(k::depot_delete_when_safe, d::depot_delete_when_safe);
    if (s.endpoint.empty()) throw std::runtime_error("не задан адрес депо (depot_endpoint)");
    if (s.bucket.empty()) throw std::runtime_error("не задана корзина депо (depot_bucket)");
    if (s.access_key.empty()) throw std::runtime_error("не задан ключ доступа к депо (depot_access_key)");
    s.secret = read_depot_secret(text(store, k::depot_secret_file, d::depot_secret_file));
    return s;
}
