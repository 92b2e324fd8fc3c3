// The video of a count range, read back with libavformat; the scale bar burned into a picture.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "export/scale_bar.h"
#include "export/frame_export.h"
#include "export/video_export.h"

#include <sys/stat.h>
#include "tests/export/export_test_util.h"
#include "tests/support/temp_home.h"
#include "viewer/ruler_geometry.h"

namespace fs = std::filesystem;
using export_test::entries;
using export_test::read_mp4;

TEST(VideoExport, HasTheRangesFrameCountSizeAndRate) {
    export_test::quiet_ffmpeg();
    test_support::temp_dir work;
    const fs::path db_path = work.path() / "db";
    export_test::write_db(db_path, export_test::frames_at({3, 4, 5, 6, 7, 8, 9, 30}, 160, 120));
    auto db = open_leveldb(db_path.string(), false);
    struct row {
        export_range range;
        double fps;
        bool scale_bar;
        int frames;
    };
    for (const row& r : {row{{4, 9}, 10, false, 6}, row{{0, 100}, 25, true, 8}, row{{30, 30}, 2.5, true, 1}}) {
        const fs::path file = work.path() / "v.mp4";
        video_options options;
        options.fps = r.fps;
        options.scale_bar = r.scale_bar;
        const video_result result = export_video(*db, r.range, file, options, {});
        EXPECT_EQ(result.encoder, "libx264");
        EXPECT_EQ(result.frames, static_cast<std::uint64_t>(r.frames));
        const auto facts = read_mp4(file);
        ASSERT_TRUE(facts.opened);
        EXPECT_EQ(facts.codec, "h264");
        EXPECT_EQ(facts.width, 160);
        EXPECT_EQ(facts.height, 120);
        EXPECT_EQ(facts.packets, r.frames);
        EXPECT_NEAR(facts.fps, r.fps, 0.01);
        EXPECT_EQ(entries(work.path()), (std::set<std::string>{"db", "v.mp4"}));  // no temporary file left
    }
}

// The video is a file like the frames beside it: created honouring the umask, not private.
TEST(VideoExport, TheVideoGetsTheSamePermissionsAsTheExportedFrames) {
    export_test::quiet_ffmpeg();
    test_support::temp_dir work;
    const fs::path db_path = work.path() / "db";
    export_test::write_db(db_path, export_test::frames_at({3, 4}, 32, 24));
    auto db = open_leveldb(db_path.string(), false);
    const mode_t before = ::umask(022);
    export_video(*db, {0, 10}, work.path() / "v.mp4", {}, {});
    export_frames(*db, {0, 10}, work.path() / "frames", {});
    ::umask(before);
    const auto video = fs::status(work.path() / "v.mp4").permissions();
    EXPECT_EQ(video, fs::perms(0644)) << std::oct << static_cast<unsigned>(video);
    EXPECT_EQ(video, fs::status(work.path() / "frames" / "0000000003.jpg").permissions());
}

TEST(VideoExport, OddSizesOtherSizesAndDamagedFramesKeepEveryFrame) {
    export_test::quiet_ffmpeg();
    test_support::temp_dir work;
    const fs::path db_path = work.path() / "db";
    auto frames = export_test::frames_at({1, 2}, 63, 47);
    frames[3] = db_test::test_frame(9, 128, 96);  // another camera size: scaled
    auto keys = export_test::write_db(db_path, frames);
    // A header that claims 60000 x 60000 pixels is damage, not a picture to make room for.
    std::string forged = keys.at(make_frame_key(1));
    const auto sof = forged.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    forged.replace(sof + 5, 4, "\xEA\x60\xEA\x60");
    db_test::write_raw(db_path.string(), {{make_frame_key(4), "not a jpeg"}, {make_frame_key(5), forged}});
    auto db = open_leveldb(db_path.string(), false);

    const video_result result = export_video(*db, {0, 10}, work.path() / "v.mp4", {}, {});
    EXPECT_EQ(result.frames, 5u);
    EXPECT_EQ(result.undecodable, 2u);
    const auto facts = read_mp4(work.path() / "v.mp4");
    EXPECT_EQ(facts.packets, 5);
    EXPECT_EQ(facts.width, 64);  // padded to even, as 4:2:0 needs
    EXPECT_EQ(facts.height, 48);
}

TEST(VideoExport, WithoutLibx264FfmpegsMpeg4EncoderStillWritesAnMp4) {
    export_test::quiet_ffmpeg();
    test_support::temp_dir work;
    const fs::path db_path = work.path() / "db";
    export_test::write_db(db_path, export_test::frames_at({1, 2, 3}, 96, 64));
    auto db = open_leveldb(db_path.string(), false);
    video_options options;
    options.encoder = "mpeg4";
    const video_result result = export_video(*db, {0, 10}, work.path() / "v.mp4", options, {});
    EXPECT_EQ(result.encoder, "mpeg4");
    const auto facts = read_mp4(work.path() / "v.mp4");
    EXPECT_EQ(facts.codec, "mpeg4");
    EXPECT_EQ(facts.packets, 3);

    options.encoder = "no-such-encoder";
    EXPECT_THROW(export_video(*db, {0, 10}, work.path() / "w.mp4", options, {}), export_error);
    EXPECT_FALSE(fs::exists(work.path() / "w.mp4"));
}

