#include "base/thread_name.h"

#include <cerrno>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

void name_this_thread(const std::string& name) { pthread_setname_np(pthread_self(), name.substr(0, 15).c_str()); }

std::string this_thread_name() {
    char name[16] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return {};
    return name;
}

void yield_this_thread_to(int nice) {
    // On Linux a nice value belongs to the thread whose id is given.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, tid);
    if (errno == 0 && current < nice) setpriority(PRIO_PROCESS, tid, nice);
}
