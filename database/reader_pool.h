#pragma once
// reader_pool: one open handle per recording folder in the process, shared by everyone who
// reads it (the image service's lookups; the viewer, the comparison and the export when they
// are given the pool), opened once and closed after it has lain unused for idle_close.
//
// Every handle is a read handle (open_leveldb_read_only): reading changes no file of the
// recording, and a reader that opens the folder on its own (database_reader(path)) coexists
// with the pool's handle. A folder that a writer holds (the recording being written, which is
// served from the recorder's own handle) cannot be opened: acquire() throws LevelDB's lock error.
//
// A folder can be retired (its database is being deleted): from then on acquire() gives an
// empty lease for it, and wait_unused() returns once the leases already given have ended and
// its handle is closed (an unused handle is closed at once). admit() takes it back (the folder
// was listed again). close_unused() closes a folder's unused handle now (before a writer
// opens it).
//
// Ownership: the pool owns the shared readers; acquire() returns a lease that keeps its reader
// open until the lease is destroyed; open_reader() a reader of its own over the shared handle,
// which keeps it open likewise. Leases and such readers must not outlive the pool. The pool
// owns one thread, "qm-db-idle" (started with the first unused handle, joined by the
// destructor), which closes handles once unused for idle_close.
// Thread safety: every member and lease destruction may run on any thread. The pool's lock
// guards its bookkeeping only: LevelDB's open and close run outside it, so a lookup of one
// folder never waits for the disk work of another (a second lookup of a folder being opened
// or closed waits for that open or close). A leased reader may be used concurrently only
// through its thread-safe members (getters, summary, read_frame, read_stored).
// Errors: acquire() throws what opening the reader throws (LevelDB's status text, or the
// parse error of a malformed value); a failed open leaves nothing behind.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

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

    static constexpr std::chrono::milliseconds default_idle_close{2000};

    explicit reader_pool(std::chrono::milliseconds idle_close = default_idle_close);
    ~reader_pool();
    reader_pool(const reader_pool&) = delete;
    reader_pool& operator=(const reader_pool&) = delete;

    lease acquire(const std::wstring& path);
    // A reader of its own (its own iterators, for seek/advance on one thread) over the
    // folder's shared handle, which stays open while the reader exists. Throws what acquire()
    // throws, and std::runtime_error for a retired folder.
    std::unique_ptr<database_reader> open_reader(const std::wstring& path);

    void retire(const std::wstring& path);
    void admit(const std::wstring& path);
    // Waits until nobody leases path's reader and it is closed.
    void wait_unused(const std::wstring& path);
    // Closes path's handle now when nobody uses it.
    void close_unused(const std::wstring& path);

    // Folders whose handle is in use (or being opened or closed) now; folders whose handle is
    // open but unused. For tests and diagnostics.
    std::size_t open_count() const;
    std::size_t idle_count() const;

private:
    using clock = std::chrono::steady_clock;
    struct slot {
        std::unique_ptr<database_reader> reader;
        std::size_t users = 0;
        bool busy = false;  // being opened or closed, outside the lock
        clock::time_point unused_since{};
    };
    void release(const std::wstring& path);
    // Takes the slot's reader for closing when it is unused and open; with mutex_ held.
    std::unique_ptr<database_reader> take_unused(std::map<std::wstring, slot>::iterator it);
    // Closes a taken reader outside the lock and forgets its slot.
    void close_taken(const std::wstring& path, std::unique_ptr<database_reader> reader);
    void close_idle_work();

    const std::chrono::milliseconds idle_close_;
    mutable std::mutex mutex_;         // guards slots_, retired_, stopping_, closer_
    std::condition_variable changed_;  // a slot finished opening or closing, or went
    std::condition_variable idle_;     // a handle became unused, or the pool is stopping
    std::map<std::wstring, slot> slots_;
    std::set<std::wstring> retired_;
    bool stopping_ = false;
    std::thread closer_;  // "qm-db-idle"
};
