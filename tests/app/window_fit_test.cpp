// The main window on the small screen of a car computer: what must stay reachable there.
#include "app/database_list.h"
#include "database/database_loader.h"
#include "log/log.h"
#include "log/log_viewer.h"
#include "viewer/VImagePanel.h"
#include "tests/app/frame_test_support.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/html/htmlcell.h>
#include <wx/utils.h>

namespace {

using test_support::frame_fixture;

class window_fit_test : public ::testing::Test, public frame_fixture {
protected:
    void settle() {
        for (int i = 0; i < 20; ++i) {
            wxYield();
            wxMilliSleep(10);
        }
    }
    // A summary as the write thread reports it when it closes a database.
    void add(const std::wstring& folder, const std::wstring& start, const std::wstring& code) {
        ldb_info info;
        info.session = code;
        info.side = L"правый";
        info.time_start = start;
        info.time_end = start;
        info.dpp_start = 1234567;
        info.dpp_end = 1299999;
        info.size = 1536u << 20;
        info.count = 123456;
        frame->databases().on_database_info(database_info_message{folder, info});
        frame->database_pane()->refill();
    }
};

TEST_F(window_fit_test, at_1366_by_768_every_column_of_the_list_can_be_reached) {
    open();
    frame->Show();
    frame->SetSize(0, 0, 1366, 768);
    for (int i = 0; i < 30; ++i)
        add(L"/r/2024.05.01 12.30." + std::to_wstring(10 + i), L"2024-05-01 12:30:" + std::to_wstring(10 + i),
            L"Участок Москва-Сортировочная — Петушки : " + std::to_wstring(i));
    frame->aui().Update();
    settle();

    database_list* list = frame->database_pane();
    const wxRect inside = list->GetScreenRect();
    const wxRect window = frame->GetClientRect();
    const wxPoint origin = frame->ClientToScreen(window.GetTopLeft());
    EXPECT_LE(inside.GetRight(), origin.x + window.width) << "the list runs past the window's right edge";
    EXPECT_GT(inside.width, 200);

    int columns = 0;
    for (int c = 0; c < list->GetColumnCount(); ++c) {
        // Each column shows its widest text whole: the heading, the long code, the full time.
        EXPECT_GE(list->GetColumnWidth(c), list->GetTextExtent(wxString(database_list_model::heading(c))).x) << c;
        columns += list->GetColumnWidth(c);
    }
    EXPECT_GE(list->GetColumnWidth(0), list->GetTextExtent(L"Участок Москва-Сортировочная — Петушки : 29").x);
    EXPECT_GE(list->GetColumnWidth(2), list->GetTextExtent(L"2024-05-01 12:30:39").x);
    ASSERT_GT(columns, inside.width) << "the test needs more columns than room";
    // What does not fit is scrolled to.
    EXPECT_GT(list->GetScrollRange(wxHORIZONTAL), 0);

    // Newest first.
    EXPECT_EQ(list->GetItemText(0, 2), L"2024-05-01 12:30:39");
}

// On the car's screen the log shows at least six rows, and the camera row's lower edge can be
// dragged to show more.
TEST_F(window_fit_test, at_1366_by_768_the_log_shows_six_rows_and_its_border_moves) {
    open();
    frame->Show();
    frame->SetSize(0, 0, 1366, 768);
    for (int i = 0; i < 40; ++i) log_info(wxString::Format(L"Строка журнала %d", i));
    frame->log_pane()->catch_up();
    settle();

    log_viewer* log = frame->log_pane();
    const int rows = static_cast<int>(log->shown_rows());
    ASSERT_GE(rows, 40);
    const int row_height = log->GetInternalRepresentation()->GetHeight() / rows;
    ASSERT_GT(row_height, 0);
    EXPECT_GE(log->GetClientSize().y, 6 * row_height) << "row height " << row_height;

    const wxAuiPaneInfo& camera = frame->aui().GetPane(static_cast<wxWindow*>(frame->image_panel()));
    EXPECT_FALSE(camera.IsFixed());
    EXPECT_TRUE(camera.IsResizable());
    // A larger window gives the camera its full height back.
    frame->SetSize(0, 0, 1600, 1050);
    settle();
    EXPECT_GE(frame->image_panel()->GetSize().y, 480);
}

TEST_F(window_fit_test, the_selected_database_stays_selected_when_a_newer_one_arrives) {
    open();
    add(L"/r/a", L"2024-05-01 10:00:00", L"A : 1");
    add(L"/r/b", L"2024-05-01 11:00:00", L"B : 1");
    database_list* list = frame->database_pane();
    list->SetItemState(1, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    ASSERT_EQ(list->selected_path(), L"/r/a");
    add(L"/r/c", L"2024-05-01 12:00:00", L"C : 1");  // lands on top, moving the others down
    EXPECT_EQ(list->selected_path(), L"/r/a");
    EXPECT_EQ(list->GetSelectedItemCount(), 1);
    EXPECT_EQ(list->GetItemText(0, 0), L"C : 1");
}

}  // namespace
