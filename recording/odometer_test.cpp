#include "recording/odometer_test.h"

#include "base/locale_text.h"
#include "recording/odometer_protocol.h"
#include "recording/serial_device.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/serial_port.hpp>

#include <algorithm>
#include <array>
#include <cwctype>
#include <filesystem>
#include <set>
#include <system_error>

namespace {

// The longest run of one format's messages whose counts move by small steps.
struct message_run {
    std::size_t length = 0;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

// The shorter way round from a to b: format 4 counts wrap at 24 bits, format 7 at 32.
std::uint32_t step_between(std::uint32_t a, std::uint32_t b, std::uint32_t mask) {
    return std::min((b - a) & mask, (a - b) & mask);
}

message_run longest_run(int format, const std::vector<std::uint8_t>& bytes) {
    odometer_decoder decoder(format);
    const std::uint32_t mask = format == 4 ? 0xFFFFFFu : 0xFFFFFFFFu;
    message_run best, current;
    decoder.feed(bytes.data(), bytes.size(), [&](std::uint32_t count) {
        if (current.length > 0 && step_between(current.last, count, mask) <= odometer_step_limit) {
            ++current.length;
            current.last = count;
        } else {
            current = {1, count, count};  // a message made of noise starts afresh
        }
        if (current.length > best.length) best = current;
    });
    return best;
}

}  // namespace

std::wstring odometer_setting_of(odometer_verdict_kind kind) {
    switch (kind) {
    case odometer_verdict_kind::format4: return L"ДПП4";
    case odometer_verdict_kind::format7: return L"ДПП7";
    default: return {};
    }
}

odometer_verdict classify_odometer_bytes(const std::vector<std::uint8_t>& bytes) {
    odometer_verdict v;
    v.bytes = bytes.size();
    if (bytes.empty()) {
        v.kind = odometer_verdict_kind::silent;
        v.row = L"нет данных";
        return v;
    }
    const message_run four = longest_run(4, bytes);
    const message_run seven = longest_run(7, bytes);
    const bool four_ok = four.length >= odometer_run_needed;
    const bool seven_ok = seven.length >= odometer_run_needed;
    if (four_ok == seven_ok) {
        v.kind = odometer_verdict_kind::unknown;
        v.both_formats = four_ok;
        v.row = L"данные не распознаны (байт: " + std::to_wstring(v.bytes) + L")";
        if (v.both_formats) v.row += L": подходят и ДПП4, и ДПП7";
        return v;
    }
    const message_run& run = seven_ok ? seven : four;
    v.kind = seven_ok ? odometer_verdict_kind::format7 : odometer_verdict_kind::format4;
    v.messages = run.length;
    v.first_count = run.first;
    v.last_count = run.last;
    v.row = odometer_setting_of(v.kind) + L": сообщений " + std::to_wstring(run.length) + L", счёт " +
            std::to_wstring(run.first) + L"…" + std::to_wstring(run.last);
    return v;
}

odometer_verdict unavailable_odometer_verdict() {
    odometer_verdict v;
    v.kind = odometer_verdict_kind::unavailable;
    v.row = L"недоступен";
    return v;
}

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

odometer_verdict probe_odometer_port(const std::wstring& device_path, std::chrono::milliseconds wait,
                                     const odometer_stop& stop) {
    boost::asio::io_context io;
    boost::asio::serial_port port(io);
    boost::system::error_code ec;
    port.open(to_narrow(device_path), ec);
    if (ec) return unavailable_odometer_verdict();
    try {
        // A line that a recording reads is refused here, before its settings are touched:
        // on Linux both could open it, and each byte would go to only one of them.
        claim_serial_line(port);
        configure_odometer_line(port);
    } catch (const boost::system::system_error&) {
        return unavailable_odometer_verdict();
    }

    std::vector<std::uint8_t> bytes;
    std::array<std::uint8_t, 512> chunk{};
    bool reading = true;  // false once the line failed: nothing more will come
    std::function<void()> read_more = [&] {
        port.async_read_some(boost::asio::buffer(chunk), [&](const boost::system::error_code& e, std::size_t n) {
            bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(std::min(n, chunk.size())));
            if (e || n == 0)
                reading = false;
            else
                read_more();
        });
    };
    read_more();

    // Short slices, so that a stop request or a decided format ends the wait early.
    constexpr auto slice = std::chrono::milliseconds(50);
    const auto end = std::chrono::steady_clock::now() + wait;
    std::size_t judged = 0;
    for (auto now = std::chrono::steady_clock::now(); now < end && reading; now = std::chrono::steady_clock::now()) {
        if (stop && stop()) break;
        io.run_for(std::min<std::chrono::steady_clock::duration>(slice, end - now));
        if (bytes.size() == judged) continue;
        judged = bytes.size();
        const auto kind = classify_odometer_bytes(bytes).kind;
        if (kind == odometer_verdict_kind::format4 || kind == odometer_verdict_kind::format7) break;
    }
    port.close(ec);  // completes the pending read as aborted
    io.restart();
    io.run();
    return classify_odometer_bytes(bytes);
}

odometer_test_result probe_odometer_ports(const std::vector<std::wstring>& device_paths,
                                          const std::wstring& configured_path, const odometer_prober& probe,
                                          const odometer_stop& stop) {
    odometer_test_result result;
    result.rows.push_back(L"Тест ДПП:");
    for (const auto& path : device_paths) {
        if (stop && stop()) {
            result.stopped = true;
            break;
        }
        odometer_verdict verdict = probe(path);
        result.rows.push_back(L"Последовательный порт " + path);
        result.rows.push_back(verdict.row);
        if (!configured_path.empty() && path == configured_path)
            result.configured = odometer_port_result{path, std::move(verdict)};
    }
    return result;
}

odometer_test_result probe_odometer_ports(const std::wstring& configured_port, const odometer_stop& stop) {
    const auto order = odometer_probe_order(configured_port, list_device_entries(), serial_device_path);
    const std::wstring configured_path = configured_port.empty() ? std::wstring() : serial_device_path(configured_port);
    return probe_odometer_ports(
        order, configured_path,
        [&stop](const std::wstring& path) { return probe_odometer_port(path, std::chrono::seconds(1), stop); }, stop);
}
