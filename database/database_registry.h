#pragma once
// database_registry: the process-wide, ordered collection of recorded-database summaries
// that the "Данные" list shows and the image data service searches.
//
// Entries are appended in arrival order and never sorted; two entries may share a folder.
//
// Locking: registry_lock (a reader/writer lock, exposed by registry_lock()) guards entries_.
// Every member takes it itself: add / clear / remove / snapshot exclusively or shared as
// noted, frame_lookup() shared for the whole lookup, from the search until the frame has
// been read, so a database cannot be removed (and its folder deleted) while a frame is read
// from it. Do not call members while holding registry_lock yourself (it is not recursive);
// remove() runs a callback under its exclusive hold for work that must not race lookups.
//
// Concurrent lookups of one database share one open reader (reader_pool), so the second
// does not fail on LevelDB's one-handle-per-directory rule.
#include <cstdint>
#include <functional>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "base/ldb_info.h"
#include "database/reader_pool.h"

struct registry_entry {
    ldb_info info;
    std::wstring path;  // the database folder, no trailing separator

    bool operator==(const registry_entry&) const = default;
};

class database_registry {
public:
    database_registry() = default;
    database_registry(const database_registry&) = delete;
    database_registry& operator=(const database_registry&) = delete;

    std::shared_mutex& registry_lock() { return lock_; }

    // Appends an entry (exclusive).
    void add(const ldb_info& summary, const std::wstring& path);
    // Replaces the summary of every entry of that folder (exclusive), after its side or
    // session code was rewritten; false when there is none.
    bool update(const std::wstring& path, const ldb_info& summary);
    // Removes every entry (exclusive).
    void clear();
    // Removes the first entry whose path equals path, case-sensitively (exclusive), and closes
    // the lookups' shared reader of that folder, if one is open; then runs
    // while_locked, if given, still under the exclusive hold (e.g. deleting the folder, which
    // no lookup can have open then). Returns whether an entry was removed; while_locked runs
    // either way. Exceptions from while_locked pass through after the entry is gone.
    bool remove(const std::wstring& path, const std::function<void()>& while_locked = {});
    // A copy of all entries in order (shared).
    std::vector<registry_entry> snapshot() const;
    std::size_t size() const;

    // Named frame lookup (shared for its whole duration): the first entry whose session equals
    // session_code exactly and whose dpp_start <= count <= dpp_end; its frame at or after
    // count, decoded as 8-bit BGR (empty when the stored value is not an image). With no
    // such entry: the placeholder frame "Requested frame not found [<session>:<count>]".
    // Throws std::runtime_error with LevelDB's text when the database cannot be opened, and
    // the parse error of a malformed stored number.
    cv::Mat frame_lookup(const std::wstring& session_code, std::uint32_t count) const;

    // The same lookup without decoding, for callers that encode the stored bytes themselves:
    // the matching entry's stored bytes at or after count (nothing when it has no frame
    // there), or, with no matching entry, the placeholder frame above. Same matching rules,
    // same shared reader, same errors; the shared hold ends when the bytes are copied.
    struct stored_result {
        std::optional<std::string> stored;  // set when an entry matched and had a frame
        cv::Mat placeholder;                // set when no entry matched
    };
    stored_result stored_lookup(const std::wstring& session_code, std::uint32_t count) const;

    // Folders held open by lookups at this moment (for tests).
    std::size_t open_readers() const { return readers_.open_count(); }

private:
    mutable std::shared_mutex lock_;  // registry_lock: guards entries_
    std::vector<registry_entry> entries_;
    mutable reader_pool readers_;     // has its own lock
};

// The one registry of the program (the main window's list, the image data service).
database_registry& process_database_registry();
