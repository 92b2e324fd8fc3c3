#pragma once
// rate_limited_sink: the event_sink the network services post through, so that a flood of
// connections or datagrams cannot grow the log without limit.
//
// Log rows (errors and information alike) pass while the budget lasts: a burst of `burst`
// rows, refilled at `per_second` rows a second. Rows beyond it are counted, not posted; the
// next row that passes is preceded by one information row
// "Network rows not logged: %u (too many at once)". Every other message (a remote command)
// always passes: dropping it would lose the command.
//
// Thread safety: post() from any thread (the budget has its own mutex).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/thread_message.h"

class rate_limited_sink : public event_sink {
public:
    // What the services use: 200 rows at once, 20 a second after that.
    static constexpr std::size_t default_burst = 200;
    static constexpr double default_per_second = 20.0;

    explicit rate_limited_sink(event_sink_ptr target, std::size_t burst = default_burst,
                               double per_second = default_per_second);

    void post(thread_message message) override;

    // Rows not posted since construction (for tests).
    std::uint64_t dropped_total() const;

private:
    event_sink_ptr target_;
    const double burst_;
    const double per_second_;
    mutable std::mutex mutex_;  // guards the four fields below
    double tokens_;
    std::chrono::steady_clock::time_point refilled_;
    std::uint64_t dropped_since_last_ = 0;
    std::uint64_t dropped_total_ = 0;
};
