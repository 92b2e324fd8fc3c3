#pragma once
// How many image connections this process can afford in open files, worked out once at
// start-up: the soft limit of open files is raised to the hard one, and the connections get
// at most half of what is then left, so that databases, logs and cameras always find
// descriptors however many clients connect.
//
// The program calls raise_descriptor_limit() once before the services start (network_services
// does) and reports its figures in a start-up row.
// Thread safety: changes the whole process's limit; call from one thread before others open
// files in bulk.
#include <cstddef>
#include <cstdint>

struct descriptor_budget {
    std::uint64_t soft_before = 0;   // soft limit found
    std::uint64_t soft = 0;          // soft limit now
    std::uint64_t hard = 0;          // hard limit
    std::uint64_t open_now = 0;      // descriptors open when counted
    std::size_t connections = 0;     // image connections to allow at once (at least 1)
};

// Connections allowed for `left` free descriptors: half of them, at least 64 kept for the
// rest, at most `wanted`, at least 1.
std::size_t connections_for(std::uint64_t left, std::size_t wanted);

// Raises the soft open-file limit to the hard limit (best effort) and sizes the connections.
descriptor_budget raise_descriptor_limit(std::size_t wanted_connections = 256);
