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

// Claims an open port for its opener alone, until it is closed: a second claim on the same
// device, from this process or another, fails with errc::device_or_resource_busy. So the
// odometer test cannot take bytes from the line a recording reads (Linux lets any number of
// readers open one serial device, and each byte goes to only one of them). Linux: an
// exclusive flock on the device, which holds for root too. Windows opens a serial port for
// one opener only: nothing to do. Throws boost::system::system_error.
void claim_serial_line(boost::asio::serial_port& port);

// Drops what the line received before now (bytes waiting since before the port was opened).
void discard_line_backlog(boost::asio::serial_port& port);
