#include "app/frame_startup.h"
#include "app/health_strip.h"
#include "app/thread_events.h"
#include "app/window_ids.h"
#include "app/database_list.h"
#include "log/log_viewer.h"
#include "viewer/VImagePanel.h"
#include "settings/settings_keys.h"
#include "tests/app/fake_frame_source.h"
#include "tests/app/frame_test_support.h"
#include "tests/app/scripted_cameras.h"

#include <gtest/gtest.h>

#include "base/thread_name.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <iostream>
#include <regex>
#include <stdexcept>

#include <unistd.h>
#include <utime.h>

#include <wx/combobox.h>
#include <wx/menu.h>
#include <wx/statusbr.h>
#include <wx/toolbar.h>

namespace {

namespace fs = std::filesystem;
using test_support::frame_fixture;

class frame_test : public ::testing::Test, public frame_fixture {};

bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

TEST_F(frame_test, start_up_creates_the_directories_and_a_log_of_this_run_with_the_start_up_rows) {
    open();
    const fs::path base = home.path() / "Velkor3";
    EXPECT_TRUE(fs::is_directory(base / "config"));
    EXPECT_TRUE(fs::is_directory(base / "log"));
    EXPECT_EQ(fs::path(frame->settings_file_path().ToStdString()), base / "config" / ".quillmar");

    const std::string name = log_path().filename().string();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(name, m, std::regex(R"(quillmar\[(\d+)\]\.html)"))) << name;
    const std::string pid = std::to_string(::getpid());
    EXPECT_EQ(m[1].str().substr(m[1].length() - pid.size()), pid);
    EXPECT_EQ(log_path().parent_path(), base / "log");

    const auto lines = test_support::file_lines(log_path());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "<html>");
    EXPECT_EQ(lines[1], "<table>");
    EXPECT_EQ(lines[2], "<tbody>");

    const auto rows = messages();
    ASSERT_GE(rows.size(), 7u);
    EXPECT_TRUE(std::regex_match(rows[0], std::regex("blue:Начало работы. Версия: 717 hash: [0-9a-f]{40}"))) << rows[0];
    EXPECT_EQ(rows[1].rfind("blue:JAI ", 0), 0u) << rows[1];
    EXPECT_EQ(rows[2].rfind("blue:OpenCV 4.", 0), 0u) << rows[2];
    EXPECT_EQ(rows[3].rfind("blue:wxWidgets 3.", 0), 0u) << rows[3];
    EXPECT_TRUE(std::regex_match(rows[4], std::regex(R"(blue:Компьютер: \S+ \(\d+\.\d+\.\d+\.\d+\))"))) << rows[4];
    EXPECT_EQ(rows[5].rfind("blue:ОС: ", 0), 0u) << rows[5];
    EXPECT_EQ(rows[6], "blue:Борт: левый");  // the side the settings dialog shows
}

TEST_F(frame_test, the_side_row_shows_the_stored_side_and_old_logs_are_removed_at_start) {
    const fs::path base = home.path() / "Velkor3";
    fs::create_directories(base / "config");
    fs::create_directories(base / "log");
    std::ofstream(base / "config" / ".quillmar") << "side=правый\n";
    const fs::path old_log = base / "log" / "quillmar[1].html";
    const fs::path week_old_log = base / "log" / "quillmar[2].html";
    std::ofstream(old_log) << "x";
    std::ofstream(week_old_log) << "x";
    const std::time_t now = std::time(nullptr);
    utimbuf long_ago{now - 8 * 86400, now - 8 * 86400};
    ::utime(old_log.c_str(), &long_ago);
    utimbuf six_days{now - 6 * 86400, now - 6 * 86400};
    ::utime(week_old_log.c_str(), &six_days);

    open();
    EXPECT_TRUE(contains(messages(), "blue:Борт: правый"));
    EXPECT_FALSE(fs::exists(old_log));
    EXPECT_TRUE(fs::exists(week_old_log));
}

