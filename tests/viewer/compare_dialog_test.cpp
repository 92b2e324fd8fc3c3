#include "viewer/compare_dialog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include <wx/app.h>
#include <wx/checkbox.h>

#include "tests/database/db_test_util.h"
#include "tests/support/event_loop.h"
#include "tests/support/temp_home.h"
#include "tests/viewer/synthetic_runs.h"
#include "viewer/VImagePanel.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 3000ms) {
    return test_support::pump_until(done, limit);
}

class compare_test : public ::testing::Test {
protected:
    test_support::temp_dir dir;
    fs::path first = dir.path() / "2024.05.01 12.30.45";
    fs::path second = dir.path() / "2024.06.01 09.00.00";

    // The first run at counts 1000..1179; the second over the same strip 37 counts later and
    // (4, -4) pixels aside, with a dark "hanging cable" in its frames of counts 1137..1142
    // (what the first run shows at 1100..1105).
    void record() {
        const synthetic_runs::strip s(640, 400, 200, 12);
        synthetic_runs::record(first.wstring(), s, 1000, 180, 0, 0, 3, 1, "A : 1");
        synthetic_runs::record(second.wstring(), s, 1037, 160, 4, -4, 3, 2, "A : 2", [](cv::Mat& f, std::uint32_t c) {
            if (c >= 1137 && c <= 1142) cv::rectangle(f, cv::Rect(300, 180, 90, 16), cv::Scalar(5), cv::FILLED);
        });
    }
    void TearDown() override { wxTheApp->ProcessIdle(); }
};

