// The odometer test against quillmar-odometer-sim on a pseudo-terminal, in both formats: the
// probe opens a line that is already sending, so its first byte is usually inside a message.
#include "recording/odometer_test.h"
#include "tests/tools/sim_process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::chrono_literals;

TEST(OdometerSimProbe, TellsTheFormatOfARunningOdometerEveryTime) {
    const struct {
        const char* format;
        odometer_verdict_kind kind;
        const wchar_t* row_start;
    } cases[] = {
        {"7", odometer_verdict_kind::format7, L"ДПП7: сообщений "},
        {"4", odometer_verdict_kind::format4, L"ДПП4: сообщений "},
    };
    for (const auto& c : cases) {
        sim_test::child_process sim(sim_test::tool_path("quillmar-odometer-sim"),
                                    {"--format", c.format, "--rate", "300", "--garbage", "3", "--start", "5000"});
        const auto path = sim.read_line();
        ASSERT_TRUE(path) << c.format;
        const std::wstring device(path->begin(), path->end());
        // Several probes in a row, each opening the line afresh at some point of its stream.
        for (int attempt = 0; attempt < 5; ++attempt) {
            const auto result = probe_odometer_ports(
                {device}, device, [](const std::wstring& p) { return probe_odometer_port(p, 3s); });
            ASSERT_EQ(result.rows.size(), 3u);
            EXPECT_EQ(result.rows[1], L"Последовательный порт " + device);
            EXPECT_EQ(result.rows[2].rfind(c.row_start, 0), 0u) << c.format << " attempt " << attempt;
            ASSERT_TRUE(result.configured);
            EXPECT_EQ(result.configured->verdict.kind, c.kind) << c.format << " attempt " << attempt;
            EXPECT_GE(result.configured->verdict.messages, odometer_run_needed);
            EXPECT_GE(result.configured->verdict.first_count, 5000u);
        }
    }
}
