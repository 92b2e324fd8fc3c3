#pragma once
// durable_env: the storage environment of recorded databases. It forwards everything to the
// environment it wraps, with these additions:
//   - a write-ahead log (*.log) with unsynced data is synced when it is closed. LevelDB closes
//     the old log without a sync when it switches to a new one; until the old memtable reaches
//     a table file, whatever followed the last synced write in that log could be lost on a
//     power cut while later, synced writes in the new log survive: a hole in the recording.
//     That sync runs on a worker thread of its own, so the recording does not wait for it;
//     every later Sync() of a log first waits for it, so no synced write can be on disk with
//     an unsynced one before it. A failed background sync is returned by the next log Sync().
//   - every Sync() of any file is counted, so the fsync rate can be measured.
//   - every MB written to a file is handed to the kernel for writing out at once, on a thread
//     of its own, so no LevelDB thread waits for it.
//   - sync_logs_later() makes every log written so far durable on the sync worker (logs closed
//     before it first), through a second handle of each open log that the wrapped Env hands
//     out: the writer goes on appending meanwhile. LevelDB's synced write would hold every
//     later write behind its fdatasync, which a busy disk can stretch past a frame period.
//     A failed sync is kept: every later ticket reports it.
//   - a removed file's blocks are freed on the write-out thread: ext4 mounted with "discard"
//     frees them with a synchronous discard, tens of ms a file on a busy disk, and LevelDB
//     removes files on the thread that must also flush the next memtable before the recording
//     can go on. A descriptor opened before the removal keeps the file until that thread
//     closes it.
//   - LevelDB's background work (compactions) and this environment's own threads run at a
//     lower CPU priority (nice 10): on a busy two-core machine they took the processor from
//     the recording step. They still get every idle cycle. LevelDB's background thread is
//     shared by every database of the process; it keeps the lower priority.
//
// Ownership: the wrapped Env must outlive this one; files it hands out must be deleted
// before it is. It owns its two worker threads: the destructor finishes what is queued
// (syncs asked for included) and joins them.
// Thread safety: as the wrapped Env (LevelDB calls it from its own threads); its own state is
// guarded by a mutex, the counter is atomic.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <leveldb/env.h>

class durable_env : public leveldb::EnvWrapper {
public:
    explicit durable_env(leveldb::Env* target);
    ~durable_env() override;

    leveldb::Status NewWritableFile(const std::string& name, leveldb::WritableFile** result) override;
    leveldb::Status NewAppendableFile(const std::string& name, leveldb::WritableFile** result) override;
    leveldb::Status RemoveFile(const std::string& name) override;
    void Schedule(void (*function)(void*), void* arg) override;

    // Syncs of any file through this environment since construction (ahead-of-time log syncs
    // included), and of logs alone by LevelDB (the synced writes and the syncs at a log's
    // close; the rest are LevelDB's own table and manifest syncs and the ahead-of-time ones).
    std::uint64_t syncs() const { return syncs_.load(); }
    std::uint64_t log_syncs() const { return log_syncs_.load(); }

    // Used by the files it hands out.
    void count_sync(bool log) {
        ++syncs_;
        if (log) ++log_syncs_;
    }
    // Waits until every queued sync is done; the first failure among them, if any.
    leveldb::Status wait_for_queued_syncs();

    // Asks the sync worker to make everything written to logs so far durable; returns at once
    // with the ticket of that sync.
    std::uint64_t sync_logs_later();
    // True once the ticket's sync has run; *failure (if given) then holds the first failure of
    // any log sync so far (OK while none failed).
    bool logs_synced(std::uint64_t ticket, leveldb::Status* failure = nullptr);
    // Waits for the ticket's sync; the first failure of any log sync so far.
    leveldb::Status wait_logs_synced(std::uint64_t ticket);
    // The same for every ticket handed out so far.
    leveldb::Status wait_logs_synced();
    // Forgets a failed log sync (for a new database, once the old one's syncs have run).
    void forget_log_failure();

    // The second handle of an open log: only the sync worker syncs through it.
    struct log_syncer;
    // Used by the log files it hands out: an open log joins the syncs asked for; a closed one
    // leaves them, queued for its last sync (file non-null: synced, closed and deleted on the
    // worker) in the same step, so no sync can miss it.
    void add_log(std::shared_ptr<log_syncer> log);
    void retire_log(const std::shared_ptr<log_syncer>& log, std::unique_ptr<leveldb::WritableFile> file);
    // An open descriptor of a file being written (closed when the last holder lets go).
    struct descriptor {
        explicit descriptor(int fd) : fd(fd) {}
        ~descriptor();
        descriptor(const descriptor&) = delete;
        descriptor& operator=(const descriptor&) = delete;
        const int fd;
    };
    // Starts writing bytes [offset, offset + length) of the file out, later, on the write-out
    // thread; returns at once. A length of 0 only lets go of the descriptor there.
    void write_out_later(std::shared_ptr<const descriptor> file, std::uint64_t offset, std::uint64_t length);

private:
    leveldb::Status wrap(const std::string& name, leveldb::Status status, leveldb::WritableFile** result);
    void work();
    void start_worker();  // with mutex_ held
    leveldb::Status sync_open_logs(std::unique_lock<std::mutex>& lock);

    std::atomic<std::uint64_t> syncs_{0};
    std::atomic<std::uint64_t> log_syncs_{0};

    // guards queue_, busy_, failure_, stopping_, worker_, logs_, requested_, synced_, log_failure_
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<leveldb::WritableFile>> queue_;
    bool busy_ = false;
    leveldb::Status failure_;
    bool stopping_ = false;
    std::thread worker_;                             // started with the first queued or asked-for sync
    std::vector<std::shared_ptr<log_syncer>> logs_;  // the open logs
    std::uint64_t requested_ = 0;                    // last ticket handed out
    std::uint64_t synced_ = 0;                       // last ticket whose sync has run
    leveldb::Status log_failure_;                    // first failed sync of an open log

    struct write_out {
        std::shared_ptr<const descriptor> file;
        std::uint64_t offset;
        std::uint64_t length;
    };
    std::mutex write_out_mutex_;  // guards write_outs_, write_out_stopping_, write_out_worker_
    std::condition_variable write_out_queued_;
    std::deque<write_out> write_outs_;
    bool write_out_stopping_ = false;
    std::thread write_out_worker_;  // started with the first write-out
    void write_out_work();
};