TEST_F(frame_test, idle_without_camera_enables_settings_and_refresh_but_not_capture_in_menu_and_toolbar) {
    test_support::scripted_cameras none;
    open(none.backend_ptr());
    EXPECT_TRUE(contains(messages(), "blue:Найдено камер: 0"));
    EXPECT_FALSE(frame->camera());
    EXPECT_EQ(frame->camera_combo()->GetCount(), 0u);
    frame->DoMenuUpdates();
    frame->UpdateWindowUI(wxUPDATE_UI_RECURSE);
    wxMenuBar* bar = frame->GetMenuBar();
    for (int id : {ID_SETTINGS, ID_EXIT, ID_REFRESH_CAMERAS, ID_REFRESH_DATABASES, ID_DPP_TEST})
        EXPECT_TRUE(bar->IsEnabled(id)) << id;
    for (int id : {ID_CAPTURE, ID_CAPTURE_RECORD, ID_STOP, ID_SESSION_CODE, ID_VIEW_DATABASE, ID_DELETE_DATABASE,
                   ID_ARCHIVE_DATABASE, ID_REPLACE_SIDE, ID_REPLACE_SESSION_CODE, ID_COMPARE_DATABASE})
        EXPECT_FALSE(bar->IsEnabled(id)) << id;
    wxToolBar* tools = frame->GetToolBar();
    EXPECT_FALSE(tools->GetToolEnabled(ID_CAPTURE));
    EXPECT_TRUE(tools->GetToolEnabled(ID_SETTINGS));
    EXPECT_TRUE(tools->GetToolEnabled(ID_EXIT));
    EXPECT_TRUE(frame->FindWindow(ID_CAMERA_COMBO)->IsEnabled());
    EXPECT_TRUE(frame->FindWindow(ID_EXPOSURE_COMBO)->IsEnabled());

    frame->camera_popup()->UpdateUI(frame);
    EXPECT_FALSE(frame->camera_popup()->IsEnabled(ID_CAPTURE));
    EXPECT_FALSE(frame->camera_popup()->IsEnabled(ID_STOP));
}

TEST_F(frame_test, chrome_has_the_titles_menus_panes_and_four_status_fields) {
    open();
    EXPECT_EQ(frame->GetTitle(), L"Подвагонные камеры");
    EXPECT_EQ(frame->GetId(), 0);
    wxMenuBar* bar = frame->GetMenuBar();
    ASSERT_EQ(bar->GetMenuCount(), 4u);
    EXPECT_EQ(bar->GetMenuLabelText(0), L"Файл");
    EXPECT_EQ(bar->GetMenuLabelText(1), L"Камера");
    EXPECT_EQ(bar->GetMenuLabelText(2), L"Обработка");
    EXPECT_EQ(bar->GetMenuLabelText(3), L"Инструменты");
    EXPECT_EQ(bar->GetLabel(ID_CAPTURE_RECORD), L"Захват и запись");
    EXPECT_EQ(bar->GetLabel(ID_DPP_TEST), L"Тест ДПП");
    EXPECT_EQ(frame->camera_popup()->GetMenuItemCount(), 4u);
    EXPECT_EQ(frame->database_popup()->GetMenuItemCount(), 9u);
    EXPECT_EQ(bar->GetLabel(ID_EXPORT_DATABASE), L"Экспорт…");
    EXPECT_NE(frame->database_popup()->FindItem(ID_EXPORT_DATABASE), nullptr);
    EXPECT_EQ(bar->GetLabel(ID_COMPARE_DATABASE), L"Сравнить с…");
    EXPECT_NE(frame->database_popup()->FindItem(ID_COMPARE_DATABASE), nullptr);
    // Every database command reaches the window's handler (with no selection it does nothing).
    for (int id : {ID_VIEW_DATABASE, ID_COMPARE_DATABASE, ID_EXPORT_DATABASE}) {
        wxCommandEvent command(wxEVT_MENU, id);
        EXPECT_TRUE(frame->ProcessWindowEvent(command)) << id;
    }
    EXPECT_EQ(frame->GetStatusBar()->GetFieldsCount(), 4);
    EXPECT_EQ(frame->aui().GetPane(static_cast<wxWindow*>(frame->image_panel())).caption, L"Камера");
    EXPECT_EQ(frame->aui().GetPane(static_cast<wxWindow*>(frame->log_pane())).caption, L"Журнал");
    EXPECT_EQ(frame->aui().GetPane(static_cast<wxWindow*>(frame->database_pane())).caption, L"Данные");
    EXPECT_EQ(frame->image_panel()->GetId(), ID_IMAGE_PANEL);
    EXPECT_EQ(frame->database_pane()->GetId(), ID_DATABASE_LIST);
    EXPECT_EQ(frame->GetToolBar()->GetToolsCount() >= 3u, true);
}

