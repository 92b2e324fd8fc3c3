#pragma once
// reader_pool: one open database_reader per folder, shared by everyone who reads frames from
// that folder at the same time, and closed when the last of them lets go.
//
// LevelDB admits one open handle per directory in the process, so two concurrent frame
// lookups of the same database must share one handle instead of each opening it.
//
// Ownership: the pool owns the readers; acquire() returns a lease that keeps its reader open
// until the lease is destroyed. Leases must not outlive the pool.
// Thread safety: acquire() and lease destruction may run on any thread. A leased reader may
// be used concurrently only through its thread-safe members (getters, summary, read_frame).
// Errors: acquire() throws what opening the reader throws (LevelDB's status text, or the
// parse error of a malformed value); a failed open leaves nothing behind.
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "database/database_reader.h"

class reader_pool {
    struct slot {
        std::unique_ptr<database_reader> reader;
        std::size_t users = 0;
    };

public:
    class lease {
    public:
        lease(lease&& other) noexcept;
        lease& operator=(lease&&) = delete;
        lease(const lease&) = delete;
        ~lease();
        const database_reader& reader() const { return *reader_; }
        const database_reader* operator->() const { return reader_; }

    private:
        friend class reader_pool;
        lease(reader_pool* pool, std::wstring path, const database_reader* reader);
        reader_pool* pool_;
        std::wstring path_;
        const database_reader* reader_;
    };

    reader_pool() = default;
    reader_pool(const reader_pool&) = delete;
    reader_pool& operator=(const reader_pool&) = delete;

    lease acquire(const std::wstring& path);

    // Closes path's reader now if nobody leases it; true when path is not held open after.
    bool close(const std::wstring& path);

    // Number of folders held open now (for tests and diagnostics).
    std::size_t open_count() const;

private:
    void release(const std::wstring& path);

    // Guards slots_. Opening and closing happen under it as well, so a folder is never
    // opened while its previous handle is still being closed.
    mutable std::mutex mutex_;
    std::map<std::wstring, slot> slots_;
};
