#include "tests/support/fault_injection_env.h"

#include <unistd.h>

#include <algorithm>
#include <memory>

namespace test_support {

namespace {

bool is_log_file(const std::string& name) { return name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0; }

class tracked_file : public leveldb::WritableFile {
public:
    tracked_file(fault_injection_env& env, std::string name, leveldb::WritableFile* target)
        : env_(env), name_(std::move(name)), target_(target) {}
    leveldb::Status Append(const leveldb::Slice& data) override { return env_.append(name_, *target_, data); }
    leveldb::Status Flush() override { return env_.powered() ? target_->Flush() : leveldb::Status::OK(); }
    leveldb::Status Sync() override { return env_.sync(name_, *target_); }
    leveldb::Status Close() override { return target_->Close(); }

private:
    fault_injection_env& env_;
    const std::string name_;
    std::unique_ptr<leveldb::WritableFile> target_;
};

// What a file opened after the power went off gets: nothing reaches the disk.
class lost_file : public leveldb::WritableFile {
public:
    leveldb::Status Append(const leveldb::Slice&) override { return leveldb::Status::OK(); }
    leveldb::Status Flush() override { return leveldb::Status::OK(); }
    leveldb::Status Sync() override { return leveldb::Status::OK(); }
    leveldb::Status Close() override { return leveldb::Status::OK(); }
};

}  // namespace

fault_injection_env::fault_injection_env() : leveldb::EnvWrapper(leveldb::Env::Default()) {}

fault_injection_env::~fault_injection_env() { release_background_work(); }

leveldb::Status fault_injection_env::NewWritableFile(const std::string& name, leveldb::WritableFile** result) {
    if (!powered()) {
        *result = new lost_file;
        return leveldb::Status::OK();
    }
    leveldb::WritableFile* file = nullptr;
    leveldb::Status s = target()->NewWritableFile(name, &file);
    if (!s.ok()) return s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        files_[name] = file_state{};
    }
    *result = new tracked_file(*this, name, file);
    return s;
}

leveldb::Status fault_injection_env::NewAppendableFile(const std::string& name, leveldb::WritableFile** result) {
    if (!powered()) {
        *result = new lost_file;
        return leveldb::Status::OK();
    }
    std::uint64_t size = 0;
    if (!target()->GetFileSize(name, &size).ok()) size = 0;
    leveldb::WritableFile* file = nullptr;
    leveldb::Status s = target()->NewAppendableFile(name, &file);
    if (!s.ok()) return s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // What was there before is taken as on the disk.
        if (!files_.count(name)) files_[name] = file_state{size, size};
    }
    *result = new tracked_file(*this, name, file);
    return s;
}

leveldb::Status fault_injection_env::RemoveFile(const std::string& name) {
    if (!powered()) return leveldb::Status::OK();
    leveldb::Status s = target()->RemoveFile(name);
    std::lock_guard<std::mutex> lock(mutex_);
    if (s.ok()) files_.erase(name);
    return s;
}

leveldb::Status fault_injection_env::RenameFile(const std::string& from, const std::string& to) {
    if (!powered()) return leveldb::Status::OK();
    leveldb::Status s = target()->RenameFile(from, to);
    std::lock_guard<std::mutex> lock(mutex_);
    if (s.ok()) {
        auto it = files_.find(from);
        if (it != files_.end()) {
            files_[to] = it->second;
            files_.erase(from);
        } else {
            files_.erase(to);
        }
    }
    return s;
}

void fault_injection_env::Schedule(void (*function)(void*), void* arg) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (holding_) {
            held_.emplace_back(function, arg);
            return;
        }
    }
    target()->Schedule(function, arg);
}

void fault_injection_env::hold_background_work() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = true;
}

void fault_injection_env::release_background_work() {
    std::vector<std::pair<void (*)(void*), void*>> work;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = false;
        work.swap(held_);
    }
    for (auto& [function, arg] : work) target()->Schedule(function, arg);
}

bool fault_injection_env::powered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return powered_;
}

void fault_injection_env::power_off() {
    std::lock_guard<std::mutex> lock(mutex_);
    powered_ = false;
}

void fault_injection_env::power_off_after(std::uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    power_budget_ = bytes;
}

void fault_injection_env::fail_writes_after(std::uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    write_budget_ = bytes;
}

std::uint64_t fault_injection_env::appended_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return appended_;
}

std::uint64_t fault_injection_env::unsynced_log_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t n = 0;
    for (const auto& [name, state] : files_)
        if (is_log_file(name)) n += state.size - state.synced;
    return n;
}

void fault_injection_env::before_each_append(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    append_hook_ = std::make_shared<const std::function<void()>>(std::move(hook));
}

leveldb::Status fault_injection_env::append(const std::string& name, leveldb::WritableFile& target,
                                            const leveldb::Slice& data) {
    std::shared_ptr<const std::function<void()>> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hook = append_hook_;
    }
    // Outside the lock: a stalled append must not hold up the other files' bookkeeping.
    if (hook && *hook) (*hook)();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!powered_) return leveldb::Status::OK();  // lost with the power
    std::size_t n = data.size();
    bool power_goes = false, disk_full = false;
    if (power_budget_ && *power_budget_ < n) {
        n = static_cast<std::size_t>(*power_budget_);
        power_goes = true;
    }
    if (write_budget_ && *write_budget_ < n) {
        n = static_cast<std::size_t>(*write_budget_);
        disk_full = true;
        power_goes = false;
    }
    leveldb::Status s = n ? target.Append(leveldb::Slice(data.data(), n)) : leveldb::Status::OK();
    // The part written must be in the file itself before the cut truncates it.
    if (s.ok() && (power_goes || disk_full)) s = target.Flush();
    if (!s.ok()) return s;
    files_[name].size += n;
    appended_ += n;
    if (power_budget_) *power_budget_ -= n;
    if (write_budget_) *write_budget_ -= n;
    if (power_goes) {
        powered_ = false;
        power_budget_.reset();
        return leveldb::Status::OK();
    }
    if (disk_full) return leveldb::Status::IOError(name, "No space left on device");
    return s;
}

void fault_injection_env::hold_log_syncs() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_syncs_ = true;
}

void fault_injection_env::release_log_syncs() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_syncs_ = false;
    }
    syncs_released_.notify_all();
}

void fault_injection_env::fail_log_syncs() {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_syncs_ = true;
}

leveldb::Status fault_injection_env::sync(const std::string& name, leveldb::WritableFile& target) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (is_log_file(name)) {
        syncs_released_.wait(lock, [this] { return !holding_syncs_; });
        if (failing_syncs_) return leveldb::Status::IOError(name, "Input/output error");
    }
    if (!powered_) return leveldb::Status::OK();
    leveldb::Status s = target.Flush();
    if (s.ok()) files_[name].synced = files_[name].size;
    return s;
}

void fault_injection_env::restore_after_cut(std::uint64_t keep_unsynced_log) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [name, state] : files_) {
        std::uint64_t keep = state.synced;
        if (is_log_file(name)) keep += std::min(keep_unsynced_log, state.size - state.synced);
        if (keep < state.size && ::truncate(name.c_str(), static_cast<off_t>(keep)) != 0) continue;
        state.size = state.synced = keep;
    }
    powered_ = true;
    power_budget_.reset();
}

}  // namespace test_support