TEST_F(frame_test, status_and_log_events_fill_their_fields_and_rows_in_order) {
    open();
    auto source = std::make_shared<test_support::fake_frame_source>(true);
    frame->state().set_camera_open(true);
    ASSERT_TRUE(frame->state().start([&] { return source; }));
    auto sink = frame->event_sink();
    post_message(sink, make_grab_stats(L"delivered: 1"));
    post_message(sink, make_record_status(recording_news::text, L"ДПП[7]: 1 Записано кадров: 0"));
    post_message(sink, status_text_message{3, L"Диск"});
    post_message(sink, status_text_message{9, L"ignored"});
    post_message(sink, new_frame_message{L"timestamp: 5"});
    post_log_info(sink, L"first");
    post_log_error(sink, L"second <b>");
    pump();
    wxStatusBar* bar = frame->GetStatusBar();
    EXPECT_EQ(bar->GetStatusText(0), L"delivered: 1");
    EXPECT_EQ(bar->GetStatusText(1), L"timestamp: 5");
    EXPECT_EQ(bar->GetStatusText(2), L"ДПП[7]: 1 Записано кадров: 0");
    EXPECT_EQ(bar->GetStatusText(3), L"Диск");
    const auto rows = messages();
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[rows.size() - 2], "blue:first");
    EXPECT_EQ(rows.back(), "red:second &lt;b&gt;");

    // No text outlives its run: Stop clears the run's fields, and late texts stay out.
    frame->stop();
    post_message(sink, make_grab_stats(L"delivered: 2"));
    post_message(sink, make_record_status(recording_news::text, L"ДПП[7]: 2 Записано кадров: 1"));
    post_message(sink, new_frame_message{L"no source: ignored"});
    pump();
    for (int field : {0, 1, 2}) EXPECT_EQ(bar->GetStatusText(field), L"") << field;
    EXPECT_EQ(bar->GetStatusText(3), L"Диск");
}

TEST_F(frame_test, remote_commands_without_an_active_source) {
    test_support::scripted_cameras none;
    open(none.backend_ptr());
    auto sink = frame->event_sink();
    post_message(sink, rc_command_message{0, L""});
    post_message(sink, rc_command_message{7, L""});
    post_message(sink, rc_command_message{4, L""});  // capture only is the browser's alone
    post_message(sink, rc_command_message{3, L"СЕАНС-1"});
    post_message(sink, rc_command_message{1, L""});  // no camera: nothing
    post_message(sink, rc_command_message{2, L""});  // nothing to stop
    pump();
    const auto rows = messages();
    ASSERT_GE(rows.size(), 2u);
    // The session code's row is the service's (within its row budget), not the window's.
    EXPECT_EQ(std::vector<std::string>(rows.end() - 3, rows.end()),
              (std::vector<std::string>{"blue:Пустая команда управления", "blue:Пустая команда управления",
                                        "blue:Пустая команда управления"}));
    EXPECT_FALSE(frame->state().active());
}

TEST_F(frame_test, remote_command_3_restarts_an_active_recording_with_the_narrow_code_and_2_stops_it) {
    open();
    auto source = std::make_shared<test_support::fake_frame_source>(true);
    frame->state().set_camera_open(true);
    ASSERT_TRUE(frame->state().start([&] { return source; }));
    post_message(frame->event_sink(), rc_command_message{3, L"Код 7"});
    pump();
    ASSERT_EQ(source->restarts.size(), 1u);
    EXPECT_EQ(source->restarts[0], "Код 7");
    post_message(frame->event_sink(), rc_command_message{2, L""});
    pump();
    EXPECT_FALSE(frame->state().active());
}

TEST_F(frame_test, the_live_display_follows_the_size_of_each_frame_buffer) {
    open();
    frame_buffer small, large;
    small.width = 4;
    small.height = 2;
    small.image.assign(8, 200);
    large.width = 6;
    large.height = 3;
    large.image.assign(18, 50);
    auto source = std::make_shared<test_support::fake_frame_source>(false);
    source->frame = &small;
    frame->state().set_camera_open(true);
    ASSERT_TRUE(frame->state().start([&] { return source; }));

    post_message(frame->event_sink(), new_frame_message{L"timestamp: 1"});
    pump();
    wxImage shown = frame->image_panel()->image();
    ASSERT_TRUE(shown.IsOk());
    EXPECT_EQ(shown.GetSize(), wxSize(4, 2));
    EXPECT_EQ(shown.GetRed(3, 1), 200);
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(1), L"timestamp: 1");

    // Another camera, larger frames: the display grows with them instead of keeping the first size.
    source->frame = &large;
    post_message(frame->event_sink(), new_frame_message{L"timestamp: 2"});
    pump();
    shown = frame->image_panel()->image();
    EXPECT_EQ(shown.GetSize(), wxSize(6, 3));
    EXPECT_EQ(shown.GetGreen(5, 2), 50);
    frame->stop();
}

