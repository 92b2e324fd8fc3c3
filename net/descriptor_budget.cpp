#include "net/descriptor_budget.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include <sys/resource.h>

namespace {

std::uint64_t open_descriptors() {
    std::error_code ec;
    std::uint64_t n = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
    return n;
}

}  // namespace

std::size_t connections_for(std::uint64_t left, std::size_t wanted) {
    constexpr std::uint64_t kept_at_least = 64;
    const std::uint64_t usable = left > kept_at_least ? std::min(left / 2, left - kept_at_least) : 0;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(usable, 1, std::max<std::size_t>(1, wanted)));
}

descriptor_budget raise_descriptor_limit(std::size_t wanted_connections) {
    descriptor_budget b;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        b.soft_before = limit.rlim_cur;
        if (limit.rlim_cur < limit.rlim_max) {
            rlimit raised = limit;
            raised.rlim_cur = limit.rlim_max;
            if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
        }
        b.soft = limit.rlim_cur;
        b.hard = limit.rlim_max;
    }
    b.open_now = open_descriptors();
    b.connections = connections_for(b.soft > b.open_now ? b.soft - b.open_now : 0, wanted_connections);
    return b;
}
