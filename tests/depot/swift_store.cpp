#include "tests/depot/swift_store.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <utility>

namespace {
std::string script() { return (std::filesystem::path(__FILE__).parent_path() / "swift-fixture.sh").string(); }
}  // namespace

// Five ports per store, spread by process id so that test processes running side by side
// do not meet.
swift_store::swift_store(std::string dir) : dir_(std::move(dir)), port_(21000 + static_cast<int>(getpid() % 1800) * 5) {}

swift_store::~swift_store() { stop(); }

bool swift_store::start() {
    const std::string command = "timeout -k 5 150 bash '" + script() + "' start '" + dir_ + "' " + std::to_string(port_);
    return std::system(command.c_str()) == 0;
}

void swift_store::stop() {
    const std::string command = "timeout -k 5 60 bash '" + script() + "' stop '" + dir_ + "' " + std::to_string(port_);
    [[maybe_unused]] const int rc = std::system(command.c_str());
}

std::string swift_store::endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
