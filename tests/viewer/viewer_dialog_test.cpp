#include "viewer/viewer_dialog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include <wx/app.h>
#include <wx/display.h>
#include <wx/spinctrl.h>
#include <wx/uiaction.h>

#include "database/database_layout.h"
#include "database/database_reader.h"
#include "database/database_registry.h"
#include "database/reader_pool.h"
#include "database/recording_database.h"
#include "tests/database/db_test_util.h"
#include "tests/support/event_loop.h"
#include "tests/support/temp_home.h"
#include "viewer/VImagePanel.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 3000ms) {
    return test_support::pump_until(done, limit);
}

std::string file_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class viewer_test : public ::testing::Test {
protected:
    test_support::temp_dir dir;
    fs::path folder = dir.path() / "2024.05.01 12.30.45";
    std::string stored_1000, stored_1005;

    // Frames at 1000, 1005, 1010, 1100, 1200; uniform grey (size given) or the test pattern.
    void record(int width = 64, int height = 48, bool grey = false) {
        {
            recording_database db;
            db.open(folder.wstring());
            for (std::uint32_t c : {1000u, 1005u, 1010u, 1100u, 1200u}) {
                cv::Mat image = grey ? cv::Mat(height, width, CV_8UC1, cv::Scalar(128))
                                     : db_test::test_frame(static_cast<int>(c), width, height);
                db.store_frame(image, c, 1700000000);
            }
            db.close(std::string("A : 1"), std::wstring(L"левый"));
        }
        const auto keys = db_test::all_keys(folder.string());
        stored_1000 = keys.at("0000001000");
        stored_1005 = keys.at("0000001005");
    }
    void TearDown() override { wxTheApp->ProcessIdle(); }
};

TEST_F(viewer_test, opens_on_the_first_frame_with_the_spin_over_the_odometer_range_in_fives) {
    record();
    viewer_dialog dialog(nullptr, folder.wstring());
    EXPECT_EQ(dialog.GetTitle(), L"Просмотр базы");
    wxSpinCtrlDouble* spin = dialog.spin();
    EXPECT_EQ(spin->GetId(), ID_FRAME_SPIN);
    EXPECT_DOUBLE_EQ(spin->GetMin(), 1000);
    EXPECT_DOUBLE_EQ(spin->GetMax(), 1200);
    EXPECT_DOUBLE_EQ(spin->GetIncrement(), 5);
    EXPECT_DOUBLE_EQ(spin->GetValue(), 1000);
    EXPECT_EQ(dialog.panel()->image().GetSize(), wxSize(64, 48));
    EXPECT_NE(dialog.FindWindow(ID_SAVE_FRAME), nullptr);
    EXPECT_EQ(dialog.FindWindow(wxID_OK)->GetLabel(), L"Закрыть");
    EXPECT_FALSE(dialog.FindWindow(wxID_CANCEL)->IsShown());

    // 1003 has no frame: the next one (1005) is shown, the spin keeps what was entered.
    spin->SetValue(1003);
    dialog.spin_changed(1003);
    EXPECT_DOUBLE_EQ(spin->GetValue(), 1003);
    EXPECT_EQ(dialog.browser().current_key(), "0000001005");
    // Stepping past the ends stops at them.
    spin->SetValue(1300);
    EXPECT_DOUBLE_EQ(spin->GetValue(), 1200);
}

TEST_F(viewer_test, keys_move_between_stored_frames_and_the_spin_follows) {
    record();
    viewer_dialog dialog(nullptr, folder.wstring());
    struct step {
        int key;
        double spin;
    };
    const step steps[] = {{WXK_RIGHT, 1005},  {WXK_PAGEDOWN, 1010}, {WXK_RIGHT, 1100},
                          {WXK_END, 1200},    {WXK_RIGHT, 1200},    {WXK_LEFT, 1100},
                          {WXK_PAGEUP, 1010}, {WXK_HOME, 1000},     {WXK_LEFT, 1000}};
    for (const auto& s : steps) {
        EXPECT_TRUE(dialog.navigate(s.key));
        EXPECT_DOUBLE_EQ(dialog.spin()->GetValue(), s.spin) << s.key;
    }
    EXPECT_FALSE(dialog.navigate('A'));

    // Through the keyboard: the dialog takes the keys before the focused spin control does.
    dialog.Show();
    dialog.spin()->SetFocus();
    wxUIActionSimulator sim;
    sim.Char(WXK_RIGHT);
    EXPECT_TRUE(pump_until([&] { return dialog.spin()->GetValue() == 1005; }));
    sim.Char(WXK_END);
    EXPECT_TRUE(pump_until([&] { return dialog.spin()->GetValue() == 1200; }));
    dialog.Hide();
}

