#include "database/database_registry.h"

#include <mutex>

#include "database/frame_image.h"
#include "base/locale_text.h"

void database_registry::add(const ldb_info& summary, const std::wstring& path) {
    std::unique_lock<std::shared_mutex> hold(lock_);
    entries_.push_back(registry_entry{summary, path});
}

bool database_registry::update(const std::wstring& path, const ldb_info& summary) {
    std::unique_lock<std::shared_mutex> hold(lock_);
    bool found = false;
    for (auto& entry : entries_)
        if (entry.path == path) {
            entry.info = summary;
            found = true;
        }
    return found;
}

void database_registry::clear() {
    std::unique_lock<std::shared_mutex> hold(lock_);
    entries_.clear();
}

bool database_registry::remove(const std::wstring& path, const std::function<void()>& while_locked) {
    std::unique_lock<std::shared_mutex> hold(lock_);
    bool removed = false;
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->path == path) {
            entries_.erase(it);
            removed = true;
            break;
        }
    }
    // No lookup runs under the exclusive hold, so nobody leases the folder's reader now.
    readers_.close(path);
    if (while_locked) while_locked();
    return removed;
}

std::vector<registry_entry> database_registry::snapshot() const {
    std::shared_lock<std::shared_mutex> hold(lock_);
    return entries_;
}

std::size_t database_registry::size() const {
    std::shared_lock<std::shared_mutex> hold(lock_);
    return entries_.size();
}

cv::Mat database_registry::frame_lookup(const std::wstring& session_code, std::uint32_t count) const {
    std::shared_lock<std::shared_mutex> hold(lock_);
    for (const auto& entry : entries_) {
        if (entry.info.session == session_code && entry.info.dpp_start <= count &&
            count <= entry.info.dpp_end) {
            auto lease = readers_.acquire(entry.path);
            return lease->read_frame(count);
        }
    }
    return make_placeholder_frame("Requested frame not found [" + to_narrow(session_code) + ":" +
                                  std::to_string(count) + "]");
}

database_registry::stored_result database_registry::stored_lookup(const std::wstring& session_code,
                                                                  std::uint32_t count) const {
    std::shared_lock<std::shared_mutex> hold(lock_);
    for (const auto& entry : entries_) {
        if (entry.info.session == session_code && entry.info.dpp_start <= count &&
            count <= entry.info.dpp_end) {
            auto lease = readers_.acquire(entry.path);
            return {lease->read_stored(count), {}};
        }
    }
    return {std::nullopt, make_placeholder_frame("Requested frame not found [" + to_narrow(session_code) + ":" +
                                                 std::to_string(count) + "]")};
}

database_registry& process_database_registry() {
    static database_registry instance;
    return instance;
}
