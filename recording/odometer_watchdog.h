#pragma once
// odometer_watchdog: notices an odometer that has gone quiet while recording. Recording is
// paced by the odometer, so a silent line (wrong port, cable off, sensor dead) would
// otherwise record nothing without a word for as long as the operator lets it run.
//
// The owner feeds it the time of every valid message and asks it now and then; each silence
// is announced once, and its end once.
//
// Ownership: plain value. Thread safety: none; used by one thread (the write thread's loop).
#include <chrono>

class odometer_watchdog {
public:
    using clock = std::chrono::steady_clock;

    explicit odometer_watchdog(clock::duration timeout = std::chrono::seconds(5));

    // Starts watching: the silence is counted from now until the first message.
    void start(clock::time_point now);
    // A valid message arrived; true when it ends an announced silence.
    bool message(clock::time_point now);
    // True once per silence, when no message came for the time-out.
    bool silence_began(clock::time_point now);
    // The line is gone (announced by its owner): counts as an announced silence, so the next
    // message reports the return and the silence is not announced again meanwhile.
    void lost() { silent_ = true; }

    clock::duration timeout() const { return timeout_; }

private:
    clock::duration timeout_;
    clock::time_point last_{};
    bool silent_ = false;
};
