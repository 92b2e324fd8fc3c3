// The main window with the camera, database and recording subsystems behind it: the
// simulated camera (QUILLMAR_CAMERAS=simulated) or the scripted double, real scans and the
// real write thread, in a scratch HOME.
#include "app/odometer_probe_task.h"
#include "app/window_ids.h"
#include "app/database_list.h"
#include "database/database_loader.h"
#include "base/ldb_info.h"
#include "recording/odometer_protocol.h"
#include "settings/settings_keys.h"
#include "tests/app/frame_test_support.h"
#include "tests/app/scripted_cameras.h"
#include "tools/support/pseudo_terminal.h"
#include "viewer/VImagePanel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <thread>

#include <wx/combobox.h>
#include <wx/image.h>
#include <wx/statusbr.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class integration_test : public ::testing::Test, public test_support::frame_fixture {
protected:
    void add_summary(const std::wstring& folder) {
        ldb_info info;
        info.session = L"S : 1";
        info.dpp_start = 10;
        info.dpp_end = 20;
        info.count = 3;
        post_message(frame->event_sink(), database_info_message{folder, info});
        pump();
    }
};

TEST_F(integration_test, start_up_lists_the_simulated_cameras_and_opens_the_one_of_the_preferred_driver) {
    open();
    EXPECT_TRUE(has("blue:Найдено камер: 2"));
    EXPECT_TRUE(has("blue:Fake_1 INT=&gt;FD"));
    EXPECT_TRUE(has("blue:Выбрана камера: Fake_1 INT=&gt;SD"));
    EXPECT_EQ(frame->camera_combo()->GetCount(), 2u);
    EXPECT_NE(frame->camera_combo()->GetValue().Find("[SocketDriver]"), wxNOT_FOUND);
    EXPECT_EQ(frame->exposure_combo()->GetCount(), 10u);
    EXPECT_EQ(frame->exposure_combo()->GetValue(), L"Off");
    EXPECT_TRUE(frame->command_enabled(ID_CAPTURE));
    EXPECT_TRUE(frame->command_enabled(ID_CAPTURE_RECORD));
}

TEST_F(integration_test, the_filter_driver_setting_opens_the_filter_driver_camera) {
    write_settings("driver=FilterDriver\n");
    open();
    EXPECT_TRUE(has("blue:Выбрана камера: Fake_1 INT=&gt;FD"));
}

TEST_F(integration_test, capture_shows_live_frames_in_the_camera_pane_and_stop_keeps_the_last_one) {
    open();
    frame->Show();
    frame->capture();
    ASSERT_EQ(frame->state().mode(), capture_mode::capturing);
    wxStatusBar* bar = frame->GetStatusBar();
    ASSERT_TRUE(pump_until([&] { return !bar->GetStatusText(1).empty() && frame->image_panel()->image().IsOk(); }));
    EXPECT_NE(bar->GetStatusText(1).Find("timestamp: "), wxNOT_FOUND);
    EXPECT_TRUE(pump_until([&] { return bar->GetStatusText(0).StartsWith("delivered: "); }));
    EXPECT_TRUE(frame->command_enabled(ID_STOP));
    EXPECT_FALSE(frame->command_enabled(ID_SESSION_CODE));
    EXPECT_FALSE(frame->command_enabled(ID_SETTINGS));

    // What the screen shows: the "Камера" pane holds a picture that is not all black. Other
    // tests' windows may cover ours for a moment (no window manager), so look a few times.
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) wxImage::AddHandler(new wxPNGHandler);
    const fs::path shot = home.path() / "screen.png";
    long bright = 0;
    for (int attempt = 0; attempt < 5 && bright <= 1000; ++attempt) {
        frame->Raise();
        pump_until([] { return false; }, 1s);
        ASSERT_EQ(std::system(("import -window root " + shot.string()).c_str()), 0);
        wxImage screen;
        ASSERT_TRUE(screen.LoadFile(shot.string(), wxBITMAP_TYPE_PNG));
        const wxRect pane =
            frame->image_panel()->GetScreenRect().Intersect(wxRect(0, 0, screen.GetWidth(), screen.GetHeight()));
        ASSERT_FALSE(pane.IsEmpty());
        bright = 0;
        for (int y = pane.y; y < pane.GetBottom(); y += 2)
            for (int x = pane.x; x < pane.GetRight(); x += 2)
                if (screen.GetRed(x, y) > 16 || screen.GetGreen(x, y) > 16 || screen.GetBlue(x, y) > 16) ++bright;
    }
    EXPECT_GT(bright, 1000) << "the camera pane is black";

    frame->stop();
    EXPECT_EQ(frame->state().mode(), capture_mode::idle);
    const wxImage last = frame->image_panel()->image();
    post_message(frame->event_sink(), new_frame_message{L"after stop"});
    pump();
    EXPECT_EQ(frame->image_panel()->image().GetWidth(), last.GetWidth());
    EXPECT_NE(bar->GetStatusText(1), L"after stop");
}

