#include "net/rate_limited_sink.h"

#include <algorithm>
#include <string>

rate_limited_sink::rate_limited_sink(event_sink_ptr target, std::size_t burst, double per_second)
    : target_(std::move(target)),
      burst_(static_cast<double>(burst)),
      per_second_(per_second),
      tokens_(static_cast<double>(burst)),
      refilled_(std::chrono::steady_clock::now()) {}

void rate_limited_sink::post(thread_message message) {
    const auto kind = kind_of(message);
    if (kind != thread_event::log_error && kind != thread_event::log_info) {
        post_message(target_, std::move(message));
        return;
    }
    std::uint64_t dropped = 0;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        const auto now = std::chrono::steady_clock::now();
        tokens_ = std::min(burst_, tokens_ + std::chrono::duration<double>(now - refilled_).count() * per_second_);
        refilled_ = now;
        if (tokens_ < 1.0) {
            ++dropped_since_last_;
            ++dropped_total_;
            return;
        }
        tokens_ -= 1.0;
        dropped = dropped_since_last_;
        dropped_since_last_ = 0;
    }
    // Posted outside the budget's lock: the target may block briefly on its own lock.
    if (dropped > 0)
        post_log_info(target_, L"Network rows not logged: " + std::to_wstring(dropped) + L" (too many at once)");
    post_message(target_, std::move(message));
}

std::uint64_t rate_limited_sink::dropped_total() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return dropped_total_;
}
