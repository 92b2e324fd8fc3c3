#pragma once
// fault_injection_env: a LevelDB storage environment for tests that simulates what a disk
// keeps through a power cut, and a disk that fills up.
//
// It tracks, per file written through it, the length written and the length at its last
// Sync(). power_off() (or power_off_after(n bytes)) makes every later write, removal and
// rename vanish silently, as on a machine that has lost power; restore_after_cut() then
// truncates every tracked file to its length at its last sync, optionally keeping part of a
// log's unsynced tail (a torn write), and powers on again. The database can then be reopened
// as after a restart.
//
// fail_writes_after(n) makes appends fail with "No space left on device" once n more bytes
// were written (the crossing append writes its first part), as a full disk does.
//
// hold_log_syncs() makes every Sync() of a log wait (without blocking appends) until
// release_log_syncs(), as a disk too busy to sync does; fail_log_syncs() makes them fail.
//
// hold_background_work() queues LevelDB's background work (compactions) instead of running
// it, until release_background_work(): a test can cut while a memtable still waits for its
// table file.
//
// before_each_append(hook) runs hook before every append, on the appending thread (a test
// stalls the disk there by sleeping).
//
// Sync() flushes but does not fsync: the disk is simulated, only the bookkeeping matters.
// Thread safety: every member may be called from any thread (LevelDB calls it from its
// background thread too). The Env must outlive every database opened with it.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <leveldb/env.h>

namespace test_support {

class fault_injection_env : public leveldb::EnvWrapper {
public:
    fault_injection_env();
    ~fault_injection_env() override;

    leveldb::Status NewWritableFile(const std::string& name, leveldb::WritableFile** result) override;
    leveldb::Status NewAppendableFile(const std::string& name, leveldb::WritableFile** result) override;
    leveldb::Status RemoveFile(const std::string& name) override;
    leveldb::Status RenameFile(const std::string& from, const std::string& to) override;
    void Schedule(void (*function)(void*), void* arg) override;

    void power_off();
    // Power goes off in the middle of the append that crosses n more bytes.
    void power_off_after(std::uint64_t bytes);
    // Truncates every tracked file to its synced length (plus up to keep_unsynced_log bytes of
    // each log's unsynced tail) and powers on.
    void restore_after_cut(std::uint64_t keep_unsynced_log = 0);
    // Unsynced bytes in the log files now.
    std::uint64_t unsynced_log_bytes() const;
    // Bytes appended to any file so far.
    std::uint64_t appended_bytes() const;

    void fail_writes_after(std::uint64_t bytes);

    void hold_log_syncs();
    void release_log_syncs();
    void fail_log_syncs();

    void hold_background_work();
    void release_background_work();

    void before_each_append(std::function<void()> hook);

    // Called by the files it hands out.
    leveldb::Status append(const std::string& name, leveldb::WritableFile& target, const leveldb::Slice& data);
    leveldb::Status sync(const std::string& name, leveldb::WritableFile& target);
    bool powered() const;

private:
    struct file_state {
        std::uint64_t size = 0;
        std::uint64_t synced = 0;
    };

    mutable std::mutex mutex_;  // guards everything below
    std::map<std::string, file_state> files_;
    bool powered_ = true;
    std::optional<std::uint64_t> power_budget_;  // bytes until power goes off
    std::optional<std::uint64_t> write_budget_;  // bytes until writes fail
    std::uint64_t appended_ = 0;
    bool holding_ = false;
    bool holding_syncs_ = false;
    bool failing_syncs_ = false;
    std::condition_variable syncs_released_;
    std::vector<std::pair<void (*)(void*), void*>> held_;
    std::shared_ptr<const std::function<void()>> append_hook_;
};

}  // namespace test_support
