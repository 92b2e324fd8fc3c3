#include "recording/odometer_test.h"

#include "base/locale_text.h"
#include "recording/serial_device.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/serial_port.hpp>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <set>
#include <system_error>

std::vector<std::wstring> odometer_test_port_names() {
    std::set<std::wstring> names;
    for (int i = 1; i <= 10; ++i) names.insert(L"COM" + std::to_wstring(i));
    return {names.begin(), names.end()};
}

namespace {

// The number after `prefix` in a device name ("ttyUSB12" -> 12), or -1 when the name is not
// the prefix followed by digits only.
long device_number(const std::wstring& name, const std::wstring& prefix) {
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    long n = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::iswdigit(name[i])) return -1;
        n = n * 10 + (name[i] - L'0');
    }
    return n;
}

}  // namespace

std::vector<std::wstring> odometer_probe_order(const std::wstring& configured_port,
                                               const std::vector<std::wstring>& device_entries,
                                               const std::function<std::wstring(const std::wstring&)>& device_path_of,
                                               const std::wstring& device_folder) {
    std::vector<std::wstring> order;
    auto add = [&order](const std::wstring& path) {
        if (!path.empty() && std::find(order.begin(), order.end(), path) == order.end()) order.push_back(path);
    };
    if (!configured_port.empty()) add(device_path_of(configured_port));
    for (const wchar_t* prefix : {L"ttyUSB", L"ttyACM"}) {
        std::vector<std::pair<long, std::wstring>> found;
        for (const auto& entry : device_entries)
            if (const long n = device_number(entry, prefix); n >= 0) found.emplace_back(n, entry);
        std::sort(found.begin(), found.end());
        for (const auto& [n, entry] : found) add(device_folder + L"/" + entry);
    }
    for (const auto& name : odometer_test_port_names()) add(device_path_of(name));
    return order;
}

std::vector<std::wstring> list_device_entries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(std::filesystem::path(to_narrow(folder)), ec), end; !ec && it != end;
         it.increment(ec))
        names.push_back(to_wide(it->path().filename().string()));
    return names;
}

std::wstring probe_odometer_port(const std::wstring& device_path, std::chrono::milliseconds wait) {
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

std::vector<std::wstring> run_odometer_test(const std::vector<std::wstring>& device_paths,
                                            const odometer_prober& probe) {
    std::vector<std::wstring> rows{L"Тест ДПП:"};
    for (const auto& path : device_paths) {
        rows.push_back(L"Последовательный порт " + path);
        rows.push_back(probe(path));
    }
    return rows;
}

std::vector<std::wstring> run_odometer_test(const std::wstring& configured_port) {
    const auto order = odometer_probe_order(configured_port, list_device_entries(), serial_device_path);
    return run_odometer_test(
        order, [](const std::wstring& path) { return probe_odometer_port(path, std::chrono::seconds(1)); });
}