TEST_F(viewer_test, save_writes_the_frame_on_the_screen_under_the_chosen_name_and_stays) {
    record();
    viewer_dialog dialog(nullptr, folder.wstring());
    std::vector<wxString> proposed;
    wxString answer = wxString((dir.path() / "first.png").string());
    dialog.choose_save_path = [&](const wxString& name) {
        proposed.push_back(name);
        return answer;
    };
    std::vector<wxString> errors;
    dialog.show_error = [&](const wxString& text) { errors.push_back(text); };

    // Two saves while 1000 is shown: both are 1000, under the names chosen.
    dialog.save_frame();
    answer = wxString((dir.path() / "second").string());  // no extension typed: the data is JPEG
    dialog.save_frame();
    ASSERT_EQ(proposed.size(), 2u);
    EXPECT_EQ(proposed[0], L"0000001000.jpg");
    EXPECT_EQ(proposed[1], L"0000001000.jpg");
    EXPECT_EQ(file_bytes(dir.path() / "first.png"), stored_1000);
    EXPECT_EQ(file_bytes(dir.path() / "second.jpg"), stored_1000);
    EXPECT_FALSE(fs::exists(dir.path() / "0000001000.png"));
    EXPECT_EQ(dialog.browser().current_key(), "0000001000");
    EXPECT_DOUBLE_EQ(dialog.spin()->GetValue(), 1000);
    // The next key goes to the very next frame, and that is what a save writes then.
    EXPECT_TRUE(dialog.navigate(WXK_RIGHT));
    EXPECT_DOUBLE_EQ(dialog.spin()->GetValue(), 1005);
    answer = wxString((dir.path() / "third.jpg").string());
    dialog.save_frame();
    EXPECT_EQ(proposed.back(), L"0000001005.jpg");
    EXPECT_EQ(file_bytes(dir.path() / "third.jpg"), stored_1005);

    // A folder that cannot hold the file: an error box, the position stays.
    std::ofstream(dir.path() / "plain") << "a plain file";
    answer = wxString((dir.path() / "plain" / "x.jpg").string());
    dialog.save_frame();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], L"Не удалось сохранить кадр в файл " + (dir.path() / "plain" / "x.jpg").wstring());
    EXPECT_EQ(dialog.browser().current_key(), "0000001005");

    answer.clear();  // cancelled: nothing written, no step
    dialog.save_frame();
    EXPECT_EQ(dialog.browser().current_key(), "0000001005");
    EXPECT_EQ(errors.size(), 1u);
}

// With nothing clicked yet, "1" and "0" reach the picture's zoom, not the count box; a click
// on the picture takes the keys back from the count box.
TEST_F(viewer_test, zoom_keys_work_at_opening_and_after_a_click_on_the_picture) {
    record(640, 480, true);
    viewer_dialog dialog(nullptr, folder.wstring());
    VImagePanel* panel = dialog.panel();
    dialog.Show();
    dialog.Raise();
    ASSERT_TRUE(pump_until([&] { return panel->IsShownOnScreen() && wxWindow::FindFocus() == panel; }))
        << "focus is elsewhere at opening";
    panel->view.zoom = 3;
    panel->view.fitted = false;
    const wxString spin_text = dialog.spin()->GetTextValue();
    wxUIActionSimulator sim;
    sim.Char('1');
    EXPECT_TRUE(pump_until([&] { return panel->view.zoom == 1.0; })) << "\"1\" did not show 1:1";
    EXPECT_EQ(dialog.spin()->GetTextValue(), spin_text);
    EXPECT_DOUBLE_EQ(dialog.spin()->GetValue(), 1000);

    dialog.spin()->SetFocus();
    ASSERT_TRUE(pump_until([&] { return wxWindow::FindFocus() != panel; }));
    sim.MouseMove(panel->ClientToScreen(wxPoint(panel->GetClientSize().x / 2, panel->GetClientSize().y / 2)));
    sim.MouseClick();
    EXPECT_TRUE(pump_until([&] { return wxWindow::FindFocus() == panel; })) << "the click left the focus";
    sim.Char('0');
    EXPECT_TRUE(pump_until([&] { return panel->view.fitted; })) << "\"0\" did not fit";
    EXPECT_DOUBLE_EQ(dialog.spin()->GetValue(), 1000);
    dialog.Hide();
}

