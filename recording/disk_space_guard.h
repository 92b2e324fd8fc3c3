#pragma once
// disk_space_guard: watches the free space of the write path's volume while recording, so a
// recording is ended cleanly before LevelDB runs into a full disk.
//
// Two levels, each the smaller of a fixed size and a share of the volume (a small volume
// would otherwise always be "low"):
//   low:       below min(1 GiB, 2 % of the volume): warn, once per guard;
//   exhausted: below min(128 MiB, 1 % of the volume): stop recording.
// A volume whose space cannot be read is taken as fine (the write itself will tell).
//
// Ownership: plain value; the query is called on the caller's thread.
// Thread safety: none; used by one thread (the write thread).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "database/database_scan.h"

struct disk_space_limits {
    std::uint64_t low_bytes = std::uint64_t(1) << 30;
    unsigned low_percent = 2;
    std::uint64_t exhausted_bytes = std::uint64_t(128) << 20;
    unsigned exhausted_percent = 1;
};

class disk_space_guard {
public:
    using query = std::function<std::optional<disk_space>()>;

    enum class state { fine, low, exhausted };
    struct verdict {
        state level = state::fine;
        bool first_low = false;  // this check is the first that found the space low
        std::uint64_t free = 0;
    };

    disk_space_guard(query space, disk_space_limits limits = {});
    // The guard of a folder's volume (disk_space_of).
    static query volume_of_folder(const std::wstring& folder);

    verdict check();

private:
    query space_;
    disk_space_limits limits_;
    bool warned_ = false;
};

// Whole mebibytes, for the texts.
std::wstring mebibytes_text(std::uint64_t bytes);
