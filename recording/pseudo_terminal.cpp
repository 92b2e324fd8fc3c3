#include "recording/pseudo_terminal.h"

#include <cerrno>
#include <cstring>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

pseudo_terminal::pseudo_terminal() {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    path_ = name;
}

pseudo_terminal::~pseudo_terminal() {
    close_master();
    close_slave();
}

bool pseudo_terminal::write(const std::uint8_t* data, std::size_t size) {
    while (size > 0 && master_ >= 0) {
        const ssize_t n = ::write(master_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return size == 0;
}

void pseudo_terminal::close_master() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

void pseudo_terminal::close_slave() {
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
}
