// The odometer test on its own thread, and what the window says about the configured port.
#include "app/odometer_probe_task.h"

#include "base/thread_name.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

odometer_verdict verdict_of(odometer_verdict_kind kind, std::size_t messages = 0) {
    odometer_verdict v;
    v.kind = kind;
    v.messages = messages;
    v.bytes = 161;
    v.row = kind == odometer_verdict_kind::unknown   ? L"данные не распознаны (байт: 161)"
            : kind == odometer_verdict_kind::silent  ? L"нет данных"
            : kind == odometer_verdict_kind::unavailable ? L"недоступен"
                                                         : L"";
    return v;
}

}  // namespace

TEST(OdometerVerdictText, OffersTheFoundFormatOnlyWhenTheSettingDiffers) {
    const struct {
        odometer_verdict_kind kind;
        const wchar_t* setting;
        const wchar_t* text;
        const wchar_t* offered;  // null: no offer
    } cases[] = {
        {odometer_verdict_kind::format7, L"ДПП4",
         L"Порт /dev/ttyUSB0: ДПП7 (сообщений 23).\nВ настройках: ДПП4.\nУстановить ДПП7?", L"ДПП7"},
        {odometer_verdict_kind::format4, L"ДПП7",
         L"Порт /dev/ttyUSB0: ДПП4 (сообщений 23).\nВ настройках: ДПП7.\nУстановить ДПП4?", L"ДПП4"},
        {odometer_verdict_kind::format7, L"ДПП7", L"Порт /dev/ttyUSB0: ДПП7 (сообщений 23).\nВ настройках: ДПП7.",
         nullptr},
        // An empty setting reads as format 4, but only the written word makes it plain.
        {odometer_verdict_kind::format4, L"",
         L"Порт /dev/ttyUSB0: ДПП4 (сообщений 23).\nВ настройках: не задан.\nУстановить ДПП4?", L"ДПП4"},
        {odometer_verdict_kind::silent, L"ДПП4", L"Порт /dev/ttyUSB0: нет данных.\nВ настройках: ДПП4.", nullptr},
        {odometer_verdict_kind::unknown, L"ДПП7",
         L"Порт /dev/ttyUSB0: данные не распознаны (байт: 161).\nВ настройках: ДПП7.", nullptr},
        {odometer_verdict_kind::unavailable, L"ДПП7", L"Порт /dev/ttyUSB0: недоступен.\nВ настройках: ДПП7.", nullptr},
    };
    for (const auto& c : cases) {
        const auto m = odometer_verdict_text(verdict_of(c.kind, 23), L"/dev/ttyUSB0", c.setting);
        EXPECT_EQ(m.text, c.text);
        EXPECT_EQ(m.offer, c.offered != nullptr) << c.text;
        EXPECT_EQ(m.setting, c.offered ? c.offered : L"") << c.text;
    }
}

TEST(OdometerProbeTask, ProbesOnItsOwnThreadAndHandsTheResultOver) {
    std::mutex mutex;  // guards got and thread_name
    std::optional<odometer_test_result> got;
    std::string thread_name;
    odometer_probe_task task(
        [&](const odometer_stop&) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                thread_name = this_thread_name();
            }
            odometer_test_result r;
            r.rows = {L"Тест ДПП:", L"Последовательный порт /dev/pts/3", L"нет данных"};
            r.configured = odometer_port_result{L"/dev/pts/3", verdict_of(odometer_verdict_kind::silent)};
            return r;
        },
        [&](odometer_test_result r) {
            std::lock_guard<std::mutex> lock(mutex);
            got = std::move(r);
        });
    for (auto end = std::chrono::steady_clock::now() + 5s; !task.finished() && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(task.finished());
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(thread_name, "qm-probe");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->rows.size(), 3u);
    ASSERT_TRUE(got->configured);
    EXPECT_EQ(got->configured->path, L"/dev/pts/3");
}

// Closing the window while a port is being read: the task stops the probe and joins at once,
// and the window hears nothing more.
TEST(OdometerProbeTask, DestructionStopsALongProbeQuickly) {
    std::atomic<bool> started{false};
    std::atomic<bool> called{false};
    auto task = std::make_unique<odometer_probe_task>(
        [&](const odometer_stop& stop) {
            started = true;
            // A silent port's wait that only a stop cuts short.
            return probe_odometer_ports(
                {L"/dev/pts/a", L"/dev/pts/b"}, L"/dev/pts/a",
                [&](const std::wstring&) {
                    for (auto end = std::chrono::steady_clock::now() + 30s;
                         !stop() && std::chrono::steady_clock::now() < end;)
                        std::this_thread::sleep_for(10ms);
                    return verdict_of(odometer_verdict_kind::silent);
                },
                stop);
        },
        [&](odometer_test_result) { called = true; });
    for (auto end = std::chrono::steady_clock::now() + 5s; !started && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(started);
    const auto before = std::chrono::steady_clock::now();
    task.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_FALSE(called);
}
