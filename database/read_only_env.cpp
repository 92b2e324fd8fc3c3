#include "database/read_only_env.h"

#include "base/thread_name.h"
#include "database/folder_locks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

namespace {

using contents = read_only_env::contents;

class memory_sequential : public leveldb::SequentialFile {
public:
    explicit memory_sequential(contents data) : data_(std::move(data)) {}
    leveldb::Status Read(size_t n, leveldb::Slice* result, char*) override {
        // The contents never shrink while a reader of them exists: LevelDB reads a file it
        // is no longer writing.
        const size_t take = std::min(n, data_->size() - std::min(pos_, data_->size()));
        *result = leveldb::Slice(data_->data() + pos_, take);
        pos_ += take;
        return leveldb::Status::OK();
    }
    leveldb::Status Skip(uint64_t n) override {
        pos_ = std::min<uint64_t>(pos_ + n, data_->size());
        return leveldb::Status::OK();
    }

private:
    contents data_;
    size_t pos_ = 0;
};

class memory_random_access : public leveldb::RandomAccessFile {
public:
    explicit memory_random_access(contents data) : data_(std::move(data)) {}
    leveldb::Status Read(uint64_t offset, size_t n, leveldb::Slice* result, char*) const override {
        if (offset > data_->size()) {
            *result = leveldb::Slice();
            return leveldb::Status::IOError("read past the end of a memory file");
        }
        *result = leveldb::Slice(data_->data() + offset, std::min<uint64_t>(n, data_->size() - offset));
        return leveldb::Status::OK();
    }

private:
    contents data_;
};

class memory_writable : public leveldb::WritableFile {
public:
    explicit memory_writable(contents data) : data_(std::move(data)) {}
    leveldb::Status Append(const leveldb::Slice& data) override {
        data_->append(data.data(), data.size());
        return leveldb::Status::OK();
    }
    leveldb::Status Close() override { return leveldb::Status::OK(); }
    leveldb::Status Flush() override { return leveldb::Status::OK(); }
    leveldb::Status Sync() override { return leveldb::Status::OK(); }

private:
    contents data_;
};

class silent_logger : public leveldb::Logger {
public:
    void Logv(const char*, std::va_list) override {}
};

class shared_lock_file : public leveldb::FileLock {
public:
    explicit shared_lock_file(int fd) : fd(fd) {}
    ~shared_lock_file() override {
        if (fd >= 0) ::close(fd);  // ends the lock with its open file description
    }
    const int fd;
};

// True when this process holds a writer's (classic) lock on the file: the recorder writing
// that folder. Closing any descriptor of a file ends every such lock the process holds on
// it, so a reader must not even open the file then, or another process could open the
// recording for writing under the recorder.
bool write_locked_by_this_process(const std::string& name) {
    for (const auto& holder : locks_on(name))
        if (holder.type == file_lock_holder::kind::posix && holder.write && holder.pid == ::getpid()) return true;
    return false;
}

leveldb::Status refused(const std::string& name) {
    return leveldb::Status::IOError(name, "not written: the recording is open for reading only");
}

}  // namespace

struct read_only_env::background_threads {
    std::mutex mutex;                        // guards running
    std::multiset<std::thread::id> running;  // threads running this handle's background work
};

struct read_only_env::scheduled {
    // Shared: LevelDB's handle (and this environment with it) may be gone before the
    // background function has quite returned.
    std::shared_ptr<background_threads> threads;
    void (*function)(void*);
    void* arg;
};

read_only_env::read_only_env(leveldb::Env* target)
    : leveldb::EnvWrapper(target), background_(std::make_shared<background_threads>()) {}

read_only_env::~read_only_env() = default;

contents read_only_env::find_memory(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = memory_.find(name);
    return it == memory_.end() ? nullptr : it->second;
}

bool read_only_env::is_hidden(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hidden_.count(name) > 0;
}

bool read_only_env::on_background_thread() const {
    std::lock_guard<std::mutex> lock(background_->mutex);
    return background_->running.count(std::this_thread::get_id()) > 0;
}

leveldb::Status read_only_env::NewSequentialFile(const std::string& name, leveldb::SequentialFile** result) {
    if (contents data = find_memory(name)) {
        *result = new memory_sequential(std::move(data));
        return leveldb::Status::OK();
    }
    if (is_hidden(name)) {
        *result = nullptr;
        return leveldb::Status::NotFound(name);
    }
    return target()->NewSequentialFile(name, result);
}

leveldb::Status read_only_env::NewRandomAccessFile(const std::string& name, leveldb::RandomAccessFile** result) {
    if (contents data = find_memory(name)) {
        *result = new memory_random_access(std::move(data));
        return leveldb::Status::OK();
    }
    if (is_hidden(name)) {
        *result = nullptr;
        return leveldb::Status::NotFound(name);
    }
    return target()->NewRandomAccessFile(name, result);
}

leveldb::Status read_only_env::NewWritableFile(const std::string& name, leveldb::WritableFile** result) {
    // The open's own writes (a replayed log's table, the manifest) are small and needed to
    // read; a compaction afterwards would copy tables wholesale into memory.
    if (on_background_thread()) {
        *result = nullptr;
        return refused(name);
    }
    auto data = std::make_shared<std::string>();
    std::lock_guard<std::mutex> lock(mutex_);
    memory_[name] = data;
    hidden_.insert(name);  // a disk file of that name is replaced, for this handle
    *result = new memory_writable(std::move(data));
    return leveldb::Status::OK();
}

