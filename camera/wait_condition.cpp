#include "camera/wait_condition.h"

#include "camera/jai_sdk.h"

#include <chrono>

void wait_condition::signal() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++pending_;
    }
    changed_.notify_all();
}

void wait_condition::request_exit() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exit_ = true;
    }
    changed_.notify_all();
}

void wait_condition::fail() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
    }
    changed_.notify_all();
}

bool wait_condition::exit_requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return exit_;
}

std::uint32_t wait_condition::wait(std::uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return exit_ || failed_ || pending_ > 0; });
    if (exit_) return J_COND_WAIT_EXIT;
    if (failed_) return J_COND_WAIT_ERROR;
    if (pending_ > 0) {
        --pending_;
        return J_COND_WAIT_SIGNAL;
    }
    return J_COND_WAIT_TIMEOUT;
}
