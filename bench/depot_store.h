#pragma once
// The depot benchmarks' store and recording: the depot tests' single-node object store on
// loopback (tests/depot/swift-fixture.sh, found through QM_SOURCE_DIR) and a closed recording of
// incompressible frames made with the program's own writer. Main thread only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "database/recording_database.h"

namespace bench_depot {

namespace fs = std::filesystem;

// The bytes of the files below dir.
inline std::uint64_t folder_bytes(const fs::path& dir) {
    std::uint64_t n = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) n += it->file_size(ec);
    return n;
}

// A closed recording of frames of incompressible bytes (xorshift), frame_bytes each, until
// about `bytes` are stored (or until stop() says so); the writer's own batches, syncs and
// table files.
inline void make_recording(const fs::path& folder, std::uint64_t bytes, std::size_t frame_bytes,
                           const std::function<bool()>& stop = {}) {
    recording_database db;
    db.open(folder.wstring(), "bench : depot", L"левый");
    std::string frame(frame_bytes, '\0');
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    const std::uint64_t frames = std::max<std::uint64_t>(1, bytes / frame_bytes);
    for (std::uint64_t i = 0; i < frames && !(stop && stop()); ++i) {
        for (std::size_t at = 0; at + 8 <= frame.size(); at += 8) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            std::memcpy(frame.data() + at, &state, 8);
        }
        db.store_encoded_frame(frame, static_cast<std::uint32_t>(1000 + 10 * i), 1714566645 + static_cast<std::int64_t>(i / 50));
    }
    db.close(std::string("bench : depot"), L"левый");
}

// The first of five consecutive loopback ports nobody listens on (the store takes five).
inline int free_ports(int from) {
    for (int base = from; base < 60000; base += 5) {
        bool all_free = true;
        for (int p = base; p < base + 5 && all_free; ++p) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(p));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            all_free = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            if (fd >= 0) ::close(fd);
        }
        if (all_free) return base;
    }
    throw std::runtime_error("no five free loopback ports");
}

// The depot tests' object store, started in dir on the port and stopped by the destructor.
class object_store {
public:
    object_store(fs::path dir, int port) : dir_(std::move(dir)), port_(port) {}
    ~object_store() { run("stop", 60); }
    bool start() { return run("start", 150); }
    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    bool run(const char* action, int seconds) const {
        const std::string command = "timeout -k 5 " + std::to_string(seconds) + " bash '" QM_SOURCE_DIR
                                    "/tests/depot/swift-fixture.sh' " + action + " '" + dir_.string() + "' " +
                                    std::to_string(port_);
        return std::system(command.c_str()) == 0;
    }
    fs::path dir_;
    int port_;
};

}  // namespace bench_depot
