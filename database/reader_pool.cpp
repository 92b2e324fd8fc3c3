#include "database/reader_pool.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "base/thread_name.h"
#include "base/locale_text.h"

reader_pool::lease::lease(reader_pool* pool, std::wstring path, const database_reader* reader)
    : pool_(pool), path_(std::move(path)), reader_(reader) {}

reader_pool::lease::lease(lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)),
      path_(std::move(other.path_)),
      reader_(std::exchange(other.reader_, nullptr)) {}

reader_pool::lease::~lease() {
    if (pool_) pool_->release(path_);
}

reader_pool::reader_pool(std::chrono::milliseconds idle_close) : idle_close_(idle_close) {}

reader_pool::~reader_pool() {
    std::thread closer;
    std::map<std::wstring, slot> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        closer = std::move(closer_);
        left = std::move(slots_);
    }
    idle_.notify_all();
    if (closer.joinable()) closer.join();
    left.clear();  // the unused handles; leases do not outlive the pool
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
    slots_[path] = slot{nullptr, 1, true, {}};
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

std::unique_ptr<database_reader> reader_pool::open_reader(const std::wstring& path) {
    auto held = std::make_shared<lease>(acquire(path));
    if (!*held) throw std::runtime_error("The database is being deleted: " + to_narrow(path));
    auto handle = (*held)->shared_handle();
    // The lease goes after the reader's own iterators: only then may the pool close the handle.
    return std::make_unique<database_reader>(std::move(handle), std::move(held));
}

std::unique_ptr<database_reader> reader_pool::take_unused(std::map<std::wstring, slot>::iterator it) {
    if (it->second.busy || it->second.users > 0) return nullptr;
    it->second.busy = true;  // nobody opens the folder again before this handle is closed
    return std::move(it->second.reader);
}

void reader_pool::close_taken(const std::wstring& path, std::unique_ptr<database_reader> reader) {
    reader.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.erase(path);
    changed_.notify_all();
}

void reader_pool::release(const std::wstring& path) {
    std::unique_ptr<database_reader> closing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = slots_.find(path);
        if (it == slots_.end() || --it->second.users > 0) return;
        if (idle_close_.count() > 0 && !retired_.count(path) && !stopping_) {
            // Kept for the next lookup: opening costs a manifest read and, for a recording
            // whose log was never stored as a table, a replay.
            it->second.unused_since = clock::now();
            if (!closer_.joinable()) closer_ = std::thread([this] { close_idle_work(); });
            idle_.notify_all();
            changed_.notify_all();
            return;
        }
        closing = take_unused(it);
    }
    if (closing) close_taken(path, std::move(closing));
}

void reader_pool::close_idle_work() {
    name_this_thread("qm-db-idle");
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const auto now = clock::now();
        std::vector<std::pair<std::wstring, std::unique_ptr<database_reader>>> due;
        auto next = clock::time_point::max();
        for (auto it = slots_.begin(); it != slots_.end(); ++it) {
            if (it->second.busy || it->second.users > 0) continue;
            const auto deadline = it->second.unused_since + idle_close_;
            if (deadline <= now)
                due.emplace_back(it->first, take_unused(it));
            else if (deadline < next)
                next = deadline;
        }
        if (!due.empty()) {
            lock.unlock();
            for (auto& [path, reader] : due) close_taken(path, std::move(reader));
            lock.lock();
            continue;
        }
        if (next == clock::time_point::max())
            idle_.wait(lock);
        else
            idle_.wait_until(lock, next);
    }
}

void reader_pool::retire(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    retired_.insert(path);
}

void reader_pool::admit(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    retired_.erase(path);
}

void reader_pool::close_unused(const std::wstring& path) {
    std::unique_ptr<database_reader> closing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = slots_.find(path);
        if (it == slots_.end()) return;
        closing = take_unused(it);
    }
    if (closing) close_taken(path, std::move(closing));
}

void reader_pool::wait_unused(const std::wstring& path) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        auto it = slots_.find(path);
        if (it == slots_.end()) return;
        if (auto closing = take_unused(it)) {
            lock.unlock();
            close_taken(path, std::move(closing));
            lock.lock();
            continue;
        }
        changed_.wait(lock);
    }
}

std::size_t reader_pool::open_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& [path, s] : slots_) n += s.busy || s.users > 0;
    return n;
}

std::size_t reader_pool::idle_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_.size() - [&] {
        std::size_t n = 0;
        for (const auto& [path, s] : slots_) n += s.busy || s.users > 0;
        return n;
    }();
}
