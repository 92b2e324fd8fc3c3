#pragma once
// database_registry: the ordered collection of recorded-database summaries that the "Данные"
// list shows and the image data service searches. The window owns one and passes it to the
// list's loader, the services and the maintenance commands.
//
// Entries are appended in arrival order and never sorted; two entries may share a folder.
//
// Locking: an internal reader/writer lock guards entries_ and is held for memory work only:
// add / update / clear / remove exclusively, snapshot and the search of a lookup shared. A
// lookup opens and reads the database after letting go of it, through the read handle shared
// by every reader of that folder (reader_pool: one handle per recording, opened read-only and
// kept open a while after its last use).
// remove() retires the folder in that pool, so no later lookup opens it, and returns once the
// lookups already reading it have finished; it never holds the lock while it waits.
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

    // Appends an entry (exclusive).
    void add(const ldb_info& summary, const std::wstring& path);
    // Replaces the summary of every entry of that folder (exclusive), after its side or
    // session code was rewritten; false when there is none.
    bool update(const std::wstring& path, const ldb_info& summary);
    // Removes every entry (exclusive).
    void clear();
    // Removes the first entry whose path equals path, case-sensitively (exclusive). When no
    // other entry names that folder, no lookup opens it any more and remove() waits (without
    // the lock) until the lookups reading it have finished and its shared reader is closed.
    // Then runs once_unused, if given (e.g. deleting the folder), outside every lock. Returns
    // whether an entry was removed; once_unused runs either way, and its exceptions pass
    // through after the entry is gone.
    bool remove(const std::wstring& path, const std::function<void()>& once_unused = {});
    // A copy of all entries in order (shared).
    std::vector<registry_entry> snapshot() const;
    std::size_t size() const;

    // Named frame lookup: the first entry whose session equals
    // session_code exactly and whose dpp_start <= count <= dpp_end; its frame at or after
    // count, decoded as 8-bit BGR (empty when the stored value is not an image). With no
    // such entry (or when it was removed while the lookup ran): the placeholder frame
    // "Requested frame not found [<session>:<count>]".
    // Throws std::runtime_error with LevelDB's text when the database cannot be opened, and
    // the parse error of a malformed stored number.
    cv::Mat frame_lookup(const std::wstring& session_code, std::uint32_t count) const;

    // The same lookup without decoding, for callers that encode the stored bytes themselves:
    // the matching entry's stored bytes at or after count (nothing when it has no frame
    // there), or, with no matching entry, the placeholder frame above. Same matching rules,
    // same shared reader, same errors.
    struct stored_result {
        std::optional<std::string> stored;  // set when an entry matched and had a frame
        cv::Mat placeholder;                // set when no entry matched
    };
    stored_result stored_lookup(const std::wstring& session_code, std::uint32_t count) const;

    // Folders held in use by lookups at this moment (for tests).
    std::size_t open_readers() const { return readers_.open_count(); }
    // The shared handles, for the other readers of recordings (viewer, comparison, export).
    reader_pool& readers() const { return readers_; }

private:
    // The folder of the first entry matching a lookup.
    std::optional<std::wstring> folder_of(const std::wstring& session_code, std::uint32_t count) const;

    mutable std::shared_mutex lock_;  // guards entries_
    std::vector<registry_entry> entries_;
    mutable reader_pool readers_;  // has its own lock
};
