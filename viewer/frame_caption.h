#pragma once
// The line under the viewer's picture: which database, which frame, and where the frame
// lies in the run, e.g.
//   "2024.05.01 12.30.45 · A : 1 · ДПП 1185 · кадр 38 из 101 · 2024-05-01 12:30:45 — 37 % — 2024-05-01 12:41:02"
// The frame's place is its position among the stored frames (0 % the first, 100 % the last),
// shown between the run's start and end times: frames are paced by distance, not by time,
// so no time of its own is claimed for the frame.
// Plain function; any thread.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct frame_place {
    std::wstring folder;                 // the database folder's own name
    std::wstring session;                // session code
    std::optional<std::uint32_t> count;  // nothing when no frame is shown
    std::size_t index = 0;               // 1-based among the stored frames; 0 while not known yet
    std::size_t total = 0;               // stored frames; 0 while not known yet
    std::wstring time_start, time_end;   // local times, empty when unknown
};

std::wstring frame_caption(const frame_place& place);
