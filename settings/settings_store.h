#pragma once
// The one settings store of a run: a wxFileConfig bound to a single local UTF-8 file.
//
// Ownership: shared (settings_ptr). The main window creates it and hands the same pointer to
// every worker; workers that outlive the window keep it alive, so none reads a dead store.
// Thread safety: every read and write holds one mutex, so the GUI thread and service threads
// may use it at once (wxFileConfig itself is not thread-safe). flush() holds it only to take
// the file's text; the file is written after letting go.
// Values are read back exactly as written (no expansion of environment variables).
// Errors: a missing file or key yields the caller's default; a file that cannot be written
// makes flush() return false (and is tried again at the next flush). A line that is not UTF-8 does not cost
// the other keys: it is listed in load_errors() and kept as it was.
#include <memory>
#include <mutex>
#include <vector>

#include <wx/strconv.h>
#include <wx/string.h>

class wxFileConfig;
class wxMemoryOutputStream;

class settings_store {
public:
    // Binds the store to the file at path; the file need not exist.
    explicit settings_store(const wxString& path);
    // Writes pending changes to the file.
    ~settings_store();
    settings_store(const settings_store&) = delete;
    settings_store& operator=(const settings_store&) = delete;

    const wxString& path() const { return path_; }

    bool has(const wxString& key) const;
    wxString read_text(const wxString& key, const wxString& def) const;
    bool read_bool(const wxString& key, bool def) const;
    long read_long(const wxString& key, long def) const;
    double read_double(const wxString& key, double def) const;

    void write_text(const wxString& key, const wxString& value);
    void write_bool(const wxString& key, bool value);
    void write_long(const wxString& key, long value);
    void write_double(const wxString& key, double value);

    // Writes every pending change to the file now; false when it could not be written.
    bool flush();

    // Lines of the file that were not UTF-8 when the store was created, one text each for the
    // log ("Строка %zu файла настроек %s не в кодировке UTF-8: %s"). Such a line is still read
    // (its stray bytes as private-use characters) and written back byte for byte.
    const std::vector<wxString>& load_errors() const { return load_errors_; }
    // Whether key's line was one of them: the settings dialog leaves such a key as it is
    // unless the operator changes it.
    bool damaged(const wxString& key) const;

private:
    bool write_whole(const wxMemoryOutputStream& text) const;
    template <class T>
    void write_value(const wxString& key, const T& value);

    wxString path_;
    // Stray bytes map to private-use characters and back, so one bad byte neither empties
    // the whole file on reading nor changes on writing.
    const wxMBConvUTF8 conv_{wxMBConvUTF8::MAP_INVALID_UTF8_TO_PUA};
    std::vector<wxString> load_errors_;   // set by the constructor, then constant
    std::vector<wxString> damaged_keys_;  // likewise
    mutable std::mutex mutex_;            // guards config_ and dirty_
    std::unique_ptr<wxFileConfig> config_;
    bool dirty_ = false;      // written since the last flush
    std::mutex flush_mutex_;  // one file write at a time; no reader waits for it
};

using settings_ptr = std::shared_ptr<settings_store>;
