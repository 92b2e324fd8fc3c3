#include "database/durable_env.h"

#include "base/thread_name.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>


namespace {

// Bytes after which the kernel is asked to start writing a file out (see durable_file::Flush).
constexpr std::uint64_t writeback_step = 1 << 20;

const off_t page_size = static_cast<off_t>(::sysconf(_SC_PAGESIZE));

// Background work yields the processor to the recording.
constexpr int background_nice = 10;
void run_in_background() { yield_this_thread_to(background_nice); }

struct background_job {
    void (*function)(void*);
    void* arg;
};

void run_job(void* job) {
    std::unique_ptr<background_job> j(static_cast<background_job*>(job));
    // LevelDB's one background thread, which compacts.
    name_this_thread("qm-compact");
    run_in_background();
    j->function(j->arg);
}

bool is_log_file(const std::string& name) { return name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0; }

}  // namespace

struct durable_env::log_syncer {
    std::unique_ptr<leveldb::WritableFile> handle;         // never appended to
    std::shared_ptr<const durable_env::descriptor> pages;  // may be null
};

namespace {

class durable_file : public leveldb::WritableFile {
public:
    // sync_handle: a log's second handle, for syncs asked for (null for any other file).
    durable_file(leveldb::WritableFile* target, const std::string& name,
                 std::unique_ptr<leveldb::WritableFile> sync_handle, durable_env& env)
        : target_(target), log_(sync_handle != nullptr), env_(env) {
        const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) writeback_fd_ = std::make_shared<const durable_env::descriptor>(fd);
        if (log_) {
            syncer_ = std::make_shared<durable_env::log_syncer>();
            syncer_->handle = std::move(sync_handle);
            syncer_->pages = writeback_fd_;
            env_.add_log(syncer_);
        }
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
        // Have what the kernel holds now written out: left to the next sync, a second of frames
        // (tens of MB) would be written while that sync waits, and table files would reach the
        // disk in bursts that hold up the log's sync. Any descriptor of the file will do;
        // without one (not a plain file) nothing is done.
        if (s.ok() && writeback_fd_ && appended_ - started_ >= writeback_step) {
            env_.write_out_later(writeback_fd_, started_, appended_ - started_);
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
            env_.retire_log(syncer_, std::move(target_));
            return s;
        }
        if (log_) env_.retire_log(syncer_, nullptr);
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
    std::shared_ptr<durable_env::log_syncer> syncer_;              // a log's; null for other files
};

}  // namespace

durable_env::durable_env(leveldb::Env* target) : leveldb::EnvWrapper(target) {}

void durable_env::start_worker() {
    if (!worker_.joinable()) worker_ = std::thread([this] { work(); });
}

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

void durable_env::write_out_later(std::shared_ptr<const descriptor> file, std::uint64_t offset, std::uint64_t length) {
    {
        std::lock_guard<std::mutex> lock(write_out_mutex_);
        // A slow disk must not grow the queue: the next range of the same file joins the last.
        if (length > 0 && !write_outs_.empty() && write_outs_.back().file == file) {
            write_outs_.back().length = offset + length - write_outs_.back().offset;
            return;
        }
        write_outs_.push_back({std::move(file), offset, length});
        if (!write_out_worker_.joinable()) write_out_worker_ = std::thread([this] { write_out_work(); });
    }
    write_out_queued_.notify_all();
}

void durable_env::write_out_work() {
    name_this_thread("qm-write-out");
    run_in_background();
    std::unique_lock<std::mutex> lock(write_out_mutex_);
    for (;;) {
        write_out_queued_.wait(lock, [this] { return write_out_stopping_ || !write_outs_.empty(); });
        if (write_outs_.empty()) return;  // stopping, nothing left
        write_out next = std::move(write_outs_.front());
        write_outs_.pop_front();
        lock.unlock();
        // Only ahead of time: a failure changes nothing, the data is still synced by Sync().
        if (next.length > 0)
            ::sync_file_range(next.file->fd, static_cast<off64_t>(next.offset), static_cast<off64_t>(next.length),
                              SYNC_FILE_RANGE_WRITE);
        next.file.reset();
        lock.lock();
    }
}

