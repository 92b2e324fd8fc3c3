// The list of a run's differences beside the comparison, and a comparison of runs that do not
// match.
#include "viewer/differences_dialog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include <wx/app.h>

#include "tests/support/event_loop.h"
#include "tests/support/temp_home.h"
#include "tests/viewer/synthetic_runs.h"
#include "viewer/compare_dialog.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class differences_list : public ::testing::Test {
protected:
    test_support::temp_dir dir;
    fs::path first = dir.path() / "2024.05.01 12.30.45";
    fs::path second = dir.path() / "2024.06.01 09.00.00";

    void TearDown() override { wxTheApp->ProcessIdle(); }
};

TEST_F(differences_list, lists_the_changed_pairs_shows_them_steps_with_keys_and_exports) {
    // The second run 37 counts on and (4, -4) aside, a dark bar in its frames 1137..1139
    // (what the first run shows at 1100..1102).
    const synthetic_runs::strip s(640, 400, 130, 12);
    synthetic_runs::record(first.wstring(), s, 1000, 120, 0, 0, 3, 1, "A : 1");
    synthetic_runs::record(second.wstring(), s, 1037, 110, 4, -4, 3, 2, "A : 2", [](cv::Mat& f, std::uint32_t c) {
        if (c >= 1137 && c <= 1139) cv::rectangle(f, cv::Rect(300, 180, 90, 16), cv::Scalar(5), cv::FILLED);
    });
    compare_dialog dialog(nullptr, first.wstring(), second.wstring());
    dialog.list_differences();
    differences_dialog* list = dialog.differences_list();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->GetTitle(), L"Различия по проезду");
    ASSERT_TRUE(test_support::pump_until([&] { return !list->running(); }, 60000ms));
    EXPECT_TRUE(list->status().StartsWith(L"Готово. Различий: 3")) << list->status();
    ASSERT_EQ(list->differences().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(list->differences()[i].count_a, 1100u + i);
        EXPECT_EQ(list->differences()[i].count_b, 1137u + i);
    }

    // Chosen in the list: shown in the comparison; N and P step through the list.
    EXPECT_TRUE(list->select(1));
    EXPECT_EQ(dialog.comparison().count(), 1101u);
    EXPECT_EQ(dialog.comparison().second_count(), 1138u);
    EXPECT_TRUE(dialog.handle_key('N', wxMOD_NONE));
    EXPECT_EQ(dialog.comparison().count(), 1102u);
    EXPECT_FALSE(list->next()) << "past the last";
    EXPECT_TRUE(dialog.handle_key('P', wxMOD_NONE));
    EXPECT_TRUE(dialog.handle_key('P', wxMOD_NONE));
    EXPECT_EQ(dialog.comparison().count(), 1100u);
    dialog.show_differences(true);
    EXPECT_GT(dialog.shown().differing, 0);

    const fs::path csv = dir.path() / "export" / "differences.csv";
    fs::create_directories(csv.parent_path());
    ASSERT_TRUE(list->export_csv(csv));
    ASSERT_TRUE(test_support::pump_until([&] { return !list->running(); }, 10000ms));
    EXPECT_TRUE(list->status().StartsWith(L"Сохранено")) << list->status();
    std::ifstream in(csv);
    std::string line;
    std::size_t rows = 0;
    while (std::getline(in, line)) ++rows;
    EXPECT_EQ(rows, 4u);
    for (const char* name : {"1100_a.jpg", "1137_b.jpg", "1102_a.jpg", "1139_b.jpg"})
        EXPECT_TRUE(fs::exists(csv.parent_path() / name)) << name;
}

TEST_F(differences_list, runs_that_do_not_match_are_said_so_and_not_moved) {
    const synthetic_runs::strip s(640, 400, 40, 12, 7), elsewhere(640, 400, 40, 12, 8);
    synthetic_runs::record(first.wstring(), s, 1000, 30, 0, 0, 3, 1, "A : 1");
    synthetic_runs::record(second.wstring(), elsewhere, 1000, 30, 9, 5, 3, 2, "A : 2");
    compare_dialog dialog(nullptr, first.wstring(), second.wstring());
    EXPECT_FALSE(dialog.shown().matched);
    EXPECT_EQ(dialog.shown().shift, cv::Point(0, 0));
    EXPECT_TRUE(dialog.second_caption().Contains(L"Проезды здесь не совпадают (сходство 0,"))
        << dialog.second_caption();
    dialog.show_differences(true);
    EXPECT_FALSE(dialog.second_caption().Contains(L"различий нет")) << dialog.second_caption();

    dialog.list_differences();
    differences_dialog* list = dialog.differences_list();
    ASSERT_TRUE(test_support::pump_until([&] { return !list->running(); }, 30000ms));
    EXPECT_TRUE(list->status().StartsWith(L"Проезды не совпадают (сходство 0,")) << list->status();
    EXPECT_TRUE(list->differences().empty());
}

}  // namespace