TEST_F(frame_test, workers_that_outlive_the_window_post_into_nothing) {
    open();
    event_sink_ptr sink = frame->event_sink();
    close();
    post_log_info(sink, L"after the window");
    post_message(sink, status_text_message{3, L"x"});
    wxTheApp->ProcessPendingEvents();
    SUCCEED();
}

TEST_F(frame_test, settings_ok_flushes_the_store_to_its_file_and_cancel_writes_nothing) {
    open();
    const fs::path file = frame->settings_file_path().ToStdString();
    const auto before = test_support::file_lines(file);
    frame->run_settings([](settings_ptr) { return int(wxID_CANCEL); });
    EXPECT_EQ(test_support::file_lines(file), before);
    frame->run_settings([](settings_ptr s) {
        s->write_text(settings_keys::dpp_port, "/dev/ttyUSB0");
        return int(wxID_OK);
    });
    EXPECT_TRUE(contains(test_support::file_lines(file), "dpp_port=/dev/ttyUSB0"));
}

// A recording source whose destruction waits for the test, as one storing what it holds after
// the disk stalled; it notes the thread that destroyed it.
class draining_source : public test_support::fake_frame_source {
public:
    draining_source(std::shared_future<void> stored, std::promise<std::string> gone)
        : fake_frame_source(true), stored_(std::move(stored)), gone_(std::move(gone)) {}
    ~draining_source() override {
        stored_.wait();
        gone_.set_value(this_thread_name());
    }

private:
    std::shared_future<void> stored_;
    std::promise<std::string> gone_;
};

