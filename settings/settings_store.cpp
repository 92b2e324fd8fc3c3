#include "settings/settings_store.h"

#include "settings/settings_keys.h"

#include <cstdio>
#include <fstream>
#include <string>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <wx/fileconf.h>
#include <wx/mstream.h>
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
      config_(
          std::make_unique<wxFileConfig>(wxString(), wxString(), path, wxString(), wxCONFIG_USE_LOCAL_FILE, conv_)) {
    std::ifstream in(path.fn_str(), std::ios::binary);
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        bool valid = true;
        const wxString shown = shown_line(line, valid);
        if (valid) continue;
        load_errors_.push_back(
            wxString::Format(L"Строка %zu файла настроек %s не в кодировке UTF-8: %s", number, path, shown));
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
    flush();
    std::lock_guard<std::mutex> lock(mutex_);
    config_.reset();
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

template <class T>
void settings_store::write_value(const wxString& key, const T& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_->Write(key, value);
    dirty_ = true;
}

void settings_store::write_text(const wxString& key, const wxString& value) { write_value(key, value); }

void settings_store::write_bool(const wxString& key, bool value) { write_value(key, value); }

void settings_store::write_long(const wxString& key, long value) { write_value(key, value); }

void settings_store::write_double(const wxString& key, double value) { write_value(key, value); }

bool settings_store::flush() {
    // The text is taken under the lock; the file is written after letting go of it, so a
    // worker reading a setting never waits for the disk.
    wxMemoryOutputStream text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!dirty_) return true;
        if (!config_->Save(text, conv_)) return false;
        dirty_ = false;
    }
    std::lock_guard<std::mutex> writing(flush_mutex_);
    if (write_whole(text)) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    dirty_ = true;  // written again by the next flush or at the end
    return false;
}

bool settings_store::write_whole(const wxMemoryOutputStream& text) const {
    // As wxFileConfig does: a temporary file beside it, with the old file's permissions, put
    // in its place only when whole.
    const std::string target(path_.fn_str());
    const std::string temporary = target + ".tmp";
    struct stat old {};
    const mode_t mode = ::stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0666;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    const wxStreamBuffer* buffer = text.GetOutputStreamBuffer();
    const char* data = static_cast<const char*>(buffer->GetBufferStart());
    std::size_t left = static_cast<std::size_t>(text.GetLength());
    bool ok = true;
    while (ok && left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) {
            data += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    ok = ::fchmod(fd, mode) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temporary.c_str(), target.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}
