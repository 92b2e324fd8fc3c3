#include "recording/odometer_test.h"

#include "base/locale_text.h"
#include "recording/serial_device.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/serial_port.hpp>

#include <set>

std::vector<std::wstring> odometer_test_port_names() {
    std::set<std::wstring> names;
    for (int i = 1; i <= 10; ++i) names.insert(L"COM" + std::to_wstring(i));
    return {names.begin(), names.end()};
}

namespace {

// One port: the result row.
std::wstring probe(const std::wstring& device_path, std::chrono::milliseconds wait) {
    boost::asio::io_context io;
    boost::asio::serial_port port(io);
    boost::system::error_code ec;
    port.open(to_narrow(device_path), ec);
    if (ec) return L"недоступен";
    try {
        configure_odometer_line(port);
    } catch (const boost::system::system_error&) {
        return L"недоступен";
    }
    unsigned char byte = 0;
    std::size_t got = 0;
    boost::asio::async_read(port, boost::asio::buffer(&byte, 1),
                            [&](const boost::system::error_code& e, std::size_t n) {
                                if (!e) got = n;
                            });
    io.run_for(wait);
    port.close(ec);  // completes the pending read as aborted
    io.restart();
    io.run();
    if (got != 1) return L"ДПП не найден";
    return byte == 0x53 ? L"ДПП новый формат" : L"ДПП старый формат";
}

}  // namespace

std::vector<std::wstring> run_odometer_test(
    const std::function<std::wstring(const std::wstring&)>& device_path_of,
    std::chrono::milliseconds wait) {
    std::vector<std::wstring> rows{L"Тест ДПП:"};
    for (const auto& name : odometer_test_port_names()) {
        const std::wstring path = device_path_of(name);
        rows.push_back(L"Последовательный порт " + path);
        rows.push_back(probe(path, wait));
    }
    return rows;
}

std::vector<std::wstring> run_odometer_test() {
    return run_odometer_test(serial_device_path);
}
