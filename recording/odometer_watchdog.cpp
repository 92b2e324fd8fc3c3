#include "recording/odometer_watchdog.h"

odometer_watchdog::odometer_watchdog(clock::duration timeout) : timeout_(timeout) {}

void odometer_watchdog::start(clock::time_point now) {
    last_ = now;
    silent_ = false;
}

bool odometer_watchdog::message(clock::time_point now) {
    last_ = now;
    if (!silent_) return false;
    silent_ = false;
    return true;
}

bool odometer_watchdog::silence_began(clock::time_point now) {
    if (silent_ || now - last_ < timeout_) return false;
    silent_ = true;
    return true;
}