leveldb::Status durable_env::wrap(const std::string& name, leveldb::Status status, leveldb::WritableFile** result) {
    if (!status.ok()) return status;
    std::unique_ptr<leveldb::WritableFile> sync_handle;
    if (is_log_file(name)) {
        leveldb::WritableFile* second = nullptr;
        leveldb::Status s = target()->NewAppendableFile(name, &second);
        if (!s.ok()) {
            // A log whose syncs cannot be asked for is no log to record into.
            delete *result;
            *result = nullptr;
            return s;
        }
        sync_handle.reset(second);
    }
    *result = new durable_file(*result, name, std::move(sync_handle), *this);
    return status;
}

leveldb::Status durable_env::NewWritableFile(const std::string& name, leveldb::WritableFile** result) {
    return wrap(name, target()->NewWritableFile(name, result), result);
}

void durable_env::Schedule(void (*function)(void*), void* arg) {
    target()->Schedule(run_job, new background_job{function, arg});
}

leveldb::Status durable_env::RemoveFile(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    leveldb::Status s = target()->RemoveFile(name);
    if (fd >= 0) write_out_later(std::make_shared<const descriptor>(fd), 0, 0);
    return s;
}

leveldb::Status durable_env::NewAppendableFile(const std::string& name, leveldb::WritableFile** result) {
    return wrap(name, target()->NewAppendableFile(name, result), result);
}

void durable_env::add_log(std::shared_ptr<log_syncer> log) {
    std::lock_guard<std::mutex> lock(mutex_);
    logs_.push_back(std::move(log));
}

void durable_env::retire_log(const std::shared_ptr<log_syncer>& log, std::unique_ptr<leveldb::WritableFile> file) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = logs_.begin(); it != logs_.end(); ++it)
            if (*it == log) {
                logs_.erase(it);
                break;
            }
        if (!file) return;
        queue_.push_back(std::move(file));
        start_worker();
    }
    changed_.notify_all();
}

std::uint64_t durable_env::sync_logs_later() {
    std::uint64_t ticket;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ticket = ++requested_;
        start_worker();
    }
    changed_.notify_all();
    return ticket;
}

bool durable_env::logs_synced(std::uint64_t ticket, leveldb::Status* failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (synced_ < ticket) return false;
    if (failure) *failure = log_failure_;
    return true;
}

leveldb::Status durable_env::wait_logs_synced(std::uint64_t ticket) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return synced_ >= ticket; });
    return log_failure_;
}

leveldb::Status durable_env::wait_logs_synced() {
    std::uint64_t last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last = requested_;
    }
    return wait_logs_synced(last);
}

void durable_env::forget_log_failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_failure_ = leveldb::Status::OK();
}

leveldb::Status durable_env::sync_open_logs(std::unique_lock<std::mutex>& lock) {
    // Logs opened later hold nothing written before the ticket; a log closed meanwhile is
    // still synced through its second handle, which stays open with its syncer.
    std::vector<std::shared_ptr<log_syncer>> logs = logs_;
    lock.unlock();
    leveldb::Status first;
    for (const auto& log : logs) {
        ++syncs_;
        struct stat before {};
        const bool sized = log->pages && ::fstat(log->pages->fd, &before) == 0;
        leveldb::Status s = log->handle->Sync();
        // Read again only after a crash: once synced, the log's pages need not crowd the page
        // cache, where a shift's tens of GB would make the kernel reclaim memory in the middle
        // of a recording step. Whole synced pages only: dropping the page the writer appends
        // to next would make that append read it back from a busy disk.
        const off_t whole = sized ? before.st_size / page_size * page_size : 0;
        if (s.ok() && whole > 0) ::posix_fadvise(log->pages->fd, 0, whole, POSIX_FADV_DONTNEED);
        if (first.ok()) first = s;
    }
    logs.clear();
    lock.lock();
    return first;
}

leveldb::Status durable_env::wait_for_queued_syncs() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
    leveldb::Status failure = failure_;
    failure_ = leveldb::Status::OK();
    return failure;
}

void durable_env::work() {
    name_this_thread("qm-sync");
    run_in_background();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty() || synced_ < requested_; });
        if (queue_.empty() && synced_ < requested_) {
            // Closed logs first (the queue is empty): none may be behind a later, synced one.
            const std::uint64_t ticket = requested_;
            busy_ = true;
            leveldb::Status s = sync_open_logs(lock);
            busy_ = false;
            if (log_failure_.ok()) log_failure_ = s;
            synced_ = ticket;
            changed_.notify_all();
            continue;
        }
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
        // A closed log's lost tail is a hole before every later write: no later sync asked for
        // may report success.
        if (log_failure_.ok()) log_failure_ = !s.ok() ? s : c;
        changed_.notify_all();
    }
}
