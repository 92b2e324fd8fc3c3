#pragma once
// What the owner of an export hands to it: the count range, a cancel flag it may set from any
// thread, a progress callback and a hook before each frame (where tests inject failures).
//
// Failures are thrown as export_error whose text is Russian UTF-8, ready for the operator;
// a cancelled export returns normally with its result marked cancelled. Either way nothing is
// left under the names the export promised.
#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

struct export_range {
    std::uint32_t from = 0;  // odometer counts, both included
    std::uint32_t to = 0;
};

struct export_progress {
    std::uint64_t frames = 0;  // frames done so far in this step
    double fraction = 0;       // 0 to 1: where the current frame's count lies within the range
};

struct export_control {
    const std::atomic<bool>* cancel = nullptr;  // owned by the caller; may be null
    // Called on the exporting thread after each frame.
    std::function<void(const export_progress&)> progress;
    // Called on the exporting thread before frame number index (0-based) is exported; an
    // exception thrown here fails the export like a real fault would.
    std::function<void(std::uint64_t index)> before_frame;

    bool cancelled() const { return cancel && cancel->load(std::memory_order_relaxed); }
};

class export_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