TEST_F(viewer_test, while_open_it_holds_the_database_and_releases_it_when_destroyed) {
    record();
    {
        // Only read: another reader (the image service's) opens it meanwhile, a writer cannot.
        viewer_dialog dialog(nullptr, folder.wstring());
        EXPECT_NO_THROW(database_reader{folder.wstring()});
        EXPECT_THROW(open_leveldb(folder.string(), false), std::runtime_error);
    }
    EXPECT_NO_THROW(open_leveldb(folder.string(), false));
    EXPECT_THROW(viewer_dialog(nullptr, (dir.path() / "missing").wstring()), std::runtime_error);
}

// Viewing changes no file of the recording, and opens it while the image service's shared
// handle holds it, with the pool or without.
TEST_F(viewer_test, viewing_leaves_the_recording_unchanged_beside_the_image_service) {
    record();
    const auto before = db_test::folder_checksums(folder);
    database_registry registry;
    ldb_info listed;
    listed.session = L"A : 1";
    listed.dpp_start = 1000;
    listed.dpp_end = 1200;
    registry.add(listed, folder.wstring());
    for (reader_pool* readers : {static_cast<reader_pool*>(nullptr), &registry.readers()}) {
        const auto lookup = registry.readers().acquire(folder.wstring());
        ASSERT_TRUE(lookup);
        viewer_dialog dialog(nullptr, folder.wstring(), readers);
        EXPECT_EQ(dialog.browser().current_bytes(), stored_1000);
        dialog.browser().next();
        EXPECT_EQ(dialog.browser().current_bytes(), stored_1005);
        EXPECT_EQ(*registry.stored_lookup(L"A : 1", 1005).stored, stored_1005);
    }
    registry.readers().close_unused(folder.wstring());
    EXPECT_EQ(db_test::folder_checksums(folder), before);
}

