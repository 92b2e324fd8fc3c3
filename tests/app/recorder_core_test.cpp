#include "app/recorder_core.h"
#include "base/locale_text.h"
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
    const struct {
        const wchar_t* text;
        const wchar_t* shown;  // in the strip's odometer cell
    } reasons[] = {{L"Запись остановлена: не удалось открыть порт ДПП /dev/ttyUSB0", L"порт ДПП не открыт"},
                   {L"Запись остановлена: ошибка записи. Записано кадров: 3", L"ошибка записи"},
                   {L"Запись остановлена: мало места на диске. Записано кадров: 9", L"диск заполнен"},
                   {L"Запись остановлена: CoordServer resolve error", L"сервер координат"}};
    for (const auto& [reason, shown] : reasons) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(reason)));
        core.stop();
        ASSERT_TRUE(core.start([&] { return source; }, t0));
        EXPECT_EQ(core.mode(), capture_mode::recording);
        EXPECT_TRUE(core.record_status(step(1), t0 + 1s));
        EXPECT_TRUE(core.allows(ID_SESSION_CODE));

        EXPECT_TRUE(core.record_status(news(recording_news::stopped, reason), t0 + 2s));  // shown
        EXPECT_EQ(core.mode(), capture_mode::capturing);
        EXPECT_TRUE(core.active());
        EXPECT_EQ(core.health().cells(t0 + 2s)[health_model::cell_lamp].value, L"ЗАХВАТ · запись остановлена");
        EXPECT_EQ(core.health().cells(t0 + 2s)[health_model::cell_odometer].value, shown);
        EXPECT_EQ(core.health().cells(t0 + 2s)[health_model::cell_odometer].tip, reason);
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

namespace {

record_status_message left(std::uint32_t frames) {
    record_status_message m =
        make_record_status(recording_news::draining, L"Сохранение записи: осталось кадров: " + std::to_wstring(frames));
    m.count = frames;
    return m;
}

const int start_commands[] = {ID_CAPTURE, ID_CAPTURE_RECORD};

}  // namespace

// Stop hands the source over to be destroyed elsewhere; until that is done the camera and the
// live database are still in use, and the drain is what the screen shows.
TEST_F(recording, a_retiring_recording_shows_its_drain_and_nothing_starts_until_it_is_gone) {
    core.record_status(step(1), t0 + 1s);
    auto retiring = core.retire();
    ASSERT_EQ(retiring.source, source);
    EXPECT_FALSE(core.active());
    EXPECT_TRUE(core.saving());
    EXPECT_EQ(core.health().cells(t0 + 2s)[health_model::cell_lamp].value, L"СОХРАНЕНИЕ");
    for (int id : start_commands) EXPECT_FALSE(core.allows(id)) << id;
    for (int id : {ID_STOP, ID_SETTINGS, ID_CAMERA_COMBO, ID_SESSION_CODE}) EXPECT_FALSE(core.allows(id)) << id;
    EXPECT_FALSE(core.start([&] { return source; }, t0 + 2s));
    EXPECT_FALSE(core.retire().source);

    const struct {
        record_status_message message;
        bool shown;
    } arriving[] = {
        {left(300), true},
        {news(recording_news::queue_dropped, L"Очередь записи переполнена: потеряно кадров: 5"), true},
        {step(2), false},
        {news(recording_news::text, L"ДПП[7]: 2"), false},
        {news(recording_news::odometer_silent), false},
        {left(40), true},
    };
    for (const auto& a : arriving)
        EXPECT_EQ(core.record_status(a.message, t0 + 3s), a.shown) << to_narrow(a.message.text);
    EXPECT_EQ(core.health().cells(t0 + 3s)[health_model::cell_queue].value, L"осталось 40");

    EXPECT_EQ(core.retired(retiring.run + 1), L"");  // not this run's
    EXPECT_TRUE(core.saving());
    retiring.source.reset();
    EXPECT_EQ(core.retired(retiring.run), L"Запись сохранена");
    EXPECT_FALSE(core.saving());
    EXPECT_EQ(core.health().cells(t0 + 4s)[health_model::cell_lamp].value, L"СТОП");
    for (int id : start_commands) EXPECT_TRUE(core.allows(id)) << id;
    EXPECT_FALSE(core.record_status(left(1), t0 + 4s)) << "the drain is over";

    // The next recording starts from nothing.
    ASSERT_TRUE(core.start([&] { return source; }, t0 + 5s));
    EXPECT_EQ(core.health().cells(t0 + 5s)[health_model::cell_queue].value, L"—");
    EXPECT_NE(core.retire().run, retiring.run);
}

TEST_F(recording, saved_is_said_only_after_a_drain_that_was_shown_and_did_not_fail) {
    const struct {
        const char* name;
        std::vector<record_status_message> during;
        std::wstring said;
    } cases[] = {
        {"quick: nothing was left to show", {}, L""},
        {"drained", {left(9)}, L"Запись сохранена"},
        {"failed while draining", {left(9), news(recording_news::stopped, L"Запись остановлена: ошибка записи")}, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        core.stop();
        ASSERT_TRUE(core.start([&] { return source; }, t0));
        const auto retiring = core.retire();
        for (const auto& m : c.during) EXPECT_TRUE(core.record_status(m, t0 + 1s));
        EXPECT_EQ(core.retired(retiring.run), c.said);
    }
}

TEST(recorder_core_capture, a_retiring_capture_has_nothing_to_save_but_still_holds_the_camera) {
    recorder_core core;
    core.set_camera_open(true);
    ASSERT_TRUE(core.start([] { return std::make_shared<fake_frame_source>(false); }, t0));
    const auto retiring = core.retire();
    EXPECT_FALSE(core.saving());
    EXPECT_EQ(core.health().cells(t0)[health_model::cell_lamp].value, L"СТОП");
    EXPECT_FALSE(core.allows(ID_CAPTURE));
    EXPECT_FALSE(core.record_status(left(3), t0));
    EXPECT_EQ(core.retired(retiring.run), L"");
    EXPECT_TRUE(core.allows(ID_CAPTURE));
}

TEST_F(recording, the_tick_reads_the_queue_and_its_drop_news_is_shown_at_once) {
    recording_queue::levels levels;
    levels.frames = 3;
    levels.highest_frames = 9;
    levels.capacity_frames = 100;
    levels.oldest = t0 + 900ms;
    source->levels = levels;
    core.tick(nullptr, t0 + 1s);
    EXPECT_EQ(core.health().cells(t0 + 1s)[health_model::cell_queue].value, L"3 к 0,1 с · 9 · 0");
    record_status_message dropped =
        news(recording_news::queue_dropped, L"Очередь записи переполнена: потеряно кадров: 2");
    dropped.count = 2;
    EXPECT_TRUE(core.record_status(dropped, t0 + 1500ms));
    const health_cell cell = core.health().cells(t0 + 1500ms)[health_model::cell_queue];
    EXPECT_EQ(cell.value, L"3 к 0,1 с · 9 · 2");
    EXPECT_EQ(cell.level, health_level::red);
}
