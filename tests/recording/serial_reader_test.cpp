#include "recording/odometer_reader.h"
#include "recording/odometer_test.h"
#include "tools/support/pseudo_terminal.h"
#include "recording/serial_device.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

TEST(SerialDevice, LinuxNamesFollowTheDesign) {
    EXPECT_EQ(serial_device_path(L"COM1"), L"/dev/ttyS0");
    EXPECT_EQ(serial_device_path(L"COM10"), L"/dev/ttyS9");
    EXPECT_EQ(serial_device_path(L"/dev/pts/7"), L"/dev/pts/7");
    EXPECT_EQ(serial_device_path(L"ttyUSB0"), L"/dev/ttyUSB0");
    EXPECT_EQ(serial_device_path(L"COM0"), L"/dev/COM0");
    EXPECT_EQ(serial_device_path(L"COMX"), L"/dev/COMX");
    EXPECT_EQ(serial_device_path(L"COM99999999999999999999"), L"/dev/COM99999999999999999999");
}

namespace {

// Runs an odometer_reader over a fresh pseudo-terminal on a thread of its own.
struct reader_fixture {
    explicit reader_fixture(int format, odometer_reader::count_handler extra = {})
        : sink(std::make_shared<test_support::recording_sink>()),
          reader(io, format, sink, [this, extra](std::uint32_t c, int f) {
              {
                  std::lock_guard<std::mutex> lock(mutex);
                  counts.push_back(c);
                  formats.push_back(f);
              }
              if (extra) extra(c, f);
          }) {
        const std::string& path = pty.device_path();
        reader.open(serial_device_path(std::wstring(path.begin(), path.end())));
        reader.start();
        thread = std::thread([this] { io.run(); });
    }
    ~reader_fixture() {
        io.stop();
        thread.join();
    }
    std::size_t count_size() {
        std::lock_guard<std::mutex> lock(mutex);
        return counts.size();
    }
    bool wait_counts(std::size_t n) {
        for (int i = 0; i < 500 && count_size() < n; ++i) std::this_thread::sleep_for(10ms);
        return count_size() >= n;
    }

    pseudo_terminal pty;
    boost::asio::io_context io;
    std::shared_ptr<test_support::recording_sink> sink;
    std::mutex mutex;  // guards counts, formats
    std::vector<std::uint32_t> counts;
    std::vector<int> formats;
    odometer_reader reader;
    std::thread thread;
};

}  // namespace

TEST(OdometerReader, DecodesMessagesSentOverAPseudoTerminal) {
    reader_fixture f(7);
    std::vector<std::uint8_t> bytes{0x01, 0x42, 0x83, 0xC4};  // a format 4 message: ignored
    for (std::uint32_t c : {5u, 6u, 7u, 3u}) {
        auto m = encode_odometer7(c);
        bytes.insert(bytes.end(), m.begin(), m.end());
        bytes.push_back(0xEE);
    }
    ASSERT_TRUE(f.pty.write(bytes.data(), bytes.size()));
    ASSERT_TRUE(f.wait_counts(4));
    std::this_thread::sleep_for(50ms);
    std::lock_guard<std::mutex> lock(f.mutex);
    EXPECT_EQ(f.counts, (std::vector<std::uint32_t>{5, 6, 7, 3}));
    EXPECT_EQ(f.formats, (std::vector<int>{7, 7, 7, 7}));
    EXPECT_TRUE(f.sink->messages().empty());
}

