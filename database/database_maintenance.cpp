#include "database/database_maintenance.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>
#include <thread>

#include <leveldb/db.h>
#include <zip.h>

#include <wx/dir.h>
#include <wx/filename.h>

#include "database/database_layout.h"
#include "database/database_registry.h"
#include "base/locale_text.h"
#include "database/recording_database.h"

namespace {

namespace fs = std::filesystem;

std::string utf8(const std::wstring& text) {
    const wxString kept(text);  // the buffer may point into it
    const wxScopedCharBuffer bytes = kept.utf8_str();
    return std::string(bytes.data(), bytes.length());
}

std::wstring format(const wchar_t* pattern, const std::wstring& value) {
    return wxString::Format(pattern, wxString(value)).ToStdWstring();
}

// A name beside target that nothing uses yet; libzip creates it only when it writes.
fs::path temporary_beside(const fs::path& target) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (;;) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".part-%08llx", static_cast<unsigned long long>(random() & 0xffffffffu));
        fs::path candidate = target;
        candidate += suffix;
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
    }
}

struct busy_guard {
    maintenance_ui& ui;
    explicit busy_guard(maintenance_ui& u, const std::wstring& text) : ui(u) { ui.begin_busy(text); }
    ~busy_guard() { ui.end_busy(); }
};

// LevelDB's texts for a database another handle holds (this process, or another one).
bool is_lock_error(const std::string& text) { return text.find("IO error: lock ") != std::string::npos; }

// Waits until no handle holds the database at folder: true when none does (or it is no
// database at all), false when it is still held after the limit.
bool wait_until_unheld(const std::wstring& folder, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        try {
            open_leveldb(to_narrow(folder), false);  // closed again at once
            return true;
        } catch (const std::exception& e) {
            if (!is_lock_error(e.what())) return true;
        }
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Opens the database for an edit. A reader's handle (the image service keeps one open a
// couple of seconds after its last lookup) holds it briefly: the edit waits for it rather
// than failing.
void open_for_edit(recording_database& db, const std::wstring& folder) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        try {
            db.open(folder);
            return;
        } catch (const std::exception& e) {
            if (!is_lock_error(e.what()) || std::chrono::steady_clock::now() >= end) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

std::wstring archive_folder_name(const std::wstring& folder) {
    std::wstring path = folder;
    while (path.size() > 1 && path.back() == static_cast<wchar_t>(wxFileName::GetPathSeparator())) path.pop_back();
    return wxFileName(path).GetFullName().ToStdWstring();
}

std::wstring archive_file_name(const std::wstring& folder) { return archive_folder_name(folder) + L".zip"; }

std::vector<archive_entry> archive_entries(const std::wstring& folder) {
    wxArrayString files;
    wxDir::GetAllFiles(folder, &files, wxEmptyString, wxDIR_FILES | wxDIR_DIRS | wxDIR_HIDDEN);
    const wxString prefix = wxString(archive_folder_name(folder)) + wxFileName::GetPathSeparator();
    std::vector<archive_entry> out;
    out.reserve(files.size());
    for (const wxString& file : files)
        out.push_back({file.ToStdWstring(), (prefix + wxFileName(file).GetFullName()).ToStdWstring()});
    return out;
}

archive_result archive_database(const std::wstring& folder, maintenance_ui& ui) {
    const std::wstring stem = archive_folder_name(folder);
    const auto chosen = ui.choose_archive_path(archive_file_name(folder));
    if (!chosen) return archive_result::cancelled;
    const std::vector<archive_entry> entries = archive_entries(folder);

    const fs::path target(to_narrow(*chosen));
    const fs::path temporary = temporary_beside(target);
    const std::wstring cannot_create = format(L"Не удалось создать архив: %s", *chosen);
    int error = 0;
    zip_t* archive = zip_open(temporary.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive) {
        ui.message(cannot_create);
        return archive_result::cannot_create;
    }
    if (zip_dir_add(archive, utf8(stem).c_str(), ZIP_FL_ENC_UTF_8) < 0) {
        zip_discard(archive);
        ui.message(format(L"Не удалось добавить папку в архив: %s", folder));
        return archive_result::cannot_add_folder;
    }

    busy_guard busy(ui, L"Запись базы в архив...");
    for (const auto& entry : entries) {
        zip_source_t* source = zip_source_file(archive, utf8(entry.file).c_str(), 0, -1);
        if (!source) {
            ui.log_error(format(L"Не удалось открыть файл: %s", entry.file));
            zip_discard(archive);
            return archive_result::cannot_open_file;
        }
        if (zip_file_add(archive, utf8(entry.name).c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
            ui.log_error(
                format(L"Не удалось записать файл в архив: %s", wxFileName(entry.file).GetFullName().ToStdWstring()));
            zip_source_free(source);
            zip_discard(archive);
            return archive_result::cannot_add_file;
        }
    }
    // Here libzip reads and compresses the files and writes the archive: check it, and put
    // the archive in place only once it is whole.
    if (zip_close(archive) < 0) {
        zip_discard(archive);
        std::error_code ignored;
        fs::remove(temporary, ignored);
        ui.message(cannot_create);
        return archive_result::cannot_create;
    }
    std::error_code ec;
    fs::rename(temporary, target, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        ui.message(cannot_create);
        return archive_result::cannot_create;
    }
    return archive_result::written;
}

bool delete_database(const std::wstring& folder, database_registry& registry, maintenance_ui& ui) {
    if (!ui.confirm(format(L"Данные в папке %s будут удалены безвозвратно. Продолжить?", folder), L"Удаление данных"))
        return false;
    // The entry goes first, with the registry's own reader of the folder: from here on no
    // frame lookup can find the folder, and those that were reading from it have finished.
    registry.remove(folder);
    // A scan may be summarising the database right now: its folder goes only once free.
    if (!wait_until_unheld(folder, std::chrono::seconds(3))) {
        ui.log_error(format(L"Папка %s не удалена: база данных открыта в программе", folder));
        return true;
    }
    std::error_code ec;
    fs::remove_all(fs::path(to_narrow(folder)), ec);
    if (ec)
        ui.log_error(wxString::Format(L"Папка %s удалена не полностью: %s", wxString(folder),
                                      wxString(ec.message().c_str(), wxConvLibc))
                         .ToStdWstring());
    else
        ui.log_info(format(L"База удалена: %s", folder));
    return true;
}

void replace_side(const std::wstring& folder, const std::wstring& side) {
    recording_database db;
    open_for_edit(db, folder);
    db.write_side(side);
    // Released without close(): session and count stay as they are.
}

bool replace_session_code(const std::wstring& folder, maintenance_ui& ui) {
    recording_database db;
    open_for_edit(db, folder);
    const auto code = ui.enter_text(L"Введите новый код сеанса", L"Код сеанса", db.session());
    if (!code) return false;
    db.write_session(*code);
    return true;
}
