#pragma once
// The opaque handles of the J_ calls, for every camera backend.
//
// Each handle names one record held by shared ownership: a call that found a record keeps
// it alive until it returns, so a close racing that call (from another thread) only removes
// the name, and the record dies with its last user. Handle values come from one process-wide
// counter and are never reused, so a stale handle, or a handle of another kind, finds nothing.
//
// Thread safety: every member may be called from any thread.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// A handle value no table has given out before; never null.
inline void* next_sdk_handle() {
    static std::atomic<std::uintptr_t> next{0x1000};
    return reinterpret_cast<void*>(next.fetch_add(0x10, std::memory_order_relaxed));
}

template <typename T>
class handle_table {
public:
    // Names `record` by a new handle.
    void* add(std::shared_ptr<T> record) {
        void* handle = next_sdk_handle();
        std::lock_guard<std::mutex> lock(mutex_);
        records_.emplace(handle, std::move(record));
        return handle;
    }

    // The record of `handle`, or null when the handle is unknown or closed.
    std::shared_ptr<T> find(const void* handle) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = records_.find(handle);
        return it == records_.end() ? nullptr : it->second;
    }

    // Forgets `handle` and returns its record (null when unknown): the caller's copy is
    // then the table's last reference.
    std::shared_ptr<T> remove(const void* handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = records_.find(handle);
        if (it == records_.end()) return nullptr;
        std::shared_ptr<T> record = std::move(it->second);
        records_.erase(it);
        return record;
    }

    // Every (handle, record) pair, in handle order.
    std::vector<std::pair<const void*, std::shared_ptr<T>>> snapshot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return {records_.begin(), records_.end()};
    }

    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_.size();
    }

private:
    mutable std::mutex mutex_;  // guards records_
    std::map<const void*, std::shared_ptr<T>> records_;
};