// Messages the odometer sent before the port was opened (the line's buffer) are a stale
// burst, not positions of this run: only what comes after the open is read.
TEST(OdometerReader, WhatTheLineHeldBeforeTheOpenIsDiscarded) {
    pseudo_terminal pty;
    std::vector<std::uint8_t> stale;
    for (std::uint32_t c = 100; c < 400; ++c) {
        const auto m = encode_odometer7(c);
        stale.insert(stale.end(), m.begin(), m.end());
    }
    stale.push_back(encode_odometer7(999)[0]);  // and the start of a message cut off
    ASSERT_TRUE(pty.write(stale.data(), stale.size()));
    std::this_thread::sleep_for(50ms);

    boost::asio::io_context io;
    std::mutex mutex;  // guards counts
    std::vector<std::uint32_t> counts;
    odometer_reader reader(io, 7, nullptr, [&](std::uint32_t c, int) {
        std::lock_guard<std::mutex> lock(mutex);
        counts.push_back(c);
    });
    reader.open(serial_device_path(std::wstring(pty.device_path().begin(), pty.device_path().end())));
    reader.start();
    std::thread thread([&] { io.run(); });
    const auto fresh = encode_odometer7(5);
    ASSERT_TRUE(pty.write(fresh.data(), fresh.size()));
    for (int i = 0; i < 200; ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!counts.empty()) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(50ms);
    io.stop();
    thread.join();
    EXPECT_EQ(counts, std::vector<std::uint32_t>{5});
}

TEST(OdometerReader, AHandlerFailurePostsItsTextAndStopsReading) {
    reader_fixture f(4, [](std::uint32_t c, int) {
        if (c == 2) throw std::runtime_error("IO error: disk full");
    });
    for (std::uint32_t c : {1u, 2u, 3u}) {
        auto m = encode_odometer4(c);
        ASSERT_TRUE(f.pty.write(m.data(), m.size()));
    }
    ASSERT_TRUE(f.sink->wait_for_kind(thread_event::log_error));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(f.sink->texts(thread_event::log_error), std::vector<std::wstring>{L"IO error: disk full"});
    EXPECT_EQ(f.count_size(), 2u);  // 3 was never decoded
    EXPECT_FALSE(f.reader.reading());
}

TEST(OdometerReader, ALostLineIsAReadError) {
    reader_fixture f(7);
    f.pty.close_master();
    f.pty.close_slave();
    ASSERT_TRUE(f.sink->wait_for_kind(thread_event::log_error));
    EXPECT_EQ(f.sink->texts(thread_event::log_error), std::vector<std::wstring>{L"Ошибка чтения последовательного порта."});
}

TEST(OdometerReader, OpeningAMissingDeviceThrows) {
    boost::asio::io_context io;
    odometer_reader reader(io, 7, nullptr, [](std::uint32_t, int) {});
    EXPECT_THROW(reader.open(L"/nonexistent/ttyS0"), std::exception);
    EXPECT_FALSE(reader.is_open());
}

TEST(OdometerReader, ALineAnotherReaderHoldsIsBusy) {
    pseudo_terminal line;
    const std::wstring path(line.device_path().begin(), line.device_path().end());
    boost::asio::io_context io;
    odometer_reader first(io, 7, nullptr, [](std::uint32_t, int) {});
    odometer_reader second(io, 7, nullptr, [](std::uint32_t, int) {});
    first.open(path);
    try {
        second.open(path);
        ADD_FAILURE() << "a second reader opened the line";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::system::errc::device_or_resource_busy);
    }
    EXPECT_FALSE(second.is_open());
    first.close();
    second.open(path);  // free again once the first has closed it
    EXPECT_TRUE(second.is_open());
}

