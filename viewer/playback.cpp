#include "viewer/playback.h"

#include <algorithm>

playback::playback(now_fn now) : now_(std::move(now)) {}

void playback::set_rate(int frames_per_second) { rate_ = std::clamp(frames_per_second, min_rate, max_rate); }

playback::clock::duration playback::period() const {
    return std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(1.0 / rate_));
}

void playback::start() {
    running_ = true;
    due_ = now_() + period();
}

bool playback::step_due() {
    if (!running_) return false;
    const clock::time_point now = now_();
    if (now < due_) return false;
    due_ += period();
    if (due_ <= now) due_ = now + period();
    return true;
}

playback::clock::duration playback::wait() const {
    if (!running_) return clock::duration::zero();
    return std::max(clock::duration::zero(), due_ - now_());
}
