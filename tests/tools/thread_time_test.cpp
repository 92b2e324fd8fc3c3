// bench_shift tells a slow recording step that computed from one that waited for a processor
// and from one that waited elsewhere, by the kernel's accounting of the step's thread.
#include "bench/thread_time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

namespace {

double thread_cpu_ms() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

}  // namespace

TEST(ThreadTime, ComputingCountsOnAProcessorAndSleepingCountsAsBlocked) {
    const thread_time clock;
    const thread_sample start = clock.now();
    const double cpu_start = thread_cpu_ms();
    volatile unsigned long spins = 0;
    while (thread_cpu_ms() - cpu_start < 30) spins = spins + 1;
    const thread_sample computed = clock.now();
    EXPECT_GE((computed.on_cpu_ns - start.on_cpu_ns) / 1e6, 29.0);

    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const thread_sample slept = clock.now();
    EXPECT_LT((slept.on_cpu_ns - computed.on_cpu_ns) / 1e6, 5.0);
    EXPECT_GE(slept.blocked - computed.blocked, 1);
}

TEST(ThreadTime, SplitsAStepsWallTime) {
    thread_sample from, to;
    from.on_cpu_ns = 1'000'000'000;
    to.on_cpu_ns = from.on_cpu_ns + 12'200'000;
    to.cpu_wait_ns = 8'400'000;
    to.blocked = 2;
    to.preempted = 3;
    to.minor_faults = 100;
    EXPECT_EQ(thread_time::split(40.8, from, to),
              " (on cpu 12.2, waiting for cpu 8.4, elsewhere 20.2 ms; blocked 2, preempted 3, faults minor 100, "
              "major 0)");
}
