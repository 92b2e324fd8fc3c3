#include "settings/settings_store.h"

#include "settings/settings_keys.h"

#include <wx/fileconf.h>
#include <wx/filefn.h>
#include <wx/utils.h>

wxString settings_defaults::write_path() { return wxGetHomeDir(); }

settings_store::settings_store(const wxString& path)
    : path_(path),
      config_(std::make_unique<wxFileConfig>(wxString(), wxString(), path, wxString(),
                                             wxCONFIG_USE_LOCAL_FILE, wxConvUTF8)) {
    // Values are read back exactly as written: a path or port text holding "$NAME" or a
    // backslash must not be rewritten from the environment on every read.
    config_->SetExpandEnvVars(false);
}

settings_store::~settings_store() {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.reset();  // wxFileConfig writes pending changes on deletion
}

bool settings_store::has(const wxString& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_->HasEntry(key);
}

wxString settings_store::read_text(const wxString& key, const wxString& def) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_->Read(key, def);
}

bool settings_store::read_bool(const wxString& key, bool def) const {
    std::lock_guard<std::mutex> lock(mutex_);
    bool value = def;
    config_->Read(key, &value, def);
    return value;
}

long settings_store::read_long(const wxString& key, long def) const {
    std::lock_guard<std::mutex> lock(mutex_);
    long value = def;
    config_->Read(key, &value, def);
    return value;
}

double settings_store::read_double(const wxString& key, double def) const {
    std::lock_guard<std::mutex> lock(mutex_);
    double value = def;
    config_->Read(key, &value, def);
    return value;
}

void settings_store::write_text(const wxString& key, const wxString& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_->Write(key, value);
}

void settings_store::write_bool(const wxString& key, bool value) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_->Write(key, value);
}

void settings_store::write_long(const wxString& key, long value) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_->Write(key, value);
}

void settings_store::write_double(const wxString& key, double value) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_->Write(key, value);
}

bool settings_store::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_->Flush(false);
}
