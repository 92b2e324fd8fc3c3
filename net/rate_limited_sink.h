#pragma once
// rate_limited_sink: the event_sink the network services post through, so that a flood of
// connections or datagrams cannot grow the log without limit.
//
// Log rows (errors and information alike) pass while both budgets last: a burst of `burst`
// rows refilled at `per_second` rows a second, and at most `per_hour` rows in each hour
// (counted from the first row of that hour). Rows beyond either are counted, not posted; the
// next row that passes is preceded by one information row
// "Строк сетевых служб не записано: %u (слишком много сразу)" (or "(too many this hour)" when the hourly
// budget was the one spent), and that row counts against the hour's budget too (so an hour
// holds at most per_hour + 1 rows). Every other message
// (a remote command) always passes: dropping it would lose the command.
//
// The defaults bound a day of steady flood: 600 rows an hour for each of the three services,
// 43,200 rows a day in all, about 5 MB of HTML log at the usual 110 to 140 bytes a row.
//
// Thread safety: post() from any thread (the budget has its own mutex).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "base/thread_message.h"

class rate_limited_sink : public event_sink {
public:
    using clock_function = std::function<std::chrono::steady_clock::time_point()>;
    // What the services use: 200 rows at once, 20 a second after that, 600 an hour.
    static constexpr std::size_t default_burst = 200;
    static constexpr double default_per_second = 20.0;
    static constexpr std::size_t default_per_hour = 600;

    explicit rate_limited_sink(event_sink_ptr target, std::size_t burst = default_burst,
                               double per_second = default_per_second, std::size_t per_hour = default_per_hour,
                               clock_function now = nullptr);

    void post(thread_message message) override;

    // Rows not posted since construction (for tests).
    std::uint64_t dropped_total() const;

private:
    // One row's budget taken, or false when spent (mutex_ held).
    bool take_locked(std::chrono::steady_clock::time_point now);

    event_sink_ptr target_;
    const double burst_;
    const double per_second_;
    const std::size_t per_hour_;
    const clock_function now_;
    mutable std::mutex mutex_;  // guards the fields below
    double tokens_;
    std::chrono::steady_clock::time_point refilled_;
    std::chrono::steady_clock::time_point hour_start_;
    std::size_t hour_rows_ = 0;
    bool hour_spent_ = false;  // the rows dropped since the last report include hourly ones
    std::uint64_t dropped_since_last_ = 0;
    std::uint64_t dropped_total_ = 0;
};