TEST_F(compare_test, finds_the_offset_steps_both_runs_together_and_marks_what_differs) {
    record();
    const auto before_first = db_test::all_keys(first.string()), before_second = db_test::all_keys(second.string());
    {
        compare_dialog dialog(nullptr, first.wstring(), second.wstring());
        EXPECT_EQ(dialog.GetTitle(), L"Сравнение баз");
        run_comparison& runs = dialog.comparison();
        // Found on opening around the first frame's count.
        EXPECT_NEAR(static_cast<double>(runs.offset()), 37, 1);
        dialog.set_offset(37);  // nudged by hand
        EXPECT_EQ(runs.count(), 1000u);
        EXPECT_EQ(runs.second_count(), 1037u);
        EXPECT_NEAR(dialog.shown().shift.x, 4, 1);  // to the pixel
        EXPECT_NEAR(dialog.shown().shift.y, -4, 1);
        EXPECT_TRUE(dialog.shown().matched);
        EXPECT_GT(dialog.shown().match, 0.8);
        EXPECT_TRUE(dialog.second_caption().Contains(L" пикс. · сходство ")) << dialog.second_caption();
        EXPECT_TRUE(dialog.second_caption().Contains(L"ДПП 1037 · смещение +37")) << dialog.second_caption();

        dialog.handle_key(WXK_RIGHT, wxMOD_SHIFT);
        EXPECT_EQ(runs.count(), 1010u);
        EXPECT_EQ(runs.second_count(), 1047u);
        dialog.handle_key(WXK_LEFT, wxMOD_NONE);
        EXPECT_EQ(runs.second_count(), 1046u);

        // Differences: none on the plain stretch, the cable where it hangs.
        dialog.show_differences(true);
        EXPECT_EQ(dialog.shown().differing, 0) << "noise marked";
        EXPECT_TRUE(dialog.second_caption().EndsWith(L"различий нет"));
        EXPECT_FALSE(dialog.first_panel()->has_overlay());
        runs.first().go_to(1102);
        dialog.step(0);
        EXPECT_GT(dialog.shown().differing, 0);
        // Marked where the cable hangs (in the first run's picture, at full size), only there.
        const cv::Mat& mask = dialog.shown().differences;
        ASSERT_EQ(mask.size(), cv::Size(640, 400));
        EXPECT_EQ(mask.at<uchar>(188, 345), 255);
        cv::Mat elsewhere = mask.clone();
        elsewhere(cv::Rect(300 - 12, 180 - 12, 90 + 24, 16 + 24)).setTo(0);
        EXPECT_EQ(cv::countNonZero(elsewhere), 0);
        EXPECT_TRUE(dialog.first_panel()->has_overlay());
        EXPECT_TRUE(dialog.second_panel()->has_overlay());

        // Zoom and ruler move both pictures.
        dialog.SetSize(1500, 900);
        dialog.Show();
        ASSERT_TRUE(pump_until([&] { return dialog.first_panel()->IsShownOnScreen(); }));
        pump_until([] { return false; }, 200ms);
        EXPECT_TRUE(dialog.side_by_side());
        VImagePanel* a = dialog.first_panel();
        wxMouseEvent wheel(wxEVT_MOUSEWHEEL);
        wheel.m_wheelRotation = 120;
        wheel.m_wheelDelta = 120;
        wheel.m_x = 200;
        wheel.m_y = 150;
        wheel.SetEventObject(a);
        a->GetEventHandler()->ProcessEvent(wheel);
        EXPECT_EQ(dialog.second_panel()->view.zoom, a->view.zoom);
        EXPECT_EQ(dialog.second_panel()->view.offset, a->view.offset);
        wxMouseEvent motion(wxEVT_MOTION);
        motion.m_x = 250;
        motion.m_y = 200;
        motion.SetEventObject(a);
        a->GetEventHandler()->ProcessEvent(motion);
        EXPECT_EQ(dialog.second_panel()->view.pointer, (view_point{250, 200}));
        dialog.handle_key('0', wxMOD_NONE);
        EXPECT_TRUE(dialog.second_panel()->view.fitted);

        // Tall and narrow: one above the other.
        dialog.SetSize(700, 1000);
        pump_until([&] { return !dialog.side_by_side(); }, 1000ms);
        EXPECT_FALSE(dialog.side_by_side());
        dialog.SetSize(1500, 900);
        pump_until([&] { return dialog.side_by_side(); }, 1000ms);

        // A picture of the view for whoever asks for one.
        if (const char* where = std::getenv("QUILLMAR_SCREENSHOT_DIR")) {
            dialog.Move(0, 0);
            dialog.Raise();
            a->view.pointer = {420, 260};
            a->Refresh();
            dialog.second_panel()->set_view(a->view);
            pump_until([] { return false; }, 500ms);
            const wxRect r = dialog.GetScreenRect();
            const std::string command = "import -window root -crop " + std::to_string(r.width) + "x" +
                                        std::to_string(r.height) + "+" + std::to_string(r.x) + "+" +
                                        std::to_string(r.y) + " '" + (fs::path(where) / "compare.png").string() + "'";
            EXPECT_EQ(std::system(command.c_str()), 0);
        }
        dialog.Hide();
    }
    // Only read: every key and value as before.
    EXPECT_EQ(db_test::all_keys(first.string()), before_first);
    EXPECT_EQ(db_test::all_keys(second.string()), before_second);
}

TEST_F(compare_test, the_choice_lists_every_other_database) {
    registry_entry a{{}, L"/r/a"}, b{{}, L"/r/b"}, c{{}, L"/r/a"};
    b.info.session = L"A : 2";
    b.info.side = L"левый";
    b.info.time_start = L"2024-06-01 09:00:00";
    b.info.time_end = L"2024-06-01 09:10:00";
    b.info.dpp_start = 1037;
    b.info.dpp_end = 1196;
    const auto choices = comparison_choices(L"/r/a", {a, b, c});
    ASSERT_EQ(choices.size(), 1u);
    EXPECT_EQ(choices[0].path, L"/r/b");
    EXPECT_EQ(comparison_choice_label(b),
              L"A : 2 · левый · 2024-06-01 09:00:00 — 2024-06-01 09:10:00 · ДПП 1037–1196 · b");
    EXPECT_THROW(compare_dialog(nullptr, first.wstring(), (dir.path() / "missing").wstring()), std::runtime_error);
}

}  // namespace
