#include "tools/support/pseudo_terminal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
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
    // Non-blocking, so that a full line never holds a writer beyond its give-up check.
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        const std::string text = std::string("fcntl: ") + std::strerror(errno);
        close_master();
        close_slave();
        throw std::runtime_error(text);
    }
}

pseudo_terminal::~pseudo_terminal() {
    close_master();
    close_slave();
}

bool pseudo_terminal::write(const std::uint8_t* data, std::size_t size, const std::function<bool()>& give_up) {
    while (size > 0 && master_ >= 0) {
        const ssize_t n = ::write(master_, data, size);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                if (give_up && give_up()) return false;
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 50);  // a signal or free room ends the wait early
                continue;
            }
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
