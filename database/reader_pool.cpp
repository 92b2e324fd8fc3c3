#include "database/reader_pool.h"

#include <utility>

reader_pool::lease::lease(reader_pool* pool, std::wstring path, const database_reader* reader)
    : pool_(pool), path_(std::move(path)), reader_(reader) {}

reader_pool::lease::lease(lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)),
      path_(std::move(other.path_)),
      reader_(std::exchange(other.reader_, nullptr)) {}

reader_pool::lease::~lease() {
    if (pool_) pool_->release(path_);
}

reader_pool::lease reader_pool::acquire(const std::wstring& path) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (retired_.count(path)) return lease();
        auto it = slots_.find(path);
        if (it == slots_.end()) break;
        if (!it->second.busy) {
            ++it->second.users;
            return lease(this, path, it->second.reader.get());
        }
        changed_.wait(lock);  // its open or close ends; look again (an open may have failed)
    }
    slots_[path] = slot{nullptr, 1, true};
    lock.unlock();
    std::unique_ptr<database_reader> reader;
    try {
        reader = std::make_unique<database_reader>(path);
    } catch (...) {
        lock.lock();
        slots_.erase(path);
        changed_.notify_all();
        throw;
    }
    lock.lock();
    slot& opened = slots_[path];
    opened.reader = std::move(reader);
    opened.busy = false;
    changed_.notify_all();
    return lease(this, path, opened.reader.get());
}

void reader_pool::release(const std::wstring& path) {
    std::unique_ptr<database_reader> closing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = slots_.find(path);
        if (it == slots_.end() || --it->second.users > 0) return;
        it->second.busy = true;  // nobody opens the folder again before this handle is closed
        closing = std::move(it->second.reader);
    }
    closing.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.erase(path);
    changed_.notify_all();
}

void reader_pool::retire(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    retired_.insert(path);
}

void reader_pool::admit(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    retired_.erase(path);
}

void reader_pool::wait_unused(const std::wstring& path) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return slots_.find(path) == slots_.end(); });
}

std::size_t reader_pool::open_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_.size();
}
