// Where a thread's wall time went, from the kernel's own accounting: on a processor, runnable
// but waiting for one, and the rest (blocked in a call, a page fault, or the virtual machine's
// processor taken by its host). Read cheaply enough to sample at every recording step, so a slow
// step can be told apart without an outside sampler, which would itself take a processor.
//
// A thread_time belongs to the thread that created it: it reads that thread's figures only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

struct thread_sample {
    std::uint64_t on_cpu_ns = 0;
    std::uint64_t cpu_wait_ns = 0;  // runnable, not running
    long blocked = 0;               // voluntary switches: waited in a call
    long preempted = 0;             // involuntary switches
    long minor_faults = 0;
    long major_faults = 0;
};

class thread_time {
public:
    thread_time() : fd_(::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC)) {}
    ~thread_time() {
        if (fd_ >= 0) ::close(fd_);
    }
    thread_time(const thread_time&) = delete;
    thread_time& operator=(const thread_time&) = delete;

    thread_sample now() const {
        thread_sample s;
        char text[96];
        const ssize_t n = fd_ >= 0 ? ::pread(fd_, text, sizeof text - 1, 0) : -1;
        if (n > 0) {
            text[n] = '\0';
            unsigned long long run = 0, wait = 0;
            if (std::sscanf(text, "%llu %llu", &run, &wait) == 2) {
                s.on_cpu_ns = run;
                s.cpu_wait_ns = wait;
            }
        }
        rusage usage{};
        if (::getrusage(RUSAGE_THREAD, &usage) == 0) {
            s.blocked = usage.ru_nvcsw;
            s.preempted = usage.ru_nivcsw;
            s.minor_faults = usage.ru_minflt;
            s.major_faults = usage.ru_majflt;
        }
        return s;
    }

    // " (on cpu X, waiting for cpu Y, elsewhere Z ms; blocked N, preempted M, faults minor A,
    // major B)" for a span of `wall_ms` between two samples. Time the host's hypervisor took
    // from this processor counts as elsewhere. (The kernel's user/system split is left out: it
    // is scaled from tick samples over the thread's whole life, so over one step it is noise.)
    static std::string split(double wall_ms, const thread_sample& from, const thread_sample& to) {
        const double cpu = (to.on_cpu_ns - from.on_cpu_ns) / 1e6;
        const double wait = (to.cpu_wait_ns - from.cpu_wait_ns) / 1e6;
        char text[200];
        std::snprintf(text, sizeof text,
                      " (on cpu %.1f, waiting for cpu %.1f, elsewhere %.1f ms; blocked %ld, preempted %ld, faults "
                      "minor %ld, major %ld)",
                      cpu, wait, wall_ms - cpu - wait, to.blocked - from.blocked, to.preempted - from.preempted,
                      to.minor_faults - from.minor_faults, to.major_faults - from.major_faults);
        return text;
    }

private:
    int fd_;
};
