#pragma once
// The wait condition behind J_Event_CreateCondition: a counted signal plus an exit request.
//
// A producer (a stream's buffer-done path) calls signal() once per delivered buffer; the
// capture thread waits; another thread may call request_exit() at any time, after which every
// wait returns the exit result at once. fail() marks the producer as gone for good (the camera
// vanished): from then on waits return the error result, unless an exit was requested.
// Closing the condition's handle requests an exit, so a wait racing the close ends at once.
// Thread safety: all members may be called from any thread.
#include <condition_variable>
#include <cstdint>
#include <mutex>

class wait_condition {
public:
    void signal();
    void request_exit();
    void fail();
    bool exit_requested() const;
    // J_COND_WAIT_EXIT once exit was requested, else J_COND_WAIT_ERROR after fail(), else
    // J_COND_WAIT_SIGNAL (consuming one signal) when one is pending or arrives within
    // timeout_ms, else J_COND_WAIT_TIMEOUT.
    std::uint32_t wait(std::uint32_t timeout_ms);

private:
    mutable std::mutex mutex_;  // guards pending_, exit_ and failed_
    std::condition_variable changed_;
    std::uint64_t pending_ = 0;
    bool exit_ = false;
    bool failed_ = false;
};