leveldb::Status read_only_env::NewAppendableFile(const std::string& name, leveldb::WritableFile** result) {
    if (on_background_thread()) {
        *result = nullptr;
        return refused(name);
    }
    if (contents data = find_memory(name)) {
        *result = new memory_writable(std::move(data));
        return leveldb::Status::OK();
    }
    auto data = std::make_shared<std::string>();
    bool on_disk = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        on_disk = !hidden_.count(name);
    }
    if (on_disk && target()->FileExists(name)) {
        leveldb::Status s = leveldb::ReadFileToString(target(), name, data.get());
        if (!s.ok()) {
            *result = nullptr;
            return s;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    memory_[name] = data;
    hidden_.insert(name);
    *result = new memory_writable(std::move(data));
    return leveldb::Status::OK();
}

bool read_only_env::FileExists(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (memory_.count(name)) return true;
        if (hidden_.count(name)) return false;
    }
    return target()->FileExists(name);
}

leveldb::Status read_only_env::GetChildren(const std::string& dir, std::vector<std::string>* result) {
    std::vector<std::string> on_disk;
    leveldb::Status s = target()->GetChildren(dir, &on_disk);
    if (!s.ok()) return s;
    const std::string prefix = dir + "/";
    std::set<std::string> names;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& child : on_disk)
        if (!hidden_.count(prefix + child)) names.insert(child);
    for (const auto& [name, data] : memory_)
        if (name.compare(0, prefix.size(), prefix) == 0 && name.find('/', prefix.size()) == std::string::npos)
            names.insert(name.substr(prefix.size()));
    result->assign(names.begin(), names.end());
    return leveldb::Status::OK();
}

leveldb::Status read_only_env::RemoveFile(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    memory_.erase(name);
    hidden_.insert(name);
    return leveldb::Status::OK();
}

leveldb::Status read_only_env::CreateDir(const std::string&) { return leveldb::Status::OK(); }

leveldb::Status read_only_env::RemoveDir(const std::string&) { return leveldb::Status::OK(); }

leveldb::Status read_only_env::GetFileSize(const std::string& name, std::uint64_t* size) {
    if (contents data = find_memory(name)) {
        *size = data->size();
        return leveldb::Status::OK();
    }
    if (is_hidden(name)) return leveldb::Status::NotFound(name);
    return target()->GetFileSize(name, size);
}

leveldb::Status read_only_env::RenameFile(const std::string& from, const std::string& to) {
    contents data = find_memory(from);
    if (!data) {
        // A disk file moved (LevelDB does it only for small files): its copy moves instead.
        data = std::make_shared<std::string>();
        leveldb::Status s = leveldb::ReadFileToString(target(), from, data.get());
        if (!s.ok()) return s;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    memory_.erase(from);
    hidden_.insert(from);
    memory_[to] = std::move(data);
    hidden_.insert(to);
    return leveldb::Status::OK();
}

leveldb::Status read_only_env::LockFile(const std::string& name, leveldb::FileLock** lock) {
    *lock = nullptr;
    if (write_locked_by_this_process(name)) return leveldb::Status::IOError("lock " + name, "already held by process");
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // A folder copied without its LOCK (or one on a medium that cannot be locked) is
        // still read; creating the file would be a write.
        if (errno == ENOENT) {
            *lock = new shared_lock_file(-1);
            return leveldb::Status::OK();
        }
        return leveldb::Status::IOError("lock " + name, std::strerror(errno));
    }
    // An open-file-description lock: several readers share it, within this process too, and
    // it conflicts with the writer's exclusive lock in any process.
    struct flock request {};
    request.l_type = F_RDLCK;
    request.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &request) != 0) {
        const int error = errno;
        ::close(fd);
        return leveldb::Status::IOError("lock " + name, std::strerror(error));
    }
    *lock = new shared_lock_file(fd);
    return leveldb::Status::OK();
}

leveldb::Status read_only_env::UnlockFile(leveldb::FileLock* lock) {
    delete lock;
    return leveldb::Status::OK();
}

leveldb::Status read_only_env::NewLogger(const std::string&, leveldb::Logger** result) {
    *result = new silent_logger;
    return leveldb::Status::OK();
}

void read_only_env::run_scheduled(void* arg) {
    std::unique_ptr<scheduled> job(static_cast<scheduled*>(arg));
    name_this_thread("qm-compact");  // LevelDB's one background thread, shared by every handle
    const auto self = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> lock(job->threads->mutex);
        job->threads->running.insert(self);
    }
    job->function(job->arg);
    std::lock_guard<std::mutex> lock(job->threads->mutex);
    job->threads->running.erase(job->threads->running.find(self));
}

void read_only_env::Schedule(void (*function)(void*), void* arg) {
    target()->Schedule(&read_only_env::run_scheduled, new scheduled{background_, function, arg});
}

std::uint64_t read_only_env::memory_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t bytes = 0;
    for (const auto& [name, data] : memory_) bytes += data->size();
    return bytes;
}

bool read_only_env::holds_tables() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, data] : memory_)
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ldb") == 0) return true;
    return false;
}
