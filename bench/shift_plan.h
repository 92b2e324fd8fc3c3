#pragma once
// How much disk a compressed shift needs, checked before bench_shift records anything: a run
// that filled the disk would spoil its own figures and every other program on the machine.
#include <cstdint>
#include <cstdio>
#include <string>

namespace shift_plan {

// The heaviest stored frame (a 1920 x 1200 under-car JPEG at q85 weighs 300-500 KB).
inline constexpr std::uint64_t frame_bytes_max = 500 * 1000;
// LevelDB's room beyond the frames: logs and a memtable's table, a compaction's outputs
// written before its inputs go.
inline constexpr std::uint64_t storage_slack = 1024ull << 20;

struct verdict {
    bool enough = false;
    std::uint64_t needed = 0;  // bytes the run will store at most
    std::string message;       // why not, for the operator; empty when enough
};

inline std::string gigabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
    return text;
}

// frames: the frames the run will store; free_bytes: what the disk of dir has free now;
// reserve: what must stay free after the run.
inline verdict check(const std::string& dir, std::uint64_t frames, std::uint64_t free_bytes, std::uint64_t reserve) {
    verdict v;
    v.needed = frames * frame_bytes_max + storage_slack;
    v.enough = free_bytes >= v.needed && free_bytes - v.needed >= reserve;
    if (!v.enough)
        v.message = "not enough free space on " + dir + ": " + gigabytes(free_bytes) + " free, but " +
                    std::to_string(frames) + " frames of up to 500 KB need " + gigabytes(v.needed) + " and " +
                    gigabytes(reserve) + " must stay free; shorten the run (--minutes), choose another disk " +
                    "(--dir) or lower the reserve (--reserve-gb)";
    return v;
}

}  // namespace shift_plan
