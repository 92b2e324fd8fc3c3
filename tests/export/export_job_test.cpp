// One request: frames and video together, all or nothing; the worker thread, its cancel and
// its progress.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "database/reader_pool.h"
#include "export/export_job.h"
#include "tests/export/export_test_util.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;
using export_test::entries;

namespace {

export_request request_for(const fs::path& work) {
    export_request r;
    r.database = work / "db";
    r.range = {0, 1000};
    r.frames_dir = work / "frames";
    r.video_file = work / "v.mp4";
    return r;
}

}  // namespace

TEST(ExportJob, FramesAndVideoTogetherAllOrNothing) {
    export_test::quiet_ffmpeg();
    test_support::temp_dir work;
    export_test::write_db(work.path() / "db", export_test::frames_at({1, 2, 3, 4, 5, 6}));
    const export_request request = request_for(work.path());

    // A failure in either step leaves neither.
    for (std::uint64_t fail_at : {2u, 8u}) {  // during the video; during the frames
        std::uint64_t seen = 0;
        export_control control;
        control.before_frame = [&](std::uint64_t) {
            if (seen++ == fail_at) throw export_error("сбой");
        };
        const export_outcome outcome = run_export(request, control);
        EXPECT_EQ(outcome.state, export_outcome::status::failed);
        EXPECT_EQ(describe(request, outcome), "Экспорт не выполнен: сбой. Файлы не записаны.");
        EXPECT_EQ(entries(work.path()), std::set<std::string>{"db"});
    }

    const export_outcome outcome = run_export(request, {});
    ASSERT_EQ(outcome.state, export_outcome::status::done) << outcome.error;
    EXPECT_EQ(outcome.frames.frames, 6u);
    EXPECT_EQ(export_test::read_mp4(work.path() / "v.mp4").packets, 6);
    EXPECT_EQ(entries(work.path() / "frames").size(), 7u);
    const std::string text = describe(request, outcome);
    EXPECT_NE(text.find("Кадров записано: 6"), std::string::npos) << text;
    EXPECT_NE(text.find("кадров 6, 64 × 48, кодер libx264"), std::string::npos) << text;
}

// An export only reads: it runs while the image service's shared handle holds the recording,
// through that handle or one of its own, and leaves every file of the recording as it was.
TEST(ExportJob, ExportsBesideTheImageServiceAndLeavesTheRecordingUnchanged) {
    export_test::quiet_ffmpeg();
    test_support::temp_dir work;
    export_test::write_db(work.path() / "db", export_test::frames_at({1, 2, 3}));
    const auto before = db_test::folder_checksums(work.path() / "db");
    reader_pool readers;
    for (reader_pool* shared : {static_cast<reader_pool*>(nullptr), &readers}) {
        const auto lookup = readers.acquire((work.path() / "db").wstring());
        ASSERT_TRUE(lookup);
        export_request request = request_for(work.path());
        request.video_file.reset();
        request.frames_dir = work.path() / (shared ? "shared" : "own");
        request.readers = shared;
        const export_outcome outcome = run_export(request, {});
        ASSERT_EQ(outcome.state, export_outcome::status::done) << outcome.error;
        EXPECT_EQ(outcome.frames.frames, 3u);
    }
    readers.close_unused((work.path() / "db").wstring());
    EXPECT_EQ(db_test::folder_checksums(work.path() / "db"), before);
}

TEST(ExportJob, ADatabaseThatCannotBeOpenedIsReportedInRussian) {
    export_test::quiet_ffmpeg();
    test_support::temp_dir work;
    export_request request = request_for(work.path());
    const export_outcome outcome = run_export(request, {});
    EXPECT_EQ(outcome.state, export_outcome::status::failed);
    EXPECT_NE(outcome.error.find("Не удалось открыть базу"), std::string::npos) << outcome.error;
    EXPECT_EQ(entries(work.path()), std::set<std::string>{});

    request.frames_dir.reset();
    request.video_file.reset();
    EXPECT_EQ(run_export(request, {}).error, "Не выбрано, что экспортировать");
}

TEST(ExportJob, WorkerFinishesWithFullProgressOrIsCancelledAndJoined) {
    export_test::quiet_ffmpeg();
    test_support::temp_dir work;
    std::map<std::uint32_t, cv::Mat> frames;
    for (std::uint32_t c = 0; c < 40; ++c) frames[c * 10] = db_test::test_frame(static_cast<int>(c));
    export_test::write_db(work.path() / "db", frames);
    {
        export_job job(request_for(work.path()));
        const export_outcome& outcome = job.wait();
        EXPECT_TRUE(job.finished());
        EXPECT_EQ(outcome.state, export_outcome::status::done) << outcome.error;
        EXPECT_EQ(job.permille(), 1000);
        EXPECT_EQ(job.frames_done(), 40u);
    }
    fs::remove_all(work.path() / "frames");
    fs::remove(work.path() / "v.mp4");

    // Cancelled while a frame is being exported: the worker stops at the next frame.
    std::atomic<bool> in_frame{false};
    std::atomic<bool> release{false};
    {
        export_job job(request_for(work.path()), [&](std::uint64_t i) {
            if (i != 5) return;
            in_frame = true;
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        while (!in_frame) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(job.finished());
        job.cancel();
        release = true;
        EXPECT_EQ(job.wait().state, export_outcome::status::cancelled);
        EXPECT_LT(job.frames_done(), 40u);
    }
    EXPECT_EQ(entries(work.path()), std::set<std::string>{"db"});

    // Destroyed while running: cancels and joins by itself.
    { export_job job(request_for(work.path())); }
    const auto left = entries(work.path());  // whole or nothing, never a temporary name
    EXPECT_TRUE(left == std::set<std::string>{"db"} || left == (std::set<std::string>{"db", "frames", "v.mp4"}));
}
