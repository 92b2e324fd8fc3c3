// The list of a run's differences beside the comparison, on two passes over a simulated track
// at full size, as the operator sees it on a 1366 x 768 screen. With
// QUILLMAR_DIFFERENCES_SCREENSHOT set, the screen is saved there as PNG; without it the test
// is skipped, so an ordinary test run writes nothing.
#include "viewer/differences_dialog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/image.h>

#include "camera/simulated_track.h"
#include "camera/undercar_scene.h"
#include "database/recording_database.h"
#include "tests/support/event_loop.h"
#include "tests/support/temp_home.h"
#include "viewer/compare_dialog.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int width = 1920, height = 1200, margin = 8;

// 90 frames 120 mm apart (12 counts), shown from `top` of a taller rendering, a few columns
// of jitter in the second pass.
void record(const fs::path& folder, const simulated_track& track, std::uint32_t first_count, int top, int jitter,
            std::uint64_t frame_base) {
    undercar_scene scene(track);
    cv::Mat tall(height + 2 * margin, width, CV_8U);
    cv::RNG rng(static_cast<std::uint64_t>(frame_base) + 1);
    recording_database db;
    db.open(folder.wstring());
    for (int i = 0; i < 90; ++i) {
        const std::int64_t column = scene.column_at(120.0 * i) + (jitter ? rng.uniform(-jitter, jitter + 1) : 0);
        scene.fill_at(tall.data, tall.total(), width, tall.rows, column, frame_base + static_cast<std::uint64_t>(i),
                      true);
        db.store_frame(tall(cv::Rect(0, top, width, height)), first_count + 12 * static_cast<std::uint32_t>(i),
                       1700000000 + i / 25);
    }
    db.close("Поезд : 12", std::wstring(L"левый"));
}

TEST(differences_screenshot, the_list_beside_the_comparison_at_1366_by_768) {
    const char* out = std::getenv("QUILLMAR_DIFFERENCES_SCREENSHOT");
    if (!out) GTEST_SKIP() << "QUILLMAR_DIFFERENCES_SCREENSHOT not set";
    test_support::temp_dir dir;
    const fs::path first = dir.path() / "2024.05.01 12.30.45", second = dir.path() / "2024.06.01 09.00.00";
    simulated_track track;
    track.seed = 42;
    track.mm_per_count = 10;
    simulated_track changed = track;
    changed.changes = {{track_change::kind::missing, 2500}, {track_change::kind::hanging, 6200}};
    record(first, track, 1000, margin, 0, 0);
    record(second, changed, 1037, margin - 4, 2, 100000);

    compare_dialog dialog(nullptr, first.wstring(), second.wstring());
    dialog.SetSize(0, 0, 760, 768);
    dialog.Show();
    dialog.list_differences();
    differences_dialog* list = dialog.differences_list();
    ASSERT_NE(list, nullptr);
    list->SetSize(760, 0, 606, 768);  // every column of the list in view
    ASSERT_TRUE(test_support::pump_until([&] { return !list->running(); }, 180000ms));
    ASSERT_FALSE(list->differences().empty()) << list->status();
    EXPECT_TRUE(list->select(0));
    dialog.show_differences(true);
    test_support::pump_until([] { return false; }, 1500ms);
    dialog.Update();
    list->Update();

    wxScreenDC screen;
    wxBitmap shot(1366, 768);
    wxMemoryDC memory(shot);
    memory.Blit(0, 0, 1366, 768, &screen, 0, 0);
    memory.SelectObject(wxNullBitmap);
    wxImage::AddHandler(new wxPNGHandler);
    EXPECT_TRUE(shot.ConvertToImage().SaveFile(out, wxBITMAP_TYPE_PNG));
}

}  // namespace