TEST_F(frame_test, stop_returns_while_the_recording_drains_and_nothing_starts_until_it_is_stored) {
    open();
    ASSERT_TRUE(frame->state().camera_open());
    std::promise<void> stored;
    std::promise<std::string> gone;
    std::future<std::string> destroyed_on = gone.get_future();
    ASSERT_TRUE(frame->state().start(
        [&] { return std::make_shared<draining_source>(stored.get_future().share(), std::move(gone)); }));

    const auto before = std::chrono::steady_clock::now();
    frame->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
    EXPECT_EQ(destroyed_on.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(frame->strip()->cells().at(health_model::cell_lamp).value, L"СОХРАНЕНИЕ");

    // The drain's count is shown; the start commands, from the menu or the remote control, are refused.
    auto sink = frame->event_sink();
    record_status_message left =
        make_record_status(recording_news::draining, L"Сохранение записи: осталось кадров: 40");
    left.count = 40;
    post_message(sink, left);
    post_message(sink, make_record_status(recording_news::text, L"ДПП[7]: 9 Записано кадров: 9"));
    post_message(sink, rc_command_message{1, L""});
    pump();
    wxStatusBar* bar = frame->GetStatusBar();
    EXPECT_EQ(bar->GetStatusText(2), L"Сохранение записи: осталось кадров: 40");
    EXPECT_EQ(frame->strip()->cells().at(health_model::cell_queue).value, L"осталось 40");
    frame->capture();
    frame->capture_and_record();
    EXPECT_FALSE(frame->state().active());
    for (int id : {ID_CAPTURE, ID_CAPTURE_RECORD, ID_SETTINGS}) EXPECT_FALSE(frame->command_enabled(id)) << id;

    stored.set_value();
    ASSERT_TRUE(pump_until([&] { return frame->command_enabled(ID_CAPTURE_RECORD); }));
    EXPECT_EQ(destroyed_on.get(), "qm-retire");
    EXPECT_TRUE(pump_until([&] { return bar->GetStatusText(2) == L"Запись сохранена"; })) << bar->GetStatusText(2);
    EXPECT_EQ(frame->strip()->cells().at(health_model::cell_lamp).value, L"СТОП");
    EXPECT_TRUE(frame->command_enabled(ID_CAPTURE));
}

TEST_F(frame_test, closing_the_window_while_a_recording_drains_waits_until_it_is_stored) {
    open();
    std::promise<void> stored;
    std::promise<std::string> gone;
    std::future<std::string> destroyed_on = gone.get_future();
    frame->state().set_camera_open(true);
    ASSERT_TRUE(frame->state().start(
        [&] { return std::make_shared<draining_source>(stored.get_future().share(), std::move(gone)); }));
    frame->stop();
    std::thread disk([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stored.set_value();
    });
    close();
    EXPECT_EQ(destroyed_on.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    disk.join();
}

TEST(frame_start_up, a_log_directory_that_cannot_be_made_ends_construction_with_its_message) {
    test_support::scoped_home home;
    fs::create_directories(home.path() / "Velkor3");
    std::ofstream(home.path() / "Velkor3" / "log") << "a file in the way";
    std::wstreambuf* out = std::wcout.rdbuf();
    try {
        auto* frame = new quillmar_frame();
        test_support::destroy_frame(frame);
        FAIL() << "constructed";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Не удается создать папку с файлами журналов [" + (home.path() / "Velkor3" / "log").string() + "]");
    }
    wxTheApp->ProcessIdle();
    EXPECT_EQ(std::wcout.rdbuf(), out);
}

TEST(frame_start_up, a_configuration_directory_that_cannot_be_made_is_reported_and_start_up_goes_on) {
    test_support::scoped_home home;
    fs::create_directories(home.path() / "Velkor3");
    std::ofstream(home.path() / "Velkor3" / "config") << "a file in the way";
    quillmar_frame* frame = nullptr;
    ASSERT_NO_THROW(frame = new quillmar_frame());
    // The log opens only after this, so the row reached standard error alone.
    const auto rows = test_support::log_messages(frame->log_file_path().ToStdString());
    for (const auto& r : rows) EXPECT_EQ(r.find("Не удается создать папку с файлами настройки"), std::string::npos);
    EXPECT_TRUE(contains(rows, "blue:Борт: левый"));
    test_support::destroy_frame(frame);
}

// Start-up runs in its fixed order; a test can stop after any step and look.
TEST(frame_start_up, the_steps_run_one_at_a_time_in_order) {
    test_support::scoped_home home;
    const auto config = home.path() / "Velkor3" / "config";
    fs::create_directories(config);
    fs::create_directories(home.path() / "records");
    std::ofstream(config / ".quillmar") << "write_path=" << (home.path() / "records").string() << "\n";
    test_support::keep_services_off_fixed_ports(config / ".quillmar");

    auto* frame = new quillmar_frame(false);
    frame_startup start(*frame);
    using step = frame_startup::step;
    const auto run_to = [&](step last) {
        while (start.next() <= last) ASSERT_TRUE(start.run_next());
    };
    EXPECT_EQ(start.next(), step::sdk);
    run_to(step::settings);
    EXPECT_TRUE(frame->settings());
    EXPECT_EQ(frame->log_pane(), nullptr);
    run_to(step::panes);
    EXPECT_NE(frame->log_pane(), nullptr);
    EXPECT_NE(frame->strip(), nullptr);
    EXPECT_EQ(frame->GetStatusBar(), nullptr);
    run_to(step::cameras);
    // The search runs behind the window: it answers meanwhile, and the list comes as an event.
    EXPECT_TRUE(frame->discovering());
    EXPECT_FALSE(frame->command_enabled(ID_REFRESH_CAMERAS));
    run_to(step::camera_choice);
    EXPECT_NE(frame->GetStatusBar(), nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (frame->discovering() && std::chrono::steady_clock::now() < deadline) {
        wxTheApp->ProcessPendingEvents();
        wxMilliSleep(5);
    }
    EXPECT_FALSE(frame->cameras().empty());
    EXPECT_TRUE(frame->camera());  // the start-up choice, made when the search ended
    EXPECT_TRUE(frame->command_enabled(ID_REFRESH_CAMERAS));
    EXPECT_EQ(frame->services(), nullptr);
    run_to(step::services);
    EXPECT_NE(frame->services(), nullptr);
    EXPECT_FALSE(start.run_next());
    test_support::destroy_frame(frame);
}

}  // namespace
