#include "settings/settings_store.h"

#include "settings/settings_keys.h"

#include <cstdio>
#include <fstream>
#include <string>

#include <wx/fileconf.h>
#include <wx/filefn.h>
#include <wx/utils.h>

wxString settings_defaults::write_path() { return wxGetHomeDir(); }

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0.
std::size_t utf8_sequence(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    if (b < 0x80) return 1;
    std::size_t n = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    const unsigned char c = byte(i + 1);
    if ((b == 0xE0 && c < 0xA0) || (b == 0xED && c > 0x9F) || (b == 0xF0 && c < 0x90) || (b == 0xF4 && c > 0x8F))
        return 0;  // overlong, surrogate or beyond U+10FFFF
    return n;
}

// The line as printable text: valid characters as they are, stray bytes as \xNN.
wxString shown_line(const std::string& line, bool& valid) {
    std::string out;
    valid = true;
    for (std::size_t i = 0; i < line.size();) {
        const std::size_t n = utf8_sequence(line, i);
        if (n == 0) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(line[i]));
            out += hex;
            valid = false;
            ++i;
        } else {
            out.append(line, i, n);
            i += n;
        }
    }
    return wxString::FromUTF8(out);
}

}  // namespace

settings_store::settings_store(const wxString& path)
    : path_(path),
      // Stray bytes map to private-use characters and back, so one bad byte neither empties
      // the whole file on reading nor changes on writing.
      config_(std::make_unique<wxFileConfig>(wxString(), wxString(), path, wxString(),
                                             wxCONFIG_USE_LOCAL_FILE,
                                             wxMBConvUTF8(wxMBConvUTF8::MAP_INVALID_UTF8_TO_PUA))) {
    std::ifstream in(path.fn_str(), std::ios::binary);
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        bool valid = true;
        const wxString shown = shown_line(line, valid);
        if (valid) continue;
        load_errors_.push_back(wxString::Format(L"Строка %zu файла настроек %s не в кодировке UTF-8: %s", number,
                                                path, shown));
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            std::string key = line.substr(0, equals);
            while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
            damaged_keys_.push_back(wxString::FromUTF8(key));
        }
    }
    // Values are read back exactly as written: a path or port text holding "$NAME" or a
    // backslash must not be rewritten from the environment on every read.
    config_->SetExpandEnvVars(false);
}

settings_store::~settings_store() {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.reset();  // wxFileConfig writes pending changes on deletion
}

bool settings_store::damaged(const wxString& key) const {
    for (const auto& k : damaged_keys_)
        if (k == key) return true;
    return false;
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
