#include "viewer/VImagePanel.h"

#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include <opencv2/core.hpp>

#include <wx/app.h>
#include <wx/dcclient.h>
#include <wx/frame.h>
#include <wx/utils.h>

namespace {

TEST(image_panel, right_button_presses_reach_the_parent_with_the_panel_id) {
    auto* parent = new wxFrame(nullptr, wxID_ANY, "parent");
    auto* panel = new VImagePanel(parent, 2, wxDefaultPosition, wxSize(640, 480));
    int seen_id = -1;
    parent->Bind(wxEVT_RIGHT_DOWN, [&](wxMouseEvent& e) { seen_id = e.GetId(); });
    wxMouseEvent press(wxEVT_RIGHT_DOWN);
    press.SetEventObject(panel);
    panel->GetEventHandler()->ProcessEvent(press);
    EXPECT_EQ(seen_id, 2);
    parent->Destroy();
    wxTheApp->ProcessIdle();
}

TEST(image_panel, paints_its_picture_in_true_colours_over_black_and_converts_only_what_changed) {
    test_support::temp_dir dir("qm-panel");
    auto* parent = new wxFrame(nullptr, wxID_ANY, "parent", wxDefaultPosition, wxSize(700, 550));
    auto* panel = new VImagePanel(parent, 2, wxDefaultPosition, wxSize(640, 480));
    panel->show_scale = false;
    EXPECT_FALSE(panel->image().IsOk());
    // BGR: blue on the left half, a dark orange on the right, so a swapped channel shows.
    cv::Mat bgr(48, 64, CV_8UC3, cv::Scalar(255, 0, 0));
    bgr(cv::Rect(32, 0, 32, 48)).setTo(cv::Scalar(0, 100, 200));
    panel->set_picture(bgr);
    EXPECT_EQ(panel->image().GetSize(), wxSize(64, 48));
    EXPECT_EQ(panel->image().GetBlue(0, 0), 255) << "image() is RGB";

    // The panel's own buffer never writes into a picture someone else still holds.
    cv::Mat& own = panel->picture_buffer();
    EXPECT_NE(own.data, bgr.data);
    own.create(48, 64, CV_8UC1);
    own.setTo(200);
    own = bgr.clone();
    panel->picture_changed();
    EXPECT_EQ(bgr.at<cv::Vec3b>(0, 0), cv::Vec3b(255, 0, 0));

    parent->Show();
    auto shown = [&] {
        for (int i = 0; i < 10 || (i < 300 && !panel->IsShownOnScreen()); ++i) wxYield();
        panel->Refresh(true);
        panel->Update();
    };
    // The first paint may wait for the window manager-less server to map the frame.
    for (int i = 0; i < 100 && panel->bitmap_builds() == 0; ++i) {
        shown();
        wxMilliSleep(20);
    }
    const std::size_t builds = panel->bitmap_builds();
    EXPECT_GE(builds, 1u);
    panel->Refresh(true);  // what pointer motion does for the ruler
    panel->Update();
    EXPECT_EQ(panel->bitmap_builds(), builds) << "a repaint of the same picture converted it again";

    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) wxImage::AddHandler(new wxPNGHandler);
    const std::string shot = (dir.path() / "screen.png").string();
    auto colour = [](const wxImage& s, wxPoint p) {
        return std::vector<int>{s.GetRed(p.x, p.y), s.GetGreen(p.x, p.y), s.GetBlue(p.x, p.y)};
    };
    bool seen = false;
    for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
        parent->Raise();
        shown();
        ASSERT_EQ(std::system(("import -window root '" + shot + "'").c_str()), 0);
        wxImage screen;
        ASSERT_TRUE(screen.LoadFile(shot, wxBITMAP_TYPE_PNG));
        // Smaller than the panel: shown 1:1, centred.
        const wxSize client = panel->GetClientSize();
        const wxPoint origin = panel->ClientToScreen(wxPoint((client.x - 64) / 2, (client.y - 48) / 2));
        seen = colour(screen, origin + wxPoint(10, 20)) == std::vector<int>{0, 0, 255} &&
               colour(screen, origin + wxPoint(50, 20)) == std::vector<int>{200, 100, 0} &&
               colour(screen, origin + wxPoint(-10, -10)) == std::vector<int>{0, 0, 0};
    }
    EXPECT_TRUE(seen) << "not blue, orange and black where the picture and the background are";

    // A grey picture of another size: converted anew, shown grey.
    cv::Mat& grey = panel->picture_buffer();
    grey.create(20, 30, CV_8UC1);
    grey.setTo(77);
    panel->picture_changed();
    shown();
    EXPECT_GT(panel->bitmap_builds(), builds);
    EXPECT_EQ(panel->image().GetRed(29, 19), 77);
    panel->set_picture(cv::Mat(4, 4, CV_16UC1));
    EXPECT_FALSE(panel->image().IsOk()) << "a type it cannot draw is no picture";
    parent->Destroy();
    wxTheApp->ProcessIdle();
}

}  // namespace