TEST_F(integration_test, capture_and_record_by_remote_command_and_its_session_code) {
    write_settings("dpp_port=" + (home.path() / "no-odometer").string() + "\ncoordinate_server_enabled=0\n");
    open();
    post_message(frame->event_sink(), rc_command_message{1, L""});
    pump();
    // A recording source; without an odometer it soon captures only (see health_strip_test).
    ASSERT_TRUE(frame->state().active());
    ASSERT_TRUE(frame->state().source()->is_recording());
    frame_source_ptr first = frame->state().source();
    post_message(frame->event_sink(), rc_command_message{1, L""});  // already recording
    pump();
    EXPECT_EQ(frame->state().source(), first);
    first.reset();
    post_message(frame->event_sink(), rc_command_message{3, L"Код 5"});
    pump();
    EXPECT_EQ(frame->state().source()->session_code(), "Код 5");
    post_message(frame->event_sink(), rc_command_message{2, L""});
    pump();
    EXPECT_EQ(frame->state().mode(), capture_mode::idle);
}

TEST_F(integration_test, refreshing_cameras_reopens_the_kept_camera_or_none_when_it_is_gone) {
    test_support::scripted_cameras cams({{"INT=>SD::cam1", "Model", "10.0.0.5"}});
    open(cams.backend_ptr());
    ASSERT_TRUE(frame->camera());
    frame->refresh_cameras();
    // The search runs on its own thread; the camera is closed meanwhile and nothing may
    // start another search or capture.
    EXPECT_TRUE(frame->discovering());
    EXPECT_FALSE(frame->command_enabled(ID_REFRESH_CAMERAS));
    EXPECT_FALSE(frame->command_enabled(ID_CAPTURE));
    ASSERT_TRUE(pump_until([&] { return !frame->discovering(); }));
    ASSERT_TRUE(frame->camera());
    EXPECT_EQ(frame->camera()->id(), "INT=>SD::cam1");
    cams.backend().set_cameras({});
    frame->refresh_cameras();
    ASSERT_TRUE(pump_until([&] { return !frame->discovering(); }));
    EXPECT_FALSE(frame->camera());
    EXPECT_FALSE(frame->command_enabled(ID_CAPTURE));
    EXPECT_TRUE(has("blue:Найдено камер: 0"));
    for (const auto& row : messages()) EXPECT_NE(row.rfind("red:", 0), 0u) << row;
}

TEST_F(integration_test, exposure_mode_is_saved_and_logged_and_a_refusing_camera_reports_an_error) {
    {
        test_support::scripted_cameras none;
        open(none.backend_ptr());
        frame->choose_exposure(L"ContinuousPreset2");
        EXPECT_TRUE(has("blue:Выбран режим выдержки: ContinuousPreset2"));
        EXPECT_EQ(frame->settings()->read_text(settings_keys::exposure_mode, ""), L"ContinuousPreset2");
        close();
    }
    open();  // the simulated camera has no exposure modes
    EXPECT_EQ(frame->exposure_combo()->GetValue(), L"ContinuousPreset2");
    frame->exposure_combo()->SetValue(L"ContinuousPreset3");  // as the operator's pick leaves it
    EXPECT_THROW(frame->choose_exposure(L"ContinuousPreset3"), std::runtime_error);
    // Not kept: the box and the setting show the mode the camera still has, a red row says why.
    EXPECT_EQ(frame->settings()->read_text(settings_keys::exposure_mode, ""), L"ContinuousPreset2");
    EXPECT_EQ(frame->exposure_combo()->GetValue(), L"ContinuousPreset2");
    EXPECT_TRUE(
        has("red:Камера не приняла режим выдержки ContinuousPreset3: Не удалось установить режим выдержки. "
            "Оставлен режим ContinuousPreset2"));
}

