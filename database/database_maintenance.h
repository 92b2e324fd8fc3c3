#pragma once
// The maintenance commands of the "Данные" list, as plain functions over a folder: delete a
// database, archive it into a ZIP file, replace its side, replace its session code. They ask
// and report through maintenance_ui, so the window supplies message boxes and dialogs and
// tests supply answers.
//
// Archiving and deleting come in two halves as well: the part that asks (GUI thread:
// choose_archive_target, confirm_delete) and the part that works (write_archive,
// remove_database), which touches no window and reports back in its result, so a worker can
// run it while the window stays live. archive_database and delete_database run both halves
// in turn on the calling thread.
//
// Threads: the asking parts and the whole commands on the GUI thread (one command at a time);
// the working parts on any one thread, one job per folder at a time.
// Errors: the edits throw std::runtime_error with LevelDB's text when the database cannot be
// opened or written (nothing is caught here: the window's exception handler reports it);
// every other failure is reported through the ui (or the result) and the command returns.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class database_registry;

class maintenance_ui {
public:
    virtual ~maintenance_ui() = default;
    // A Yes/No question with a warning icon; true for Yes.
    virtual bool confirm(const std::wstring& text, const std::wstring& caption) = 0;
    // The save-file dialog for the archive, proposing default_name; nullopt when cancelled.
    virtual std::optional<std::wstring> choose_archive_path(const std::wstring& default_name) = 0;
    // A text-entry dialog; nullopt when cancelled.
    virtual std::optional<std::wstring> enter_text(const std::wstring& message, const std::wstring& caption,
                                                   const std::wstring& initial) = 0;
    // A message box with an OK button.
    virtual void message(const std::wstring& text) = 0;
    // An error row of the log.
    virtual void log_error(const std::wstring& text) = 0;
    // An information row of the log (answers that only question and archive care nothing).
    virtual void log_info(const std::wstring&) {}
    // The busy-information window, shown from begin_busy until end_busy.
    virtual void begin_busy(const std::wstring& text) = 0;
    virtual void end_busy() = 0;
    // A modeless progress window for a job that runs on a worker: shown by begin_progress,
    // moved by show_progress (0..1), closed by end_progress. The window stays live meanwhile;
    // on_cancel runs on the GUI thread when the operator presses "Отмена". Answers without a
    // window ignore all three.
    virtual void begin_progress(const std::wstring& /*caption*/, const std::wstring& /*text*/,
                                std::function<void()> /*on_cancel*/) {}
    virtual void show_progress(double /*fraction*/) {}
    virtual void end_progress() {}
};

// What the working part of a command has to say, for the asking side to show on its own
// thread. Each field is empty when there is nothing of that kind.
struct maintenance_report {
    std::wstring message;  // a message box
    std::wstring error;    // an error row of the log
    std::wstring info;     // an information row of the log

    bool operator==(const maintenance_report&) const = default;
};
// Shows the report through ui: the message box, then the rows.
void show_report(const maintenance_report& report, maintenance_ui& ui);

// The archive's folder name: the database folder's whole last component
// ("2024.05.01 12.30.45"). Folder names are times with dots, so cutting at the last dot would
// drop the seconds, and two recordings of one minute would unpack into one folder.
std::wstring archive_folder_name(const std::wstring& folder);
// The file name the archive dialog proposes: the folder name plus ".zip".
std::wstring archive_file_name(const std::wstring& folder);

struct archive_entry {
    std::wstring file;  // full path of the file
    std::wstring name;  // entry name: folder name, native separator, the file's name
};
// Every file under folder, recursively, hidden ones too, in the order of the folder listing.
// A file in a nested folder keeps only its own name in the entry name.
std::vector<archive_entry> archive_entries(const std::wstring& folder);

enum class archive_result { written, cancelled, cannot_create, cannot_add_folder, cannot_open_file, cannot_add_file };

// "Архивация базы": asks for the archive's path (proposing archive_file_name), then writes the
// directory entry "<folder name>/" and one entry per file (names UTF-8 and flagged so) into a
// temporary file beside the chosen one, and moves it over the chosen path only when the
// whole archive was written: an existing archive under that name stays as it was otherwise,
// and no partial file is left. Failures: the message "Не удалось создать архив: %s" (the
// chosen path; also when writing at the end fails), "Не удалось добавить папку в архив: %s"
// (the folder), or the log rows "Не удалось открыть файл: %s" (full path) and
// "Не удалось записать файл в архив: %s" (the file's name). The busy window
// "Запись базы в архив..." is up while the files are added and written.
archive_result archive_database(const std::wstring& folder, maintenance_ui& ui);

// The asking half of "Архивация базы": the save-file dialog proposing archive_file_name;
// nullopt when cancelled.
std::optional<std::wstring> choose_archive_target(const std::wstring& folder, maintenance_ui& ui);

// Called on the thread that writes. progress gets 0..1, never decreasing, and 1 once the
// archive is whole; cancelled is polled between blocks of data, and true stops the writing.
// Either may be empty.
struct archive_hooks {
    std::function<void(double)> progress;
    std::function<bool()> cancelled;
};
struct archive_outcome {
    archive_result result = archive_result::cancelled;
    std::uintmax_t bytes = 0;                     // written: the archive's size
    std::chrono::steady_clock::duration took{};   // from the start of writing to the end
    maintenance_report report;                    // a failure's message or error row
};
// The working half: writes the archive of folder to target as archive_database describes
// (temporary file beside it, moved into place only when whole). Cancelled, it removes the
// temporary file and leaves an existing target as it was (result cancelled, empty report).
// Touches no window.
archive_outcome write_archive(const std::wstring& folder, const std::wstring& target, const archive_hooks& hooks = {});

// "Удаление базы": asks "Данные в папке %s будут удалены безвозвратно. Продолжить?"
// ("Удаление данных", No being the default answer); on Yes removes the folder's entry from the registry (closing the
// registry's reader of it), waits until no reader in the process holds the database (at most
// a few seconds, e.g. for a scan summarising it), then deletes the folder recursively. A
// deletion that cannot start or fails part-way is reported as an error row, a whole one as
// the information row "База удалена: <folder>". Returns whether it
// went ahead (the list then needs a refill).
bool delete_database(const std::wstring& folder, database_registry& registry, maintenance_ui& ui);

// The asking half of "Удаление базы": the question above; true for Yes.
bool confirm_delete(const std::wstring& folder, maintenance_ui& ui);
// The working half: the registry entry, the wait for readers and the removal, as above; the
// report holds the error or information row. It may take seconds (the wait, a big folder).
// The registry is used under its own lock, so this may run on any thread.
maintenance_report remove_database(const std::wstring& folder, database_registry& registry);

// The edits below open the database for writing; while a reader holds it (the image service
// keeps its handle a couple of seconds after a lookup) they wait for it, at most 3 s, and then
// throw LevelDB's lock error.
//
// "Заменить борт": opens the database for writing (which rewrites "version") and writes
// "side" := side; no question, no other key.
void replace_side(const std::wstring& folder, const std::wstring& side);

// "Заменить код сеанса": opens the database for writing (rewriting "version"), asks
// "Введите новый код сеанса" ("Код сеанса") with the current code (the at-or-after value of
// "session") and on OK writes "session" := the text, even unchanged or empty. Returns false
// when cancelled (nothing else written).
bool replace_session_code(const std::wstring& folder, maintenance_ui& ui);
