#include "log/log.h"
#include "log/log_viewer.h"
#include "tests/support/event_loop.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <algorithm>
#include <chrono>
#include <vector>

#include <wx/app.h>
#include <wx/frame.h>

namespace {

std::vector<std::string> read_lines(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::size_t count(const std::vector<std::string>& lines, const std::string& what) {
    std::size_t n = 0;
    for (const auto& l : lines)
        if (l.find(what) != std::string::npos) ++n;
    return n;
}

class log_viewer_test : public ::testing::Test {
protected:
    test_support::temp_dir dir{"qm-log"};
    std::filesystem::path file = dir.path() / "quillmar[1].html";
    wxFrame* frame = new wxFrame(nullptr, wxID_ANY, "log");
    log_viewer* viewer = new log_viewer(frame, wxString(file.string()));

    void TearDown() override {
        if (frame) frame->Destroy();
        wxTheApp->ProcessIdle();
    }
    void destroy_window() {
        frame->Destroy();
        wxTheApp->ProcessIdle();
        frame = nullptr;
    }
};

TEST_F(log_viewer_test, file_starts_with_the_head_and_holds_rows_in_utf8_without_closing_tags) {
    log_info(L"Начало работы");
    log_error(L"Ошибка <script>");
    const auto lines = read_lines(file);
    ASSERT_EQ(lines.size(), 3u + 8u);
    EXPECT_EQ(lines[0], "<html>");
    EXPECT_EQ(lines[1], "<table>");
    EXPECT_EQ(lines[2], "<tbody>");
    EXPECT_EQ(lines[3], "<tr>");
    EXPECT_EQ(lines[5], "<td> <font color='blue'>Начало работы</font></td>");
    EXPECT_EQ(lines[9], "<td> <font color='red'>Ошибка &lt;script&gt;</font></td>");
    EXPECT_EQ(lines.back(), "</tr>");
    EXPECT_EQ(viewer->shown_rows(), 2u);
}

TEST_F(log_viewer_test, exception_messages_are_decoded_from_the_locale_encoding) {
    log_exception(std::runtime_error("Не удается создать папку"));
    log_exception(std::runtime_error("bad \xff byte"));
    const auto lines = read_lines(file);
    EXPECT_EQ(count(lines, "<td> <font color='red'>Не удается создать папку</font></td>"), 1u);
    EXPECT_EQ(count(lines, "<td> <font color='red'>bad \xc3\xbf byte</font></td>"), 1u);
}

TEST_F(log_viewer_test, pane_keeps_recent_rows_while_the_file_keeps_every_row) {
    const std::size_t rows = log_viewer::pane_rows + 30;
    for (std::size_t i = 0; i < rows; ++i) log_info(wxString::Format("row-%zu-", i));
    viewer->catch_up();  // more than a batch: the rest waited for the next ticks
    EXPECT_EQ(viewer->shown_rows(), log_viewer::pane_rows);
    EXPECT_EQ(viewer->dropped_rows(), 30u);
    const auto lines = read_lines(file);
    EXPECT_EQ(count(lines, "<tr>"), rows);
    EXPECT_EQ(count(lines, ">row-0-<"), 1u);
    EXPECT_EQ(count(lines, wxString::Format(">row-%zu-<", rows - 1).ToStdString()), 1u);
    // The newest row is what the pane shows last.
    EXPECT_NE(viewer->ToText().Find(wxString::Format("row-%zu-", rows - 1)), wxNOT_FOUND);
    EXPECT_EQ(viewer->ToText().Find("row-0-"), wxNOT_FOUND);
}

TEST_F(log_viewer_test, rows_are_not_dropped_while_a_selection_is_being_dragged) {
    frame->Show();
    for (std::size_t i = 0; i < log_viewer::pane_rows; ++i) log_info(wxString::Format("row-%zu-", i));
    viewer->catch_up();
    auto mouse = [&](wxEventType type, wxPoint at) {
        wxMouseEvent e(type);
        e.SetPosition(at);
        e.SetEventObject(viewer);
        if (type == wxEVT_LEFT_DOWN || type == wxEVT_MOTION) e.SetLeftDown(true);
        viewer->GetEventHandler()->ProcessEvent(e);
        viewer->OnInternalIdle();  // where the window extends the selection
    };
    viewer->Scroll(0, 0);
    mouse(wxEVT_LEFT_DOWN, wxPoint(15, 15));  // on the oldest row
    mouse(wxEVT_MOTION, wxPoint(60, 40));
    for (int i = 0; i < 5; ++i) log_info(wxString::Format("late-%d-", i));
    EXPECT_NE(viewer->ToText().Find("row-0-"), wxNOT_FOUND);
    mouse(wxEVT_MOTION, wxPoint(80, 60));
    if (viewer->HasCapture()) mouse(wxEVT_LEFT_UP, wxPoint(80, 60));
    log_info(L"after the drag");
    EXPECT_EQ(viewer->ToText().Find("row-5-"), wxNOT_FOUND);
    EXPECT_NE(viewer->ToText().Find("row-6-"), wxNOT_FOUND);
    EXPECT_EQ(viewer->shown_rows(), log_viewer::pane_rows);
}

TEST_F(log_viewer_test, after_the_window_is_gone_the_standard_streams_are_their_own_again) {
    std::wstreambuf* redirected = std::wcout.rdbuf();
    destroy_window();
    EXPECT_NE(std::wcout.rdbuf(), redirected);
    EXPECT_NE(std::wcerr.rdbuf(), redirected);
    std::wostringstream captured;
    std::wstreambuf* own = std::wcout.rdbuf(captured.rdbuf());
    log_info(L"after");
    std::wcout.rdbuf(own);
    EXPECT_NE(captured.str().find(L"<font color='blue'>after</font>"), std::wstring::npos);
    EXPECT_EQ(count(read_lines(file), "after"), 0u);
}

// A flood of rows (a peer sending commands as fast as it can) leaves a bounded backlog, and
// the pane and the file get a bounded number of rows plus one row saying how many were left
// out, within about a second of the flood's end, through the window's own ticks.
TEST_F(log_viewer_test, a_flood_of_rows_is_cut_at_the_backlog_and_reported_in_one_row) {
    const std::size_t posted = 10000;
    std::size_t most_pending = 0;
    for (std::size_t i = 0; i < posted; ++i) {
        log_info(wxString::Format("session code %zu", i));
        most_pending = std::max(most_pending, viewer->pending_rows());
    }
    EXPECT_LE(most_pending, log_viewer::backlog_rows + 1);
    EXPECT_LE(viewer->pending_chars(), log_viewer::backlog_chars);
    // How many batches went out during the flood depends on how fast the machine posts; what
    // was kept and what was left out must add up exactly.
    const std::size_t left_out = viewer->left_out_rows();
    EXPECT_GT(left_out, 0u);

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(test_support::pump_until([&] { return viewer->pending_rows() == 0; }, std::chrono::seconds(10)));
    // 2,100 rows at 100 a 50 ms tick: a second and a bit, with room for a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));

    const auto lines = read_lines(file);
    EXPECT_EQ(count(lines, "<tr>"), posted - left_out + 1);
    const std::string report = wxString(log_backlog::left_out_message(left_out)).utf8_string();
    EXPECT_EQ(count(lines, report), 1u);
    EXPECT_EQ(count(lines, ">session code 0<"), 1u);  // the flood's start is kept
    EXPECT_EQ(viewer->shown_rows(), log_viewer::pane_rows);
    EXPECT_NE(viewer->ToText().Find(wxString(log_backlog::left_out_message(left_out))), wxNOT_FOUND);
}

// Rows still waiting when the window goes reach the file.
TEST_F(log_viewer_test, rows_still_waiting_at_the_end_reach_the_file) {
    // A tick longer than the test, so that rows wait however slowly this machine logs them.
    destroy_window();
    frame = new wxFrame(nullptr, wxID_ANY, "log");
    viewer = new log_viewer(frame, wxString(file.string()), 1, std::chrono::hours(1));
    for (std::size_t i = 0; i < 500; ++i) log_info(wxString::Format("late-%zu-", i));
    EXPECT_GE(viewer->pending_rows(), 500u - log_viewer::batch_rows);
    destroy_window();
    const auto lines = read_lines(file);
    EXPECT_EQ(count(lines, "<tr>"), 500u);
    EXPECT_EQ(count(lines, ">late-499-<"), 1u);
}

TEST(log_viewer_file, an_unopenable_file_loses_file_output_but_the_pane_still_works) {
    wxFrame* frame = new wxFrame(nullptr, wxID_ANY, "log");
    auto* viewer = new log_viewer(frame, "/nonexistent-dir/quillmar[1].html");
    EXPECT_FALSE(viewer->file_ok());
    log_info(L"still shown");
    EXPECT_EQ(viewer->shown_rows(), 1u);
    frame->Destroy();
    wxTheApp->ProcessIdle();
}

}  // namespace
