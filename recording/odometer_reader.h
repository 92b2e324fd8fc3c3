#pragma once
// Reads the odometer's serial port on an I/O loop and calls a handler for every decoded
// message, in order, one at a time (the next read starts only after the handler returns).
//
// Ownership: owns its serial_port; the io_context and the sink are the caller's and must
// outlive it. Thread safety: every call and every handler runs on the io_context's thread,
// except construction.
// Errors: open() throws (boost::system::system_error with the OS text). A failed read stops
// reading and, when a lost-line handler is set, calls it with the system's text (the owner
// closes and reopens the line); without one it posts "Ошибка чтения последовательного порта.". A
// standard exception out of the count handler posts its text as EVT_LOG_ERROR and stops
// reading for good. Anything that is not a std::exception propagates out of the
// io_context's run().
#include "base/thread_message.h"
#include "recording/odometer_protocol.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class odometer_reader {
public:
    using count_handler = std::function<void(std::uint32_t count, int format)>;
    using lost_handler = std::function<void(const std::string& system_text)>;

    odometer_reader(boost::asio::io_context& io, int format, event_sink_ptr sink, count_handler on_count);

    // Opens the device, claims it for this reader alone (claim_serial_line: a device that
    // another reader or the odometer test holds is refused as busy and left closed), sets the
    // odometer line settings and discards what the line received before (a stale backlog is
    // never recorded).
    void open(const std::wstring& device_path);
    bool is_open() const { return port_.is_open(); }
    // Starts reading; call once after open().
    void start();
    // False once a read failed or the handler threw.
    bool reading() const { return reading_; }
    void close();
    // Called instead of the error row when a read fails (the line went away).
    void on_lost(lost_handler handler) { on_lost_ = std::move(handler); }

private:
    void read_next();
    void on_read(const boost::system::error_code& ec, std::size_t n);

    boost::asio::serial_port port_;
    odometer_decoder decoder_;
    event_sink_ptr sink_;
    count_handler on_count_;
    lost_handler on_lost_;
    // Bytes are taken in small batches and decoded one by one; the decoder, not the read
    // size, decides message boundaries.
    std::array<std::uint8_t, 256> buffer_{};
    bool reading_ = false;
};
