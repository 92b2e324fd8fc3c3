#pragma once
// read_only_env: the storage environment of a handle that only reads a recording. Recordings
// are evidence: opening one to read must leave every file in its folder as it was, and LevelDB's
// Open writes a new manifest, a new log and CURRENT, rotates LOG, and replays an uncompacted log
// into a level-0 table. Here everything LevelDB writes stays in memory:
//   - files it creates or appends to live in memory only; later reads of them (the table a log
//     replay wrote, the new manifest) are answered from there, so a crash-recovered recording
//     reads whole without a byte of it written;
//   - removing or renaming a file on disk only hides it (or moves a memory copy), the disk
//     keeps it;
//   - no LOG file: LevelDB's messages go nowhere;
//   - the lock is a shared (read) lock on LOCK, opened read-only: readers of one folder in
//     this process and in others coexist; a writer (its exclusive lock) keeps them out and
//     they keep a writer out. A folder this process writes (the recording) is refused before
//     LOCK is even opened: closing any descriptor of it would end the recorder's lock;
//   - a table write from LevelDB's background thread (a compaction after the open) is refused:
//     it would copy a large part of the recording into memory. LevelDB then stops compacting
//     that handle; reads go on.
//
// Ownership: one per handle; it must outlive the handle (LevelDB waits for its background
// work in the handle's destructor). The wrapped Env must outlive it.
// Thread safety: as any Env (LevelDB calls it from its own threads); the memory files and the
// hidden names are guarded by a mutex.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <leveldb/env.h>

class read_only_env : public leveldb::EnvWrapper {
public:
    explicit read_only_env(leveldb::Env* target);
    ~read_only_env() override;

    leveldb::Status NewSequentialFile(const std::string& name, leveldb::SequentialFile** result) override;
    leveldb::Status NewRandomAccessFile(const std::string& name, leveldb::RandomAccessFile** result) override;
    leveldb::Status NewWritableFile(const std::string& name, leveldb::WritableFile** result) override;
    leveldb::Status NewAppendableFile(const std::string& name, leveldb::WritableFile** result) override;
    bool FileExists(const std::string& name) override;
    leveldb::Status GetChildren(const std::string& dir, std::vector<std::string>* result) override;
    leveldb::Status RemoveFile(const std::string& name) override;
    leveldb::Status CreateDir(const std::string& name) override;
    leveldb::Status RemoveDir(const std::string& name) override;
    leveldb::Status GetFileSize(const std::string& name, std::uint64_t* size) override;
    leveldb::Status RenameFile(const std::string& from, const std::string& to) override;
    leveldb::Status LockFile(const std::string& name, leveldb::FileLock** lock) override;
    leveldb::Status UnlockFile(leveldb::FileLock* lock) override;
    leveldb::Status NewLogger(const std::string& name, leveldb::Logger** result) override;
    void Schedule(void (*function)(void*), void* arg) override;

    // Bytes held in memory files now (tests, diagnostics).
    std::uint64_t memory_bytes() const;
    // True when the open wrote a table into memory: it replayed a log that a writable open
    // would have stored as a table.
    bool holds_tables() const;

    // Shared contents of a memory file (the open files and the name share them).
    using contents = std::shared_ptr<std::string>;

private:
    contents find_memory(const std::string& name) const;  // null when none
    bool is_hidden(const std::string& name) const;        // removed or renamed away
    bool on_background_thread() const;

    struct background_threads;
    struct scheduled;
    static void run_scheduled(void* arg);

    mutable std::mutex mutex_;                        // guards memory_ and hidden_
    std::map<std::string, contents> memory_;          // files LevelDB wrote, by full name
    std::set<std::string> hidden_;                    // disk files LevelDB removed or renamed away
    std::shared_ptr<background_threads> background_;  // has its own lock
};