TEST_F(integration_test, database_summaries_fill_the_list_and_a_changed_write_path_reloads_it) {
    open();
    add_summary(L"/data/a");
    add_summary(L"/data/a");  // the same folder twice gives two rows
    database_list* list = frame->database_pane();
    ASSERT_EQ(list->GetItemCount(), 2);
    EXPECT_FALSE(frame->command_enabled(ID_VIEW_DATABASE));
    list->SetItemState(0, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    EXPECT_TRUE(frame->command_enabled(ID_VIEW_DATABASE));
    EXPECT_TRUE(frame->command_enabled(ID_REPLACE_SESSION_CODE));

    // Same text: no reload. Another letter case: reload (the list starts again, empty here).
    const wxString path = frame->settings()->read_text(settings_keys::write_path, "");
    frame->run_settings([&](settings_ptr s) {
        s->write_text(settings_keys::write_path, path);
        return int(wxID_OK);
    });
    EXPECT_EQ(list->GetItemCount(), 2);
    const fs::path upper = home.path() / "RECORDS";
    fs::create_directories(upper);
    frame->run_settings([&](settings_ptr s) {
        s->write_text(settings_keys::write_path, upper.string());
        return int(wxID_OK);
    });
    frame->databases().wait();
    pump();
    EXPECT_EQ(list->GetItemCount(), 0);
}

TEST_F(integration_test, a_scan_finds_recorded_databases_and_reports_foreign_folders) {
    open();
    // Let the start-up scan finish first, or it may meet the new folder too and log it twice.
    frame->databases().wait();
    pump();
    fs::create_directories(records() / "not a database");
    frame->refresh_databases();
    frame->databases().wait();
    pump();
    const auto rows = messages();
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [](const std::string& r) { return r.rfind("red:", 0) == 0; }), 1);
    EXPECT_NE(frame->GetStatusBar()->GetStatusText(3).Find(L"Диск: "), wxNOT_FOUND);
}

TEST_F(integration_test, the_odometer_test_writes_its_rows) {
    open();
    std::optional<odometer_verdict_message> shown;
    frame->show_odometer_result = [&](const odometer_verdict_message& m) {
        shown = m;
        return false;
    };
    frame->ProcessWindowEvent(*std::make_unique<wxCommandEvent>(wxEVT_MENU, ID_DPP_TEST));
    // The probe runs on its own thread, up to a second per port that opens.
    ASSERT_TRUE(pump_until([&] { return shown.has_value(); }, 60s));
    const auto rows = messages();
    const auto start = std::find(rows.begin(), rows.end(), "blue:Тест ДПП:");
    ASSERT_NE(start, rows.end());
    // The configured port (COM1 by default) first; adapters the host has add their pairs.
    EXPECT_GE(rows.end() - start, 21);
    EXPECT_EQ((rows.end() - start) % 2, 1);
    EXPECT_EQ(start[1], "blue:Последовательный порт /dev/ttyS0");
    // No odometer there: the verdict on it is shown, and no format offered.
    EXPECT_EQ(shown->text.rfind(L"Порт /dev/ttyS0: ", 0), 0u);
    EXPECT_FALSE(shown->offer);
}

TEST_F(integration_test, the_odometer_test_sets_the_format_it_found_when_the_operator_agrees) {
    pseudo_terminal odometer;
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t c = 100; c < 130; ++c) {
        const auto m = encode_odometer4(c);
        bytes.insert(bytes.end(), m.begin(), m.end());
    }
    ASSERT_TRUE(odometer.write(bytes.data(), bytes.size()));  // the pty keeps them for the probe
    write_settings("dpp_port=" + odometer.device_path() + "\ndpp_format=ДПП7\ncoordinate_server_enabled=0\n");
    open();
    std::optional<odometer_verdict_message> shown;
    frame->show_odometer_result = [&](const odometer_verdict_message& m) {
        shown = m;
        return true;
    };
    frame->ProcessWindowEvent(*std::make_unique<wxCommandEvent>(wxEVT_MENU, ID_DPP_TEST));
    ASSERT_TRUE(pump_until([&] { return shown.has_value(); }, 60s));
    EXPECT_TRUE(shown->offer);
    EXPECT_EQ(shown->setting, L"ДПП4");
    EXPECT_EQ(frame->settings()->read_text(settings_keys::dpp_format, L""), L"ДПП4");
}

}  // namespace