// "Тест ДПП" while a recording reads the odometer's line: the line is reported unavailable,
// and the recording's reader still gets every message, in order.
TEST(OdometerTest, ALineARecordingReadsIsUnavailableAndLosesNoCount) {
    constexpr std::uint32_t messages = 600;
    pseudo_terminal line;
    const std::wstring path(line.device_path().begin(), line.device_path().end());
    boost::asio::io_context io;
    std::mutex mutex;  // guards counts
    std::vector<std::uint32_t> counts;
    odometer_reader reader(io, 7, nullptr, [&](std::uint32_t c, int) {
        std::lock_guard<std::mutex> lock(mutex);
        counts.push_back(c);
    });
    reader.open(path);
    reader.start();
    std::thread thread([&] { io.run(); });
    std::atomic<bool> sent{false};
    std::thread odometer([&] {
        for (std::uint32_t c = 0; c < messages; ++c) {
            const auto m = encode_odometer7(c);
            if (!line.write(m.data(), m.size())) break;
            std::this_thread::sleep_for(500us);
        }
        sent = true;
    });
    for (int i = 0; i < 5; ++i) EXPECT_EQ(probe_odometer_port(path, 50ms).kind, odometer_verdict_kind::unavailable);
    odometer.join();
    for (int i = 0; i < 100; ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!counts.empty() && counts.back() == messages - 1) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    io.stop();
    thread.join();
    EXPECT_TRUE(sent);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(counts.size(), messages);
    for (std::uint32_t c = 0; c < messages; ++c) ASSERT_EQ(counts[c], c) << "a count lost or out of order";
}

TEST(OdometerTest, ProbesTheConfiguredPortThenUsbAdaptersThenComPorts) {
    const std::vector<std::wstring> coms{L"/dev/ttyS0", L"/dev/ttyS9", L"/dev/ttyS1", L"/dev/ttyS2", L"/dev/ttyS3",
                                         L"/dev/ttyS4", L"/dev/ttyS5", L"/dev/ttyS6", L"/dev/ttyS7", L"/dev/ttyS8"};
    auto with_coms = [&](std::vector<std::wstring> head) {
        head.insert(head.end(), coms.begin(), coms.end());
        return head;
    };
    const std::vector<std::wstring> dev{L"ttyS0",   L"ttyACM0", L"ttyUSB10", L"null",   L"ttyUSB2",
                                        L"ttyUSBx", L"ttyUSB",  L"ttyACM1",  L"ttyUSB0"};
    const struct {
        const wchar_t* configured;
        std::vector<std::wstring> devices;
        std::vector<std::wstring> order;
    } cases[] = {
        // No adapters, the default port: COM1 keeps its place at the head, once.
        {L"COM1", {L"ttyS0", L"null"}, coms},
        // A pseudo-terminal of a simulator: first, then the adapters by number, then COM.
        {L"/dev/pts/7", dev,
         with_coms(
             {L"/dev/pts/7", L"/dev/ttyUSB0", L"/dev/ttyUSB2", L"/dev/ttyUSB10", L"/dev/ttyACM0", L"/dev/ttyACM1"})},
        // An adapter named without its folder: probed first, not again among the adapters.
        {L"ttyUSB2", dev,
         with_coms({L"/dev/ttyUSB2", L"/dev/ttyUSB0", L"/dev/ttyUSB10", L"/dev/ttyACM0", L"/dev/ttyACM1"})},
        // COM3 first, then no second /dev/ttyS2.
        {L"COM3",
         {},
         [&] {
             std::vector<std::wstring> o{L"/dev/ttyS2"};
             for (const auto& c : coms)
                 if (c != L"/dev/ttyS2") o.push_back(c);
             return o;
         }()},
        // No port configured: nothing in front.
        {L"", {L"ttyACM3"}, with_coms({L"/dev/ttyACM3"})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(odometer_probe_order(c.configured, c.devices, serial_device_path), c.order) << c.configured;
}

TEST(OdometerTest, LogsEveryPathTriedAndWhatItFound) {
    std::vector<std::wstring> probed;
    std::vector<std::uint8_t> stream;
    for (std::uint32_t c = 1200; c < 1210; ++c) {
        const auto m = encode_odometer7(c);
        stream.insert(stream.end(), m.begin(), m.end());
    }
    const auto result = probe_odometer_ports(
        {L"/dev/pts/9", L"/dev/ttyUSB0", L"/dev/ttyS0"}, L"/dev/ttyS0", [&](const std::wstring& p) {
            probed.push_back(p);
            return p == L"/dev/pts/9" ? classify_odometer_bytes(stream) : unavailable_odometer_verdict();
        });
    EXPECT_EQ(probed, (std::vector<std::wstring>{L"/dev/pts/9", L"/dev/ttyUSB0", L"/dev/ttyS0"}));
    EXPECT_EQ(result.rows, (std::vector<std::wstring>{L"Тест ДПП:", L"Последовательный порт /dev/pts/9",
                                                      L"ДПП7: сообщений 10, счёт 1200…1209",
                                                      L"Последовательный порт /dev/ttyUSB0", L"недоступен",
                                                      L"Последовательный порт /dev/ttyS0", L"недоступен"}));
    // The configured port's verdict comes apart from the rows, wherever it was probed.
    ASSERT_TRUE(result.configured);
    EXPECT_EQ(result.configured->path, L"/dev/ttyS0");
    EXPECT_EQ(result.configured->verdict.kind, odometer_verdict_kind::unavailable);
    EXPECT_FALSE(result.stopped);
}

TEST(OdometerTest, ListsTheEntriesOfTheDeviceFolder) {
    test_support::temp_dir dir("qm-dev");
    for (const char* name : {"ttyUSB0", "ttyACM1"}) std::ofstream(dir.path() / name) << "";
    auto entries = list_device_entries(dir.path().wstring());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::wstring>{L"ttyACM1", L"ttyUSB0"}));
    EXPECT_TRUE(list_device_entries(dir.path().wstring() + L"/missing").empty());
    // The adapters found there are probed under that folder.
    const auto order = odometer_probe_order(L"", entries, serial_device_path, dir.path().wstring());
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[0], dir.path().wstring() + L"/ttyUSB0");
    EXPECT_EQ(order[1], dir.path().wstring() + L"/ttyACM1");
}

