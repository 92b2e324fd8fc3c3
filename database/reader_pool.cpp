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
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(path);
    if (it == slots_.end()) {
        auto reader = std::make_unique<database_reader>(path);  // throws: nothing inserted
        it = slots_.emplace(path, slot{std::move(reader), 0}).first;
    }
    ++it->second.users;
    return lease(this, path, it->second.reader.get());
}

void reader_pool::release(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(path);
    if (it == slots_.end()) return;
    if (--it->second.users == 0) slots_.erase(it);  // closes the handle
}

bool reader_pool::close(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(path);
    if (it == slots_.end()) return true;
    if (it->second.users > 0) return false;
    slots_.erase(it);
    return true;
}

std::size_t reader_pool::open_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_.size();
}
