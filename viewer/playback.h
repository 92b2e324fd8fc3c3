#pragma once
// playback: when the viewer's playback steps to the next frame, as plain timing.
//
// At a rate of F frames per second one step is due every 1/F s. A step taken late is not
// made up for: when a frame takes longer to show than the period, playback slows down
// rather than rushing through a backlog. The clock is injected (tests pass their own).
// Plain object; one thread.
#include <chrono>
#include <functional>

class playback {
public:
    using clock = std::chrono::steady_clock;
    using now_fn = std::function<clock::time_point()>;
    static constexpr int min_rate = 5;
    static constexpr int max_rate = 50;
    static constexpr int default_rate = 10;

    explicit playback(now_fn now = [] { return clock::now(); });

    // Frames per second, kept within [min_rate, max_rate].
    void set_rate(int frames_per_second);
    int rate() const { return rate_; }
    clock::duration period() const;

    // Start makes the first step due one period from now.
    void start();
    void stop() { running_ = false; }
    void toggle() { running_ ? stop() : start(); }
    bool running() const { return running_; }

    // True when running and a step is due now; the next one is then due a period after this
    // one was due, or a period from now if that has already passed.
    bool step_due();
    // How long until the next step is due (zero when due or not running).
    clock::duration wait() const;

private:
    now_fn now_;
    int rate_ = default_rate;
    bool running_ = false;
    clock::time_point due_{};
};