TEST(VideoExport, CancelFailureAndBadInputLeaveNoFile) {
    export_test::quiet_ffmpeg();
    test_support::temp_dir work;
    const fs::path db_path = work.path() / "db";
    export_test::write_db(db_path, export_test::frames_at({1, 2, 3, 4, 5}));
    db_test::write_raw(db_path.string(), {{make_frame_key(50), "garbage"}});
    auto db = open_leveldb(db_path.string(), false);
    const fs::path file = work.path() / "new" / "v.mp4";  // its folder is made, and goes again

    std::atomic<bool> cancel{false};
    export_control control;
    control.cancel = &cancel;
    control.before_frame = [&](std::uint64_t i) {
        if (i == 3) cancel = true;
    };
    EXPECT_TRUE(export_video(*db, {0, 10}, file, {}, control).cancelled);

    cancel = false;
    control.before_frame = [](std::uint64_t i) {
        if (i == 2) throw export_error("сбой кодера");
    };
    EXPECT_THROW(export_video(*db, {0, 10}, file, {}, control), export_error);

    video_options slow;
    slow.fps = 0;
    EXPECT_THROW(export_video(*db, {0, 10}, file, slow, {}), export_error);
    EXPECT_THROW(export_video(*db, {40, 60}, file, {}, {}), export_error);        // nothing decodes
    EXPECT_THROW(export_video(*db, {0, 10}, work.path(), {}, {}), export_error);  // a folder
    EXPECT_EQ(entries(work.path()), std::set<std::string>{"db"});
}

TEST(ScaleBar, BurnsTheViewersRulerAtOneToOne) {
    for (double scale : {0.8, 2.0}) {
        cv::Mat grey(400, 400, CV_8UC1, cv::Scalar(128));
        burn_scale_bar(grey, scale);
        const int x = static_cast<int>(75 * scale) + 12, y = grey.rows - 48;
        const ruler_drawing ruler = make_ruler(scale, 1.0, x, y);
        // The 75 mm bar: white along its length, 75 * scale pixels long.
        const ruler_line& bar = ruler.lines.back();
        EXPECT_EQ(bar.x1 - bar.x2, static_cast<int>(x - (x - 75 * scale)));
        for (int px = bar.x2; px <= bar.x1; ++px) EXPECT_EQ(grey.at<uchar>(bar.y1, px), 255) << px;
        // The vertical scale from 0 to 100 mm, and its 50 mm tick.
        for (int py = y - static_cast<int>(100 * scale); py <= y; ++py) EXPECT_EQ(grey.at<uchar>(py, x), 255);
        const int y50 = static_cast<int>(y - 50 * scale);
        EXPECT_EQ(grey.at<uchar>(y50, x - 10), 255);
        // The dark rim beside the white bar, and untouched ground away from the ruler.
        EXPECT_EQ(grey.at<uchar>(bar.y1 + 1, (bar.x1 + bar.x2) / 2), 0);
        EXPECT_EQ(grey.at<uchar>(10, 390), 128);
    }
    cv::Mat tiny(10, 10, CV_8UC1, cv::Scalar(7));
    burn_scale_bar(tiny, 0.8);  // clipped, no crash
    cv::Mat same = tiny.clone();
    burn_scale_bar(tiny, -1);  // a nonsense scale draws nothing
    EXPECT_EQ(cv::countNonZero(tiny != same), 0);
}

TEST(ScaleBar, LabelsThatWouldOverlapAreThinnedAndTheUnitStays) {
    struct row {
        double scale;
        std::vector<std::wstring> texts;
    };
    const row rows[] = {
        {0.8, {L"0", L"20", L"40", L"60", L"80", L"100", L"мм", L"75 мм"}},  // 10 mm = 8 px
        {2.0, {L"0", L"10", L"20", L"30", L"40", L"50", L"60", L"70", L"80", L"90", L"100", L"мм", L"75 мм"}},
    };
    for (const auto& r : rows) {
        auto labels = make_ruler(r.scale, 1.0, 100, 300).labels;
        thin_scale_labels(labels);
        std::vector<std::wstring> texts;
        for (const auto& l : labels) texts.push_back(l.text);
        EXPECT_EQ(texts, r.texts) << r.scale;
        for (std::size_t i = 1; i + 1 < labels.size(); ++i)
            EXPECT_GE(labels[i - 1].y - labels[i].y, scale_label_gap) << r.scale << " " << i;
    }
}
