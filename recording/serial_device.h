#pragma once
// Where an odometer port name lives on this platform, and the serial line settings the
// odometer uses (115200 baud, 8 data bits, no parity, one stop bit, no flow control).
//
// Linux: a name starting with "/" is a path already (/dev/ttyUSB0, a pty's /dev/pts/7);
// "COMn" (n >= 1) is /dev/ttyS{n-1}; any other name is /dev/ + name.
// Windows: "\\.\" + name.
#include <boost/asio/serial_port.hpp>

#include <string>

std::wstring serial_device_path(const std::wstring& port_name);

// Sets the odometer's line settings on an open port; throws boost::system::system_error.
void configure_odometer_line(boost::asio::serial_port& port);
