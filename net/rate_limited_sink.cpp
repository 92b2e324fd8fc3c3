#include "net/rate_limited_sink.h"

#include <algorithm>
#include <string>

rate_limited_sink::rate_limited_sink(event_sink_ptr target, std::size_t burst, double per_second, std::size_t per_hour,
                                     clock_function now)
    : target_(std::move(target)),
      burst_(static_cast<double>(burst)),
      per_second_(per_second),
      per_hour_(per_hour),
      now_(now ? std::move(now) : clock_function([] { return std::chrono::steady_clock::now(); })),
      tokens_(static_cast<double>(burst)),
      refilled_(now_()),
      hour_start_(refilled_) {}

bool rate_limited_sink::take_locked(std::chrono::steady_clock::time_point now) {
    if (now - hour_start_ >= std::chrono::hours(1)) {
        hour_start_ = now;
        hour_rows_ = 0;
    }
    tokens_ = std::min(burst_, tokens_ + std::chrono::duration<double>(now - refilled_).count() * per_second_);
    refilled_ = now;
    if (hour_rows_ >= per_hour_) {
        hour_spent_ = true;
        return false;
    }
    if (tokens_ < 1.0) return false;
    tokens_ -= 1.0;
    ++hour_rows_;
    return true;
}

void rate_limited_sink::post(thread_message message) {
    const auto kind = kind_of(message);
    if (kind != thread_event::log_error && kind != thread_event::log_info) {
        post_message(target_, std::move(message));
        return;
    }
    std::uint64_t dropped = 0;
    bool hourly = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        const auto now = now_();
        if (!take_locked(now)) {
            ++dropped_since_last_;
            ++dropped_total_;
            return;
        }
        if (dropped_since_last_ > 0) {
            ++hour_rows_;  // the report is a row of this hour as well
            dropped = dropped_since_last_;
            hourly = hour_spent_;
            dropped_since_last_ = 0;
            hour_spent_ = false;
        }
    }
    // Posted outside the budget's lock: the target may block briefly on its own lock.
    if (dropped > 0)
        post_log_info(target_, L"Строк сетевых служб не записано: " + std::to_wstring(dropped) +
                                   (hourly ? L" (слишком много за час)" : L" (слишком много сразу)"));
    post_message(target_, std::move(message));
}

std::uint64_t rate_limited_sink::dropped_total() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return dropped_total_;
}
