#include "database/durable_env.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

// Bytes after which the kernel is asked to start writing a file out (see durable_file::Flush).
constexpr std::uint64_t writeback_step = 1 << 20;

bool is_log_file(const std::string& name) { return name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0; }

class durable_file : public leveldb::WritableFile {
public:
    durable_file(leveldb::WritableFile* target, const std::string& name, bool log, durable_env& env)
        : target_(target), log_(log), env_(env) {
        const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) writeback_fd_ = std::make_shared<const durable_env::descriptor>(fd);
    }

    // LevelDB deletes a log without Close() on some paths: the destructor closes it as well.
    ~durable_file() override {
        if (target_) Close();
    }

    leveldb::Status Append(const leveldb::Slice& data) override {
        dirty_ = dirty_ || !data.empty();
        appended_ += data.size();
        return target_->Append(data);
    }
    leveldb::Status Flush() override {
        leveldb::Status s = target_->Flush();
        // Have what the kernel holds now written out: left to the next Sync(), a second of
        // frames (tens of MB) would be written while the recording step waits, and table files
        // would reach the disk in bursts that hold up the log's sync. A log is synced outright
        // (its growing size too), so LevelDB's own Sync() of it finds next to nothing left.
        // Any descriptor of the file will do; without one (not a plain file) nothing is done.
        if (s.ok() && writeback_fd_ && appended_ - started_ >= writeback_step) {
            env_.write_out_later(writeback_fd_, started_, appended_ - started_, log_);
            started_ = appended_;
        }
        return s;
    }
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
    bool dirty_ = false;                                           // appended since the last sync
    std::shared_ptr<const durable_env::descriptor> writeback_fd_;  // read-only, of the same file; may be null
    std::uint64_t appended_ = 0;                                   // bytes appended through this handle
    std::uint64_t started_ = 0;                                    // bytes whose write-out has been started
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
    {
        std::lock_guard<std::mutex> lock(write_out_mutex_);
        write_out_stopping_ = true;
    }
    write_out_queued_.notify_all();
    if (write_out_worker_.joinable()) write_out_worker_.join();
}

durable_env::descriptor::~descriptor() { ::close(fd); }

void durable_env::write_out_later(std::shared_ptr<const descriptor> file, std::uint64_t offset, std::uint64_t length,
                                  bool sync) {
    {
        std::lock_guard<std::mutex> lock(write_out_mutex_);
        // A slow disk must not grow the queue: the next range of the same file joins the last.
        if (!write_outs_.empty() && write_outs_.back().file == file) {
            write_outs_.back().length = offset + length - write_outs_.back().offset;
            return;
        }
        write_outs_.push_back({std::move(file), offset, length, sync});
        if (!write_out_worker_.joinable()) write_out_worker_ = std::thread([this] { write_out_work(); });
    }
    write_out_queued_.notify_all();
}

void durable_env::write_out_work() {
    std::unique_lock<std::mutex> lock(write_out_mutex_);
    for (;;) {
        write_out_queued_.wait(lock, [this] { return write_out_stopping_ || !write_outs_.empty(); });
        if (write_outs_.empty()) return;  // stopping, nothing left
        write_out next = std::move(write_outs_.front());
        write_outs_.pop_front();
        lock.unlock();
        // Only ahead of time: a failure changes nothing, the data is still synced by Sync().
        if (next.sync) {
            ++syncs_;
            // A log is read again only after a crash: once synced, its pages need not crowd
            // the page cache, where a shift's tens of GB would make the kernel reclaim memory
            // in the middle of a recording step.
            if (::fdatasync(next.file->fd) == 0)
                ::posix_fadvise(next.file->fd, 0, static_cast<off_t>(next.offset + next.length), POSIX_FADV_DONTNEED);
        } else {
            ::sync_file_range(next.file->fd, static_cast<off64_t>(next.offset), static_cast<off64_t>(next.length),
                              SYNC_FILE_RANGE_WRITE);
        }
        next.file.reset();
        lock.lock();
    }
}

leveldb::Status durable_env::wrap(const std::string& name, leveldb::Status status, leveldb::WritableFile** result) {
    if (status.ok()) *result = new durable_file(*result, name, is_log_file(name), *this);
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
