#include "database/durable_env.h"

#include <memory>

namespace {

bool is_log_file(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0;
}

class durable_file : public leveldb::WritableFile {
public:
    durable_file(leveldb::WritableFile* target, bool sync_on_close, std::atomic<std::uint64_t>& syncs)
        : target_(target), sync_on_close_(sync_on_close), syncs_(syncs) {}

    // LevelDB deletes a log without Close() on some paths: the destructor syncs as well.
    ~durable_file() override {
        if (!closed_) Close();
    }

    leveldb::Status Append(const leveldb::Slice& data) override {
        dirty_ = dirty_ || !data.empty();
        return target_->Append(data);
    }
    leveldb::Status Flush() override { return target_->Flush(); }
    leveldb::Status Sync() override {
        ++syncs_;
        leveldb::Status s = target_->Sync();
        if (s.ok()) dirty_ = false;
        return s;
    }
    leveldb::Status Close() override {
        if (closed_) return leveldb::Status::OK();
        closed_ = true;
        leveldb::Status s;
        if (sync_on_close_ && dirty_) s = Sync();
        leveldb::Status c = target_->Close();
        return s.ok() ? c : s;
    }

private:
    std::unique_ptr<leveldb::WritableFile> target_;
    const bool sync_on_close_;
    std::atomic<std::uint64_t>& syncs_;
    bool dirty_ = false;   // appended since the last sync
    bool closed_ = false;
};

}  // namespace

durable_env::durable_env(leveldb::Env* target) : leveldb::EnvWrapper(target) {}

leveldb::Status durable_env::wrap(const std::string& name, leveldb::Status status,
                                  leveldb::WritableFile** result) {
    if (status.ok()) *result = new durable_file(*result, is_log_file(name), syncs_);
    return status;
}

leveldb::Status durable_env::NewWritableFile(const std::string& name, leveldb::WritableFile** result) {
    return wrap(name, target()->NewWritableFile(name, result), result);
}

leveldb::Status durable_env::NewAppendableFile(const std::string& name, leveldb::WritableFile** result) {
    return wrap(name, target()->NewAppendableFile(name, result), result);
}

durable_env& recording_env() {
    // Never destroyed: LevelDB's background thread may still use it during static teardown.
    static durable_env* env = new durable_env(leveldb::Env::Default());
    return *env;
}
