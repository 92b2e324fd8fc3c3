// End to end: quillmar-odometer-sim drives a write thread over a pseudo-terminal while a
// thread plays the camera; the recorded databases are read back through quillmar-db.
#include "camera/frame_buffer.h"
#include "recording/write_thread_settings.h"
#include "settings/settings_keys.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_home.h"
#include "tests/tools/sim_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

std::vector<std::vector<std::string>> list_databases(const std::string& dir) {
    sim_test::child_process db(sim_test::tool_path("quillmar-db"), {"list", dir});
    std::vector<std::vector<std::string>> rows;
    while (auto line = db.read_line()) {
        std::vector<std::string> fields;
        std::stringstream in(*line);
        for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
        rows.push_back(fields);
    }
    EXPECT_EQ(db.wait(5s), 0);
    return rows;
}

}  // namespace

TEST(RecordingEndToEnd, SimulatedOdometerRecordsTwoDatabasesThatReadBack) {
    test_support::temp_dir dir("qm-e2e");
    // Messages 1..24 count 1000, 1002, ...; message 25 jumps back by 500 to 546; 40 in all.
    sim_test::child_process sim(sim_test::tool_path("quillmar-odometer-sim"),
                                {"--format", "7", "--rate", "400", "--messages", "40", "--start", "1000", "--step", "2",
                                 "--back-every", "25", "--back-by", "500", "--garbage", "3", "--delay", "1"});
    const auto path = sim.read_line();
    ASSERT_TRUE(path);

    auto settings = std::make_shared<settings_store>((dir.path() / ".quillmar").wstring());
    settings->write_text(settings_keys::dpp_port, wxString::FromUTF8(*path));
    settings->write_bool(settings_keys::coordinate_server_enabled, false);
    settings->write_text(settings_keys::write_path, (dir.path() / "db").wstring());
    settings->write_text(settings_keys::side, L"правый");

    frame_buffer fb;
    fb.width = 32;
    fb.height = 24;
    fb.image.assign(32 * 24, 0);
    recording_queue queue;
    std::atomic<bool> camera_on{true};
    std::thread camera([&] {
        for (std::uint64_t stamp = 1; camera_on; ++stamp) {
            std::fill(fb.image.begin(), fb.image.end(), static_cast<std::uint8_t>(stamp));
            queue.push_frame(fb.image.data(), fb.image.size(), frame_geometry{fb.width, fb.height, 0, 8}, stamp);
            std::this_thread::sleep_for(1ms);
        }
    });

    auto sink = std::make_shared<test_support::recording_sink>();
    {
        write_thread wt(sink, write_thread_config_from(*settings), "17 : x", &queue);
        EXPECT_TRUE(sink->wait_for(
            [](const thread_message& m) {
                return kind_of(m) == thread_event::record_status && text_of(m).rfind(L"ДПП[7]: 576 ", 0) == 0;
            },
            20s));
        wt.stop();
        EXPECT_EQ(wt.wait(), 0);
    }
    camera_on = false;
    camera.join();

    // Every message was decoded despite the stray bytes, one recording step each.
    EXPECT_EQ(sink->texts(thread_event::record_status).size(), 40u);
    EXPECT_EQ(sink->texts(thread_event::log_info).back(), L"Сброс ДПП: 1046 → 546");

    auto rows = list_databases((dir.path() / "db").string());
    ASSERT_EQ(rows.size(), 2u);
    std::sort(rows.begin(), rows.end());  // folder names sort by time, then suffix
    for (const auto& r : rows) {
        ASSERT_EQ(r.size(), 9u);
        EXPECT_EQ(r[1], "17 : x");
        EXPECT_EQ(r[2], "правый");
        EXPECT_GE(std::stoull(r[8]), 1u);
    }
    EXPECT_EQ(rows[0][5], "1000");
    EXPECT_LE(std::stoul(rows[0][6]), 1046u);
    EXPECT_GE(std::stoul(rows[1][5]), 546u);
    EXPECT_LE(std::stoul(rows[1][6]), 576u);
    EXPECT_LE(std::stoull(rows[0][8]) + std::stoull(rows[1][8]), 40u);
}
