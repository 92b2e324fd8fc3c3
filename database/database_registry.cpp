#include "database/database_registry.h"

#include <mutex>

#include "database/frame_image.h"
#include "base/locale_text.h"

void database_registry::add(const ldb_info& summary, const std::wstring& path) {
    std::unique_lock<std::shared_mutex> hold(lock_);
    entries_.push_back(registry_entry{summary, path});
    readers_.admit(path);  // listed again after a delete that could not remove the folder
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

bool database_registry::remove(const std::wstring& path, const std::function<void()>& once_unused) {
    bool removed = false;
    bool last = true;
    {
        std::unique_lock<std::shared_mutex> hold(lock_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->path == path) {
                entries_.erase(it);
                removed = true;
                break;
            }
        }
        for (const auto& entry : entries_) last = last && entry.path != path;
        // No lookup finds the folder from here on; those that found it before may still read.
        if (last) readers_.retire(path);
    }
    // Waited for without the registry's lock: lookups of other databases go on meanwhile.
    if (last) readers_.wait_unused(path);
    if (once_unused) once_unused();
    return removed;
}

std::optional<std::wstring> database_registry::folder_of(const std::wstring& session_code, std::uint32_t count) const {
    std::shared_lock<std::shared_mutex> hold(lock_);
    for (const auto& entry : entries_)
        if (entry.info.session == session_code && entry.info.dpp_start <= count && count <= entry.info.dpp_end)
            return entry.path;
    return std::nullopt;
}

std::vector<registry_entry> database_registry::snapshot() const {
    std::shared_lock<std::shared_mutex> hold(lock_);
    return entries_;
}

std::size_t database_registry::size() const {
    std::shared_lock<std::shared_mutex> hold(lock_);
    return entries_.size();
}

namespace {

cv::Mat not_found(const std::wstring& session_code, std::uint32_t count) {
    return make_placeholder_frame("Requested frame not found [" + to_narrow(session_code) + ":" +
                                  std::to_string(count) + "]");
}

}  // namespace

cv::Mat database_registry::frame_lookup(const std::wstring& session_code, std::uint32_t count) const {
    const auto folder = folder_of(session_code, count);
    if (!folder) return not_found(session_code, count);
    const auto lease = readers_.acquire(*folder);
    if (!lease) return not_found(session_code, count);  // removed meanwhile
    return lease->read_frame(count);
}

database_registry::stored_result database_registry::stored_lookup(const std::wstring& session_code,
                                                                  std::uint32_t count) const {
    const auto folder = folder_of(session_code, count);
    if (!folder) return {std::nullopt, not_found(session_code, count)};
    const auto lease = readers_.acquire(*folder);
    if (!lease) return {std::nullopt, not_found(session_code, count)};
    return {lease->read_stored(count), {}};
}
