#include "viewer/VImagePanel.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/dcclient.h>
#include <wx/frame.h>

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

TEST(image_panel, keeps_the_image_it_is_given_and_paints_it_over_black) {
    auto* parent = new wxFrame(nullptr, wxID_ANY, "parent", wxDefaultPosition, wxSize(700, 550));
    auto* panel = new VImagePanel(parent, 2, wxDefaultPosition, wxSize(640, 480));
    EXPECT_FALSE(panel->image().IsOk());
    wxImage white(64, 48);
    white.SetRGB(wxRect(0, 0, 64, 48), 255, 255, 255);
    panel->set_image(white);
    EXPECT_EQ(panel->image().GetWidth(), 64);
    parent->Show();
    panel->Refresh(true);
    panel->Update();
    wxTheApp->ProcessPendingEvents();
    wxYield();
    parent->Destroy();
    wxTheApp->ProcessIdle();
}

}  // namespace