TEST_F(viewer_test, the_screen_shows_the_frame_with_the_ruler_at_the_pointer_and_the_wheel_zooms) {
    record(640, 480, true);
    viewer_dialog dialog(nullptr, folder.wstring());
    VImagePanel* panel = dialog.panel();
    panel->scale = 0.8;
    dialog.Show();
    dialog.Raise();
    ASSERT_TRUE(pump_until([&] { return panel->IsShownOnScreen(); }));

    // The frame is smaller than the panel: 1:1 and centred; a point a little off its centre.
    const wxPoint inside(static_cast<int>(panel->view.screen_x(300)), static_cast<int>(panel->view.screen_y(250)));
    EXPECT_DOUBLE_EQ(panel->view.zoom, 1.0);
    wxUIActionSimulator sim;
    sim.MouseMove(panel->ClientToScreen(inside));
    ASSERT_TRUE(pump_until([&] { return panel->view.pointer == view_point{inside.x, inside.y}; }));
    panel->Update();

    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) wxImage::AddHandler(new wxPNGHandler);
    const fs::path shot = dir.path() / "screen.png";
    auto red = [](const wxImage& s, wxPoint p) { return s.GetRed(p.x, p.y) > 180 && s.GetGreen(p.x, p.y) < 80; };
    auto grey = [](const wxImage& s, wxPoint p) {
        return std::abs(s.GetRed(p.x, p.y) - 128) < 8 && std::abs(s.GetGreen(p.x, p.y) - 128) < 8;
    };
    // No window manager: another test's window may cover ours for a moment, look a few times.
    bool seen = false;
    for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
        dialog.Raise();
        pump_until([] { return false; }, 300ms);
        ASSERT_EQ(std::system(("import -window root '" + shot.string() + "'").c_str()), 0);
        wxImage screen;
        ASSERT_TRUE(screen.LoadFile(shot.string(), wxBITMAP_TYPE_PNG));
        const wxPoint at = panel->ClientToScreen(inside);
        // At zoom 1 and scale 0.8: the vertical ruler runs 80 pixels up from the pointer, the
        // 0 mm tick 30 pixels to the left, the 75 mm bar 40 pixels below, 60 pixels long.
        seen = red(screen, at + wxPoint(0, -40)) && red(screen, at + wxPoint(0, -79)) &&
               red(screen, at + wxPoint(-20, 0)) && red(screen, at + wxPoint(-30, 40)) &&
               red(screen, at + wxPoint(-60, 30)) && grey(screen, at + wxPoint(0, -90)) &&
               grey(screen, at + wxPoint(40, 40)) && grey(screen, at + wxPoint(-100, 100));
    }
    EXPECT_TRUE(seen) << "no ruler at the pointer over the grey frame";

    wxMouseEvent wheel(wxEVT_MOUSEWHEEL);
    wheel.m_wheelRotation = 120;
    wheel.m_wheelDelta = 120;
    wheel.SetEventObject(panel);
    panel->GetEventHandler()->ProcessEvent(wheel);
    EXPECT_DOUBLE_EQ(panel->view.zoom, 2.0);
    wheel.m_wheelRotation = -240;
    panel->GetEventHandler()->ProcessEvent(wheel);
    EXPECT_DOUBLE_EQ(panel->view.zoom, 1.0);
    dialog.Hide();
}

TEST_F(viewer_test, the_line_under_the_picture_keys_for_ten_frames_and_zoom_and_playback) {
    record();
    viewer_dialog dialog(nullptr, folder.wstring());
    EXPECT_TRUE(dialog.GetWindowStyle() & wxRESIZE_BORDER);
    ASSERT_TRUE(pump_until([&] { return dialog.frames_counted(); }));
    EXPECT_TRUE(dialog.caption().StartsWith(L"2024.05.01 12.30.45 · A : 1 · ДПП 1000 · кадр 1 из 5 · "))
        << dialog.caption();
    EXPECT_TRUE(dialog.caption().Contains(L" — 0 % — ")) << dialog.caption();

    EXPECT_TRUE(dialog.handle_key(WXK_RIGHT, wxMOD_SHIFT));  // ten on: stops at the last
    EXPECT_DOUBLE_EQ(dialog.spin()->GetValue(), 1200);
    EXPECT_TRUE(dialog.caption().Contains(L"кадр 5 из 5")) << dialog.caption();
    EXPECT_TRUE(dialog.handle_key(WXK_LEFT, wxMOD_NONE));
    EXPECT_TRUE(dialog.caption().Contains(L"ДПП 1100 · кадр 4 из 5 ·")) << dialog.caption();
    EXPECT_TRUE(dialog.handle_key(WXK_LEFT, wxMOD_SHIFT));
    EXPECT_DOUBLE_EQ(dialog.spin()->GetValue(), 1000);
    EXPECT_FALSE(dialog.handle_key(WXK_LEFT, wxMOD_CONTROL));

    // "1" shows 1:1, "0" fits again.
    VImagePanel* panel = dialog.panel();
    panel->view.zoom = 3;
    panel->view.fitted = false;
    dialog.SetFocus();
    EXPECT_TRUE(dialog.handle_key('1', wxMOD_NONE));
    EXPECT_DOUBLE_EQ(panel->view.zoom, 1.0);
    EXPECT_FALSE(panel->view.fitted);
    EXPECT_TRUE(dialog.handle_key('0', wxMOD_NONE));
    EXPECT_TRUE(panel->view.fitted);

    // Playback on an injected clock: one frame per period, stopping at the last.
    playback::clock::time_point now{};
    dialog.player() = playback([&] { return now; });
    dialog.player().set_rate(25);
    EXPECT_TRUE(dialog.handle_key(WXK_SPACE, wxMOD_NONE));
    EXPECT_TRUE(dialog.player().running());
    dialog.playback_tick();
    EXPECT_DOUBLE_EQ(dialog.spin()->GetValue(), 1000) << "not due yet";
    const std::vector<double> expected{1005, 1010, 1100, 1200};
    for (double count : expected) {
        now += std::chrono::milliseconds(40);
        dialog.playback_tick();
        EXPECT_DOUBLE_EQ(dialog.spin()->GetValue(), count);
    }
    EXPECT_TRUE(dialog.player().running());
    now += std::chrono::milliseconds(40);
    dialog.playback_tick();
    EXPECT_FALSE(dialog.player().running()) << "stops at the last frame";
    EXPECT_DOUBLE_EQ(dialog.spin()->GetValue(), 1200);
}

