#pragma once
// durable_env: the storage environment of recorded databases. It forwards everything to the
// environment it wraps, with two additions:
//   - a write-ahead log (*.log) is synced before it is closed. LevelDB closes the old log
//     without a sync when it switches to a new one; until the old memtable reaches a table
//     file, whatever followed the last synced write in that log could be lost on a power cut
//     while later, synced writes in the new log survive: a hole in the recording.
//   - every Sync() of any file is counted, so the fsync rate can be measured.
//
// Ownership: the wrapped Env must outlive this one; files it hands out must be deleted
// before it is. Thread safety: as the wrapped Env (LevelDB calls it from its own threads);
// the counter is atomic.
#include <atomic>
#include <cstdint>
#include <string>

#include <leveldb/env.h>

class durable_env : public leveldb::EnvWrapper {
public:
    explicit durable_env(leveldb::Env* target);

    leveldb::Status NewWritableFile(const std::string& name, leveldb::WritableFile** result) override;
    leveldb::Status NewAppendableFile(const std::string& name, leveldb::WritableFile** result) override;

    // Syncs of any file through this environment since construction.
    std::uint64_t syncs() const { return syncs_.load(); }

private:
    leveldb::Status wrap(const std::string& name, leveldb::Status status, leveldb::WritableFile** result);

    std::atomic<std::uint64_t> syncs_{0};
};

// The environment of the recording writer: a durable_env over the system's default one,
// alive for the whole process.
durable_env& recording_env();
