#pragma once
// reader_pool: one open database_reader per folder, shared by everyone who reads frames from
// that folder at the same time, and closed when the last of them lets go.
//
// LevelDB admits one open handle per directory in the process, so two concurrent frame
// lookups of the same database must share one handle instead of each opening it, and a
// folder is never opened again while its previous handle is still being closed.
//
// A folder can be retired (its database is being deleted): from then on acquire() gives an
// empty lease for it, and wait_unused() returns once the leases already given have ended and
// its reader is closed. admit() takes it back (the folder was listed again).
//
// Ownership: the pool owns the readers; acquire() returns a lease that keeps its reader open
// until the lease is destroyed. Leases must not outlive the pool.
// Thread safety: every member and lease destruction may run on any thread. The pool's lock
// guards its bookkeeping only: LevelDB's open and close run outside it, so a lookup of one
// folder never waits for the disk work of another (a second lookup of a folder being opened
// or closed waits for that open or close). A leased reader may be used concurrently only
// through its thread-safe members (getters, summary, read_frame).
// Errors: acquire() throws what opening the reader throws (LevelDB's status text, or the
// parse error of a malformed value); a failed open leaves nothing behind.
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "database/database_reader.h"

class reader_pool {
public:
    class lease {
    public:
        lease() = default;  // empty: the folder was retired
        lease(lease&& other) noexcept;
        lease& operator=(lease&&) = delete;
        lease(const lease&) = delete;
        ~lease();
        explicit operator bool() const { return reader_ != nullptr; }
        const database_reader& reader() const { return *reader_; }
        const database_reader* operator->() const { return reader_; }

    private:
        friend class reader_pool;
        lease(reader_pool* pool, std::wstring path, const database_reader* reader);
        reader_pool* pool_ = nullptr;
        std::wstring path_;
        const database_reader* reader_ = nullptr;
    };

    reader_pool() = default;
    reader_pool(const reader_pool&) = delete;
    reader_pool& operator=(const reader_pool&) = delete;

    lease acquire(const std::wstring& path);

    void retire(const std::wstring& path);
    void admit(const std::wstring& path);
    // Waits until nobody leases path's reader and it is closed.
    void wait_unused(const std::wstring& path);

    // Number of folders held open (or being opened or closed) now, for tests and diagnostics.
    std::size_t open_count() const;

private:
    struct slot {
        std::unique_ptr<database_reader> reader;
        std::size_t users = 0;
        bool busy = false;  // being opened or closed, outside the lock
    };
    void release(const std::wstring& path);

    mutable std::mutex mutex_;         // guards slots_ and retired_
    std::condition_variable changed_;  // a slot finished opening or closing, or went
    std::map<std::wstring, slot> slots_;
    std::set<std::wstring> retired_;
};
