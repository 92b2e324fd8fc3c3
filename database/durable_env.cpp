#include "database/durable_env.h"

namespace {

bool is_log_file(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0;
}

class durable_file : public leveldb::WritableFile {
public:
    durable_file(leveldb::WritableFile* target, bool log, durable_env& env)
        : target_(target), log_(log), env_(env) {}

    // LevelDB deletes a log without Close() on some paths: the destructor closes it as well.
    ~durable_file() override {
        if (target_) Close();
    }

    leveldb::Status Append(const leveldb::Slice& data) override {
        dirty_ = dirty_ || !data.empty();
        return target_->Append(data);
    }
    leveldb::Status Flush() override { return target_->Flush(); }
    leveldb::Status Sync() override {
        if (log_) {
            // An older log closed just before must be on the disk before this one is.
            leveldb::Status queued = env_.wait_for_queued_syncs();
            if (!queued.ok()) return queued;
        }
        env_.count_sync(log_);
        leveldb::Status s = target_->Sync();
        if (s.ok()) dirty_ = false;
        return s;
    }
    leveldb::Status Close() override {
        if (!target_) return leveldb::Status::OK();
        if (log_ && dirty_) {
            // Flushed here, so the data is the file's before its handle changes threads.
            leveldb::Status s = target_->Flush();
            env_.sync_and_close_later(std::move(target_));
            return s;
        }
        leveldb::Status s = target_->Close();
        target_.reset();
        return s;
    }

private:
    std::unique_ptr<leveldb::WritableFile> target_;  // null once closed
    const bool log_;
    durable_env& env_;
    bool dirty_ = false;  // appended since the last sync
};

}  // namespace

durable_env::durable_env(leveldb::Env* target) : leveldb::EnvWrapper(target) {}

durable_env::~durable_env() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
}

leveldb::Status durable_env::wrap(const std::string& name, leveldb::Status status,
                                  leveldb::WritableFile** result) {
    if (status.ok()) *result = new durable_file(*result, is_log_file(name), *this);
    return status;
}

leveldb::Status durable_env::NewWritableFile(const std::string& name, leveldb::WritableFile** result) {
    return wrap(name, target()->NewWritableFile(name, result), result);
}

leveldb::Status durable_env::NewAppendableFile(const std::string& name, leveldb::WritableFile** result) {
    return wrap(name, target()->NewAppendableFile(name, result), result);
}

void durable_env::sync_and_close_later(std::unique_ptr<leveldb::WritableFile> file) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(file));
        if (!worker_.joinable()) worker_ = std::thread([this] { work(); });
    }
    changed_.notify_all();
}

leveldb::Status durable_env::wait_for_queued_syncs() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
    leveldb::Status failure = failure_;
    failure_ = leveldb::Status::OK();
    return failure;
}

void durable_env::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, nothing left
        std::unique_ptr<leveldb::WritableFile> file = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        count_sync(true);
        leveldb::Status s = file->Sync();
        leveldb::Status c = file->Close();
        file.reset();
        lock.lock();
        busy_ = false;
        if (failure_.ok()) failure_ = !s.ok() ? s : c;
        changed_.notify_all();
    }
}

durable_env& recording_env() {
    // Made while the first recording database is constructed, so it is destroyed after the
    // process-wide one (static destruction runs in reverse).
    static durable_env env(leveldb::Env::Default());
    return env;
}
