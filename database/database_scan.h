#pragma once
// The scan of a write path: every non-hidden subdirectory, in directory-listing order, is
// opened as a database and summarised. Shared by load_thread and the command-line tool.
// A database without "count" (a recording cut short) is counted by reading its frame keys.
// Every database is summarised through a read-only open, which changes no file. With
// settle_databases the scan makes its only changes, through a second, writable open and only
// where there is something to do; none touches a key or a value: the count found is stored as
// "count", so that the program's next start reads one key instead of every frame; a log left
// by a recording's close is stored as a table, so that later opens need not replay it; and a
// database whose level 0 is at LevelDB's compaction trigger is settled, so that later opens no
// longer start (and abandon) a compaction each.
// No state; safe from any thread. Plain files and hidden folders are skipped silently.
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/ldb_info.h"

struct scan_callbacks {
    // A database and its summary.
    std::function<void(const std::wstring& folder, const ldb_info& summary)> found;
    // A folder that could not be opened or summarised, with the exception's text.
    std::function<void(const std::wstring& folder, const std::string& reason)> failed;
    // Store found counts and settle level 0 (off: the scan only reads).
    bool settle_databases = false;
};

// Scans write_path. Returns false when it cannot be listed or holds no subdirectory (nothing
// is reported then). Stops early, between databases, once cancel is set. Exceptions thrown
// by the callbacks pass through.
bool scan_databases(const std::wstring& write_path, const scan_callbacks& callbacks,
                    const std::atomic<bool>* cancel = nullptr);

// Whether the database in folder holds at least one frame key (frame keys sort before every
// metadata key, so this reads one key); nullopt when it cannot be opened for reading.
// Opens it read-only: no file changes.
std::optional<bool> database_has_frames(const std::wstring& folder);

// The operator's text for a folder the scan could not summarise (what: the exception's text),
// naming the folder: "База <name>: нет кадров" when it opens and holds no frame (a recording
// that ended before its first frame), else "База <name>: повреждена: <what>". Opens the
// folder read-only to tell the two apart.
std::wstring unreadable_database_text(const std::wstring& folder, const std::string& what);

// Folder path of a subdirectory: the write path (absolute, without trailing separators)
// with the name appended.
std::wstring database_folder_path(const std::wstring& write_path, const std::wstring& name);

// Disk space of the file system holding path, in bytes; nullopt when the system cannot say.
struct disk_space {
    std::uint64_t total = 0;
    std::uint64_t free = 0;  // available to the user, as the toolkit reports it
};
std::optional<disk_space> disk_space_of(const std::wstring& path);

// The volume text of the status line: on Linux the mount point of path's file system.
std::wstring volume_of(const std::wstring& path);

// "Диск: <volume>: Всего: <total GiB> GB Cвободно: <free GiB> GB" (whole GiB, rounded down;
// the "C" of "Cвободно" is the Latin capital letter, as the operators know it).
std::wstring make_disk_line(const std::wstring& volume, std::uint64_t total, std::uint64_t free);
