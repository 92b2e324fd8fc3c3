#pragma once
// Waiting in window tests: runs the toolkit's event loop until a condition holds or a time
// limit passes, so a test never depends on how fast a busy machine delivers events.
#include <chrono>
#include <functional>
#include <thread>

#include <wx/app.h>

namespace test_support {
// True once `done` holds; false when `limit` passed first.
inline bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        wxTheApp->ProcessPendingEvents();
        wxYield();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}
}  // namespace test_support