TEST(OdometerTest, ReportsWhatEachPortSends) {
    pseudo_terminal seven, four, noise, silent;
    // Queued before the probe opens the ports (the pty keeps them for the first reader), each
    // stream cut off mid-message at its start, as a probe that opens a busy line sees it.
    std::vector<std::uint8_t> m7, m4;
    for (std::uint32_t c = 500; c < 520; ++c) {
        const auto a = encode_odometer7(c);
        m7.insert(m7.end(), a.begin(), a.end());
        const auto b = encode_odometer4(c);
        m4.insert(m4.end(), b.begin(), b.end());
    }
    ASSERT_TRUE(seven.write(m7.data() + 3, m7.size() - 3));
    ASSERT_TRUE(four.write(m4.data() + 1, m4.size() - 1));
    const std::vector<std::uint8_t> text{'h', 'e', 'l', 'l', 'o', '\r', '\n'};
    ASSERT_TRUE(noise.write(text.data(), text.size()));
    auto wide = [](const std::string& s) { return std::wstring(s.begin(), s.end()); };
    test_support::temp_dir dir("qm-odo");
    const std::wstring missing = dir.path().wstring() + L"/ttyUSB0";
    const auto rows = probe_odometer_ports({wide(seven.device_path()), wide(four.device_path()),
                                            wide(noise.device_path()), wide(silent.device_path()), missing},
                                           {}, [](const std::wstring& path) { return probe_odometer_port(path, 300ms); })
                          .rows;
    ASSERT_EQ(rows.size(), 11u);
    EXPECT_EQ(rows[2], L"ДПП7: сообщений 19, счёт 501…519");
    EXPECT_EQ(rows[4], L"ДПП4: сообщений 19, счёт 501…519");
    EXPECT_EQ(rows[6], L"данные не распознаны (байт: 7)");
    EXPECT_EQ(rows[8], L"нет данных");
    EXPECT_EQ(rows[9], L"Последовательный порт " + missing);
    EXPECT_EQ(rows[10], L"недоступен");
}
