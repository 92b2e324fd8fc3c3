#include "recording/disk_space_guard.h"

#include <algorithm>

disk_space_guard::disk_space_guard(query space, disk_space_limits limits) : space_(std::move(space)), limits_(limits) {}

disk_space_guard::query disk_space_guard::volume_of_folder(const std::wstring& folder) {
    return [folder] { return disk_space_of(folder); };
}

disk_space_guard::verdict disk_space_guard::check() {
    verdict v;
    const std::optional<disk_space> space = space_ ? space_() : std::nullopt;
    if (!space) return v;
    v.free = space->free;
    const std::uint64_t share = space->total / 100;
    const std::uint64_t low = std::min(limits_.low_bytes, share * limits_.low_percent);
    const std::uint64_t exhausted = std::min(limits_.exhausted_bytes, share * limits_.exhausted_percent);
    if (space->free < exhausted)
        v.level = state::exhausted;
    else if (space->free < low)
        v.level = state::low;
    if (v.level != state::fine && !warned_) {
        warned_ = true;
        v.first_low = true;
    }
    return v;
}

std::wstring mebibytes_text(std::uint64_t bytes) { return std::to_wstring(bytes >> 20); }