TEST_F(viewer_test, resized_to_1600_by_1000_it_shows_a_whole_camera_frame) {
    // A camera frame: mid grey, with a white square in each corner.
    {
        recording_database db;
        db.open(folder.wstring());
        cv::Mat frame(1200, 1920, CV_8UC1, cv::Scalar(100));
        for (const cv::Point corner : {cv::Point(0, 0), cv::Point(1860, 0), cv::Point(0, 1140), cv::Point(1860, 1140)})
            frame(cv::Rect(corner, cv::Size(60, 60))).setTo(255);
        db.store_frame(frame, 1000, 1700000000);
        db.close(std::string("A : 1"), std::wstring(L"левый"));
    }
    viewer_dialog dialog(nullptr, folder.wstring());
    const wxSize display = wxGetDisplaySize();
    EXPECT_NEAR(dialog.GetSize().x, display.x * 0.7, 2);
    EXPECT_NEAR(dialog.GetSize().y, display.y * 0.7, 2);
    VImagePanel* panel = dialog.panel();
    panel->show_scale = false;
    dialog.Show();
    dialog.SetSize(1600, 1000);
    dialog.Move(0, 0);
    ASSERT_TRUE(pump_until([&] { return dialog.GetSize() == wxSize(1600, 1000) && panel->IsShownOnScreen(); }));
    pump_until([] { return false; }, 200ms);
    const wxSize client = panel->GetClientSize();
    EXPECT_GT(client.x, 1200);
    EXPECT_GT(client.y, 700);
    EXPECT_LT(panel->view.zoom, 1.0);
    EXPECT_GE(panel->view.screen_x(0), -0.5);
    EXPECT_GE(panel->view.screen_y(0), -0.5);
    EXPECT_LE(panel->view.screen_x(1920), client.x + 0.5);
    EXPECT_LE(panel->view.screen_y(1200), client.y + 0.5);

    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) wxImage::AddHandler(new wxPNGHandler);
    const fs::path shot = dir.path() / "whole.png";
    bool seen = false;
    for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
        dialog.Raise();
        panel->Refresh();
        pump_until([] { return false; }, 300ms);
        ASSERT_EQ(std::system(("import -window root '" + shot.string() + "'").c_str()), 0);
        wxImage screen;
        ASSERT_TRUE(screen.LoadFile(shot.string(), wxBITMAP_TYPE_PNG));
        seen = true;
        // Each corner square's middle is white on the screen, and the middle of the frame grey.
        for (const auto& [px, py] : {std::pair{30, 30}, {1890, 30}, {30, 1170}, {1890, 1170}}) {
            const wxPoint at = panel->ClientToScreen(
                wxPoint(static_cast<int>(panel->view.screen_x(px)), static_cast<int>(panel->view.screen_y(py))));
            seen = seen && screen.GetRed(at.x, at.y) > 240;
        }
        const wxPoint middle = panel->ClientToScreen(
            wxPoint(static_cast<int>(panel->view.screen_x(960)), static_cast<int>(panel->view.screen_y(600))));
        seen = seen && std::abs(screen.GetRed(middle.x, middle.y) - 100) < 8;
    }
    EXPECT_TRUE(seen) << "the four corners of the frame are not all on the screen";
    dialog.Hide();
}

}  // namespace
