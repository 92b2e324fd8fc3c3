// How the odometer test tells the two message formats apart, from bytes and over a real line.
#include "recording/odometer_protocol.h"
#include "recording/odometer_test.h"
#include "tools/support/pseudo_terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::vector<std::uint8_t> messages(int format, const std::vector<std::uint32_t>& counts) {
    std::vector<std::uint8_t> out;
    for (const auto c : counts) {
        if (format == 7) {
            const auto m = encode_odometer7(c);
            out.insert(out.end(), m.begin(), m.end());
        } else {
            const auto m = encode_odometer4(c);
            out.insert(out.end(), m.begin(), m.end());
        }
    }
    return out;
}

std::vector<std::uint32_t> counts_from(std::uint32_t first, int n, int step = 1) {
    std::vector<std::uint32_t> out;
    for (int i = 0; i < n; ++i) out.push_back(first + static_cast<std::uint32_t>(i * step));
    return out;
}

std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

std::vector<std::uint8_t> operator+(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

}  // namespace

// The old test judged by the first byte read, which is usually inside a message: wherever the
// reading starts, and whatever came before, the stream decides.
TEST(OdometerClassifier, FindsEitherFormatWhereverTheReadingStarts) {
    for (const int format : {4, 7}) {
        const auto stream = messages(format, counts_from(1200, 24));
        for (int cut = 0; cut < format; ++cut) {
            for (const unsigned seed : {1u, 2u, 3u}) {
                const auto bytes = random_bytes(40, seed) + std::vector<std::uint8_t>(stream.begin() + cut, stream.end());
                const auto v = classify_odometer_bytes(bytes);
                const auto expected = format == 7 ? odometer_verdict_kind::format7 : odometer_verdict_kind::format4;
                ASSERT_EQ(v.kind, expected) << "format " << format << " cut " << cut << " seed " << seed;
                EXPECT_EQ(v.bytes, bytes.size());
                // A cut message is lost, never the run; the last count is always there.
                EXPECT_EQ(v.last_count, 1223u);
                EXPECT_EQ(v.messages, cut == 0 ? 24u : 23u);
            }
        }
    }
}

TEST(OdometerClassifier, RowsUseTheSettingsWords) {
    const struct {
        std::vector<std::uint8_t> bytes;
        odometer_verdict_kind kind;
        const wchar_t* row;
    } cases[] = {
        {messages(7, counts_from(1200, 24)), odometer_verdict_kind::format7, L"ДПП7: сообщений 24, счёт 1200…1223"},
        {messages(4, counts_from(90, 10, -10)), odometer_verdict_kind::format4, L"ДПП4: сообщений 10, счёт 90…0"},
        {{}, odometer_verdict_kind::silent, L"нет данных"},
        {random_bytes(3000, 9), odometer_verdict_kind::unknown, L"данные не распознаны (байт: 3000)"},
    };
    for (const auto& c : cases) {
        const auto v = classify_odometer_bytes(c.bytes);
        EXPECT_EQ(v.kind, c.kind) << c.row;
        EXPECT_EQ(v.row, c.row);
    }
    EXPECT_EQ(unavailable_odometer_verdict().row, L"недоступен");
    EXPECT_EQ(odometer_setting_of(odometer_verdict_kind::format4), L"ДПП4");
    EXPECT_EQ(odometer_setting_of(odometer_verdict_kind::format7), L"ДПП7");
    EXPECT_EQ(odometer_setting_of(odometer_verdict_kind::silent), L"");
}

// What must not pass for an odometer: too few messages, counts that jump about, noise that
// happens to hold messages of either format.
TEST(OdometerClassifier, NeedsARunOfMessagesWithSmallSteps) {
    const auto needed = static_cast<int>(odometer_run_needed);
    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        odometer_verdict_kind kind;
    } cases[] = {
        {"one short of a run", messages(7, counts_from(10, needed - 1)), odometer_verdict_kind::unknown},
        {"just a run", messages(7, counts_from(10, needed)), odometer_verdict_kind::format7},
        {"jumps", messages(7, counts_from(10, 30, 5000)), odometer_verdict_kind::unknown},
        {"largest step", messages(4, counts_from(10, needed, odometer_step_limit)), odometer_verdict_kind::format4},
        {"backwards", messages(4, counts_from(5000, needed, -400)), odometer_verdict_kind::format4},
        // Format 4 counts are 24 bits: going back past zero is one step.
        {"wrap", messages(4, {3, 2, 1, 0, 0xFFFFFF, 0xFFFFFE, 0xFFFFFD, 0xFFFFFC}), odometer_verdict_kind::format4},
        {"noise", random_bytes(20000, 5), odometer_verdict_kind::unknown},
        // A run broken by a stray message still counts in its longest piece.
        {"interrupted", messages(7, counts_from(10, 3)) + messages(7, {900000}) + messages(7, counts_from(13, needed)),
         odometer_verdict_kind::format7},
        // Stray tag-11 bytes between format 4 messages, as the simulator sends them.
        {"garbage between",
         [] {
             std::vector<std::uint8_t> out;
             for (std::uint32_t c = 0; c < 12; ++c) out = out + messages(4, {c}) + std::vector<std::uint8_t>{0xC5, 0xFF};
             return out;
         }(),
         odometer_verdict_kind::format4},
    };
    for (const auto& c : cases) EXPECT_EQ(classify_odometer_bytes(c.bytes).kind, c.kind) << c.what;
}

// Format 7 counts whose bytes also read as format 4 messages with small steps: neither is
// chosen, and the row says both fit.
TEST(OdometerClassifier, BothFormatsAtOnceAreNotAVerdict) {
    // 53 04 [40+i] 80 C0 00 sum: the bytes 04, 40+i, 80, C0 carry tags 00, 01, 10, 11.
    const auto bytes = messages(7, counts_from(0xC08040, 20));
    const auto v = classify_odometer_bytes(bytes);
    EXPECT_EQ(v.kind, odometer_verdict_kind::unknown);
    EXPECT_TRUE(v.both_formats);
    EXPECT_EQ(v.row, L"данные не распознаны (байт: 140): подходят и ДПП4, и ДПП7");
}

TEST(OdometerTest, AProbeEndsOnceTheFormatIsKnown) {
    pseudo_terminal line;
    const auto bytes = messages(7, counts_from(1, 30));
    ASSERT_TRUE(line.write(bytes.data(), bytes.size()));
    const auto start = std::chrono::steady_clock::now();
    const auto v = probe_odometer_port(wide(line.device_path()), 10s);
    EXPECT_EQ(v.kind, odometer_verdict_kind::format7);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST(OdometerTest, AStopEndsTheWaitAndTheTest) {
    pseudo_terminal silent;
    std::atomic<bool> stop{false};
    const auto start = std::chrono::steady_clock::now();
    int probes = 0;
    const auto result = probe_odometer_ports(
        {wide(silent.device_path()), L"/dev/ttyS0"}, L"/dev/ttyS0",
        [&](const std::wstring& path) {
            ++probes;
            return probe_odometer_port(path, 20s, [&] {
                if (std::chrono::steady_clock::now() - start > 100ms) stop = true;
                return stop.load();
            });
        },
        [&] { return stop.load(); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(probes, 1);
    EXPECT_TRUE(result.stopped);
    EXPECT_FALSE(result.configured);  // the configured port was never reached
    EXPECT_EQ(result.rows.size(), 3u);
    EXPECT_EQ(result.rows[2], L"нет данных");
}
