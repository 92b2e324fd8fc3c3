#include "database/database_maintenance.h"

#include <algorithm>
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

void show_report(const maintenance_report& report, maintenance_ui& ui) {
    if (!report.message.empty()) ui.message(report.message);
    if (!report.error.empty()) ui.log_error(report.error);
    if (!report.info.empty()) ui.log_info(report.info);
}

std::optional<std::wstring> choose_archive_target(const std::wstring& folder, maintenance_ui& ui) {
    return ui.choose_archive_path(archive_file_name(folder));
}

archive_outcome write_archive(const std::wstring& folder, const std::wstring& target_name, const archive_hooks& hooks) {
    const auto started = std::chrono::steady_clock::now();
    archive_outcome out;
    const auto finish = [&](archive_result result, maintenance_report report = {}) {
        out.result = result;
        out.report = std::move(report);
        out.took = std::chrono::steady_clock::now() - started;
        return out;
    };
    const std::wstring stem = archive_folder_name(folder);
    const std::vector<archive_entry> entries = archive_entries(folder);
    const fs::path target(to_narrow(target_name));
    const fs::path temporary = temporary_beside(target);
    const maintenance_report cannot_create{format(L"Не удалось создать архив: %s", target_name), {}, {}};

    int error = 0;
    zip_t* archive = zip_open(temporary.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive) return finish(archive_result::cannot_create, cannot_create);
    if (zip_dir_add(archive, utf8(stem).c_str(), ZIP_FL_ENC_UTF_8) < 0) {
        zip_discard(archive);
        return finish(archive_result::cannot_add_folder, {format(L"Не удалось добавить папку в архив: %s", folder), {}, {}});
    }
    const auto stopped = [&] { return hooks.cancelled && hooks.cancelled(); };
    for (const auto& entry : entries) {
        if (stopped()) {
            zip_discard(archive);  // nothing written yet: libzip writes only at close
            return finish(archive_result::cancelled);
        }
        zip_source_t* source = zip_source_file(archive, utf8(entry.file).c_str(), 0, -1);
        if (!source) {
            zip_discard(archive);
            return finish(archive_result::cannot_open_file, {{}, format(L"Не удалось открыть файл: %s", entry.file), {}});
        }
        if (zip_file_add(archive, utf8(entry.name).c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(source);
            zip_discard(archive);
            return finish(archive_result::cannot_add_file,
                          {{},
                           format(L"Не удалось записать файл в архив: %s",
                                  wxFileName(entry.file).GetFullName().ToStdWstring()),
                           {}});
        }
    }

    // libzip reports progress and asks whether to go on only while zip_close reads, compresses
    // and writes; that is where nearly all the time goes.
    struct close_state {
        const archive_hooks& hooks;
        double last = 0;  // the highest fraction passed on: libzip's own may step back a little
        bool cancelled = false;
    } state{hooks};
    if (hooks.progress) {
        hooks.progress(0);
        zip_register_progress_callback_with_state(
            archive, 0.005,
            [](zip_t*, double fraction, void* data) {
                auto& s = *static_cast<close_state*>(data);
                if (fraction <= s.last) return;
                s.last = std::min(fraction, 1.0);
                s.hooks.progress(s.last);
            },
            nullptr, &state);
    }
    if (hooks.cancelled)
        zip_register_cancel_callback_with_state(
            archive,
            [](zip_t*, void* data) -> int {
                auto& s = *static_cast<close_state*>(data);
                if (s.hooks.cancelled()) s.cancelled = true;
                return s.cancelled ? 1 : 0;
            },
            nullptr, &state);

    // Put the archive in place only once it is whole. libzip writes into a file of its own
    // beside `temporary` and removes it when writing fails or is cancelled.
    std::error_code ignored;
    if (zip_close(archive) < 0) {
        const bool cancelled = state.cancelled || zip_error_code_zip(zip_get_error(archive)) == ZIP_ER_CANCELLED;
        zip_discard(archive);
        fs::remove(temporary, ignored);
        return cancelled ? finish(archive_result::cancelled) : finish(archive_result::cannot_create, cannot_create);
    }
    // A cancel that came after the last block is too late: the archive is whole and stays.
    std::error_code ec;
    fs::rename(temporary, target, ec);
    if (ec) {
        fs::remove(temporary, ignored);
        return finish(archive_result::cannot_create, cannot_create);
    }
    out.bytes = fs::file_size(target, ec);
    if (hooks.progress && state.last < 1) hooks.progress(1);
    return finish(archive_result::written);
}

archive_result archive_database(const std::wstring& folder, maintenance_ui& ui) {
    const auto chosen = choose_archive_target(folder, ui);
    if (!chosen) return archive_result::cancelled;
    archive_outcome outcome;
    {
        busy_guard busy(ui, L"Запись базы в архив...");
        outcome = write_archive(folder, *chosen);
    }
    show_report(outcome.report, ui);
    return outcome.result;
}

bool confirm_delete(const std::wstring& folder, maintenance_ui& ui) {
    return ui.confirm(format(L"Данные в папке %s будут удалены безвозвратно. Продолжить?", folder), L"Удаление данных");
}

maintenance_report remove_database(const std::wstring& folder, database_registry& registry) {
    // The entry goes first, with the registry's own reader of the folder: from here on no
    // frame lookup can find the folder, and those that were reading from it have finished.
    registry.remove(folder);
    // A scan may be summarising the database right now: its folder goes only once free.
    if (!wait_until_unheld(folder, std::chrono::seconds(3)))
        return {{}, format(L"Папка %s не удалена: база данных открыта в программе", folder), {}};
    std::error_code ec;
    fs::remove_all(fs::path(to_narrow(folder)), ec);
    if (ec)
        return {{},
                wxString::Format(L"Папка %s удалена не полностью: %s", wxString(folder),
                                 wxString(ec.message().c_str(), wxConvLibc))
                    .ToStdWstring(),
                {}};
    return {{}, {}, format(L"База удалена: %s", folder)};
}

bool delete_database(const std::wstring& folder, database_registry& registry, maintenance_ui& ui) {
    if (!confirm_delete(folder, ui)) return false;
    show_report(remove_database(folder, registry), ui);
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
