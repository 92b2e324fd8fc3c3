// The export form and the progress run, on the test display.
#include <gtest/gtest.h>

#include <functional>

#include <wx/checkbox.h>
#include <wx/filepicker.h>
#include <wx/spinctrl.h>
#include <wx/stdpaths.h>

#include "export/export_dialog.h"
#include "tests/export/export_test_util.h"
#include "tests/support/event_loop.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;

TEST(ExportDialog, FormStartsAtTheWholeRangeAndSaysWhatIsMissing) {
    test_support::temp_dir work;
    export_dialog form(nullptr, (work.path() / "2024.05.01 12.30.45").wstring(), 1000, 1200, 1.25);
    EXPECT_EQ(form.GetTitle(), L"Экспорт базы");
    EXPECT_EQ(form.from_count()->GetValue(), 1000);
    EXPECT_EQ(form.to_count()->GetValue(), 1200);
    EXPECT_TRUE(form.frames_check()->GetValue());
    EXPECT_FALSE(form.video_check()->GetValue());
    EXPECT_EQ(form.fps()->GetValue(), 25);
    EXPECT_TRUE(form.frames_dir()->GetPath().EndsWith(L"2024.05.01 12.30.45"));

    std::wstring problem;
    auto r = form.request(problem);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->database, work.path() / "2024.05.01 12.30.45");
    EXPECT_EQ(r->range.from, 1000u);
    EXPECT_EQ(r->range.to, 1200u);
    EXPECT_TRUE(r->frames_dir);
    EXPECT_FALSE(r->video_file);

    // The video: its file gets ".mp4" when typed without, the rate and the scale bar travel.
    form.frames_check()->SetValue(false);
    form.video_check()->SetValue(true);
    form.video_file()->SetPath((work.path() / "clip").wstring());
    form.fps()->SetValue(12.5);
    form.scale_bar()->SetValue(true);
    r = form.request(problem);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->frames_dir);
    EXPECT_EQ(*r->video_file, work.path() / "clip.mp4");
    EXPECT_EQ(r->video.fps, 12.5);
    EXPECT_TRUE(r->video.scale_bar);
    EXPECT_EQ(r->video.scale, 1.25);

    struct row {
        std::function<void()> change;
        std::wstring problem;
    };
    const row rows[] = {
        {[&] { form.video_check()->SetValue(false); }, L"Выберите кадры, видео или и то и другое."},
        {[&] {
             form.frames_check()->SetValue(true);
             form.frames_dir()->SetPath(wxString());
         },
         L"Укажите папку для кадров."},
        {[&] {
             form.frames_dir()->SetPath(work.str());
             form.from_count()->SetValue(1100);
             form.to_count()->SetValue(1050);
         },
         L"Начальный отсчёт больше конечного."},
    };
    for (const auto& row : rows) {
        row.change();
        problem.clear();
        EXPECT_FALSE(form.request(problem));
        EXPECT_EQ(problem, row.problem);
    }
}

TEST(ExportDialog, ProposesDocumentsWhenThereElseTheRecordingsFolder) {
    test_support::temp_dir work;
    fs::create_directory(work.path() / "Документы");
    const fs::path db = work.path() / "records" / "2024.05.01 12.30.45";
    struct row {
        fs::path database, documents, proposed;
    };
    const row rows[] = {{db, work.path() / "Документы", work.path() / "Документы"},
                        {db, work.path() / "missing", work.path() / "records"},
                        {db, fs::path(), work.path() / "records"},
                        {db / "", fs::path(), work.path() / "records"}};
    for (const auto& r : rows)
        EXPECT_EQ(proposed_export_folder(r.database, r.documents), r.proposed) << r.database << " " << r.documents;
}

// Shown, with the event loop run: the pickers still hold the proposed paths.
TEST(ExportDialog, OpensWithBothPathsFilledIn) {
    test_support::temp_dir work;
    const fs::path db = work.path() / "2024.05.01 12.30.45";
    export_dialog form(nullptr, db.wstring(), 1000, 1200, 0.8);
    form.Show();
    test_support::pump_until([] { return false; }, std::chrono::milliseconds(300));
    const wxString documents = wxStandardPaths::Get().GetDocumentsDir();
    const fs::path base = proposed_export_folder(db, documents.ToStdString());
    EXPECT_EQ(form.frames_dir()->GetPath(), wxString((base / "2024.05.01 12.30.45").string()));
    EXPECT_EQ(form.video_file()->GetPath(), wxString((base / "2024.05.01 12.30.45.mp4").string()));
    form.Hide();
}

TEST(ExportDialog, ProgressRunWritesTheFramesAndTheVideo) {
    export_test::quiet_ffmpeg();
    test_support::temp_dir work;
    export_test::write_db(work.path() / "db", export_test::frames_at({5, 6, 7, 8}));
    export_request request;
    request.database = work.path() / "db";
    request.range = {6, 8};
    request.frames_dir = work.path() / "frames";
    request.video_file = work.path() / "v.mp4";
    const export_outcome outcome = run_with_progress(nullptr, request);
    ASSERT_EQ(outcome.state, export_outcome::status::done) << outcome.error;
    EXPECT_EQ(export_test::entries(work.path() / "frames").size(), 4u);
    EXPECT_EQ(export_test::read_mp4(work.path() / "v.mp4").packets, 3);
}
