#include "recording/serial_device.h"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <cwctype>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/file.h>
#include <termios.h>
#endif

std::wstring serial_device_path(const std::wstring& port_name) {
#ifdef _WIN32
    return L"\\\\.\\" + port_name;
#else
    if (!port_name.empty() && port_name.front() == L'/') return port_name;
    if (port_name.size() > 3 && port_name.compare(0, 3, L"COM") == 0) {
        bool digits = true;
        for (std::size_t i = 3; i < port_name.size(); ++i) digits = digits && std::iswdigit(port_name[i]);
        // Bounded so the number cannot overflow; COM0 has no Linux counterpart.
        if (digits && port_name.size() <= 9) {
            const unsigned long n = std::stoul(port_name.substr(3));
            if (n >= 1) return L"/dev/ttyS" + std::to_wstring(n - 1);
        }
    }
    return L"/dev/" + port_name;
#endif
}

void configure_odometer_line(boost::asio::serial_port& port) {
    using sp = boost::asio::serial_port_base;
    port.set_option(sp::baud_rate(115200));
    port.set_option(sp::flow_control(sp::flow_control::none));
    port.set_option(sp::parity(sp::parity::none));
    port.set_option(sp::character_size(8));
    port.set_option(sp::stop_bits(sp::stop_bits::one));
}

void claim_serial_line(boost::asio::serial_port& port) {
#ifndef _WIN32
    if (::flock(port.native_handle(), LOCK_EX | LOCK_NB) == 0) return;
    const int error = errno;
    const auto code = error == EWOULDBLOCK ? boost::system::errc::device_or_resource_busy : error;
    throw boost::system::system_error(code, boost::system::system_category(), "claim");
#else
    (void)port;
#endif
}

void discard_line_backlog(boost::asio::serial_port& port) {
#ifdef _WIN32
    ::PurgeComm(port.native_handle(), PURGE_RXCLEAR);
#else
    ::tcflush(port.native_handle(), TCIFLUSH);
#endif
}
