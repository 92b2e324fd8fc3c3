#include "recording/odometer_reader.h"

#include "base/error_text.h"
#include "base/locale_text.h"
#include "recording/serial_device.h"

#include <boost/asio/buffer.hpp>

#include <stdexcept>

odometer_reader::odometer_reader(boost::asio::io_context& io, int format, event_sink_ptr sink, count_handler on_count)
    : port_(io), decoder_(format), sink_(std::move(sink)), on_count_(std::move(on_count)) {}

void odometer_reader::open(const std::wstring& device_path) {
    port_.open(to_narrow(device_path));
    try {
        // Before any setting is touched: a line that someone else reads is left as it is.
        claim_serial_line(port_);
        configure_odometer_line(port_);
    } catch (...) {
        boost::system::error_code ignored;
        port_.close(ignored);
        throw;
    }
    // What the odometer sent before the port was opened waits in the line's buffer and would
    // arrive as one burst stamped now: hundreds of counts with no frame of their own. Only
    // messages sent from now on are recorded; a partial message from before is forgotten too.
    discard_line_backlog(port_);
    decoder_ = odometer_decoder(decoder_.format());
}

void odometer_reader::start() {
    reading_ = true;
    read_next();
}

void odometer_reader::close() {
    reading_ = false;
    if (port_.is_open()) port_.close();
}

void odometer_reader::read_next() {
    port_.async_read_some(boost::asio::buffer(buffer_),
                          [this](const boost::system::error_code& ec, std::size_t n) { on_read(ec, n); });
}

void odometer_reader::on_read(const boost::system::error_code& ec, std::size_t n) {
    if (!reading_) return;  // closed meanwhile
    if ((ec || n == 0) && on_lost_) {
        reading_ = false;
        on_lost_(to_narrow(ec ? error_text(ec) : std::wstring(L"данные кончились")));
        return;
    }
    try {
        if (ec || n == 0 || n > buffer_.size()) throw std::runtime_error("Ошибка чтения последовательного порта.");
        decoder_.feed(buffer_.data(), n, [this](std::uint32_t count) { on_count_(count, decoder_.format()); });
    } catch (const std::exception& e) {
        // Odometer input, and with it recording, stops until the write thread is replaced.
        reading_ = false;
        post_log_error(sink_, to_wide(e.what()));
        return;
    }
    read_next();
}
