#include "app/recorder_core.h"
#include "app/window_ids.h"
#include "tests/app/fake_frame_source.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

using test_support::fake_frame_source;
using tp = recorder_core::clock::time_point;
const tp t0{std::chrono::hours(2)};

record_status_message news(recording_news what, std::wstring text = L"") {
    return make_record_status(what, std::move(text));
}

record_status_message step(std::uint32_t count) {
    record_status_message m = make_record_status(recording_news::step, L"ДПП[7]: " + std::to_wstring(count));
    m.count = count;
    m.stored = true;
    m.database = L"/rec/2024.05.01 12.30.45";
    return m;
}

struct recording : ::testing::Test {
    recording() {
        core.set_camera_open(true);
        EXPECT_TRUE(core.start([&] { return source; }, t0));
    }
    std::shared_ptr<fake_frame_source> source = std::make_shared<fake_frame_source>(true);
    recorder_core core;
};

}  // namespace

// Every way the write thread ends on its own (port not opened, failed write, disk guard, an
// exception) arrives as the one `stopped` news with its reason: the window leaves "recording"
// while the capture goes on.
TEST_F(recording, every_end_of_the_write_thread_leaves_recording_and_keeps_capture) {
    const wchar_t* reasons[] = {L"Запись остановлена: не удалось открыть порт ДПП /dev/ttyUSB0",
                                L"Запись остановлена: ошибка записи. Записано кадров: 3",
                                L"Запись остановлена: мало места на диске. Записано кадров: 9",
                                L"Запись остановлена: CoordServer resolve error"};
    for (const wchar_t* reason : reasons) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(reason)));
        core.stop();
        ASSERT_TRUE(core.start([&] { return source; }, t0));
        EXPECT_EQ(core.mode(), capture_mode::recording);
        EXPECT_TRUE(core.record_status(step(1), t0 + 1s));
        EXPECT_TRUE(core.allows(ID_SESSION_CODE));

        EXPECT_TRUE(core.record_status(news(recording_news::stopped, reason), t0 + 2s));  // shown
        EXPECT_EQ(core.mode(), capture_mode::capturing);
        EXPECT_TRUE(core.active());
        EXPECT_EQ(core.health().cells(t0 + 2s)[health_model::cell_lamp].value, L"ЗАХВАТ");
        EXPECT_TRUE(core.allows(ID_STOP));
        EXPECT_FALSE(core.allows(ID_SESSION_CODE));
        EXPECT_FALSE(core.allows(ID_CAPTURE_RECORD));
        // Steps still queued behind the end change nothing on screen.
        EXPECT_FALSE(core.record_status(step(2), t0 + 3s));
        EXPECT_TRUE(core.grab_stats(make_grab_stats(L"delivered: 9", 9), t0 + 3s));
    }
    core.stop();
    EXPECT_EQ(core.mode(), capture_mode::idle);
    EXPECT_EQ(core.health().cells(t0 + 4s)[health_model::cell_lamp].value, L"СТОП");
}

TEST_F(recording, texts_after_stop_are_not_shown_and_a_restart_records_again) {
    EXPECT_TRUE(core.record_status(news(recording_news::stopped, L"x"), t0 + 1s));
    // Remote command 3 gives the source a new write thread: recording again.
    EXPECT_TRUE(core.restart_recording([](frame_source& s) { s.restart_recording(nullptr, "7"); }, t0 + 2s));
    EXPECT_EQ(source->restarts, std::vector<std::string>{"7"});
    EXPECT_EQ(core.mode(), capture_mode::recording);
    EXPECT_TRUE(core.record_status(step(5), t0 + 3s));

    core.stop();
    EXPECT_FALSE(core.record_status(step(6), t0 + 4s));
    EXPECT_FALSE(core.grab_stats(make_grab_stats(L"late"), t0 + 4s));
    EXPECT_FALSE(core.new_frame());
    EXPECT_FALSE(core.restart_recording([](frame_source&) { FAIL(); }, t0 + 5s));
}

TEST_F(recording, the_odometer_lost_and_back_show_in_the_strip_and_recording_goes_on) {
    core.record_status(step(1), t0 + 100ms);
    EXPECT_TRUE(core.record_status(news(recording_news::odometer_lost, L"ДПП потерян: /dev/ttyUSB0"), t0 + 1s));
    EXPECT_EQ(core.mode(), capture_mode::recording);
    EXPECT_EQ(core.health().cells(t0 + 1s)[health_model::cell_odometer].level, health_level::red);
    core.record_status(news(recording_news::odometer_back), t0 + 3s);
    core.record_status(step(2), t0 + 3s);
    EXPECT_EQ(core.health().cells(t0 + 3s)[health_model::cell_odometer].level, health_level::normal);
}

TEST_F(recording, the_tick_reads_the_session_code_and_the_disk_every_five_seconds) {
    source->set_session_code("12 : 34");
    int queries = 0;
    const auto disk = [&] {
        ++queries;
        return std::optional<disk_space>(disk_space{100ull << 30, 50ull << 30});
    };
    for (int s = 0; s <= 10; ++s) core.tick(disk, t0 + std::chrono::seconds(s));
    EXPECT_EQ(queries, 3);  // at 0, 5 and 10 s
    const auto cells = core.health().cells(t0 + 10s);
    EXPECT_EQ(cells[health_model::cell_session].value, L"12 : 34");
    EXPECT_EQ(cells[health_model::cell_disk].value.rfind(L"50,0 ГБ", 0), 0u);
}

TEST(recorder_core_capture, capture_only_ignores_recording_news_and_allows_no_session_code) {
    recorder_core core;
    EXPECT_FALSE(core.allows(ID_CAPTURE));
    core.set_camera_open(true);
    EXPECT_TRUE(core.allows(ID_CAPTURE));
    ASSERT_TRUE(core.start([] { return std::make_shared<fake_frame_source>(false); }, t0));
    EXPECT_EQ(core.mode(), capture_mode::capturing);
    EXPECT_FALSE(core.allows(ID_SESSION_CODE));
    EXPECT_FALSE(core.record_status(step(1), t0));
    EXPECT_FALSE(core.allows(ID_SETTINGS));
    EXPECT_TRUE(core.allows(ID_EXIT));
}
