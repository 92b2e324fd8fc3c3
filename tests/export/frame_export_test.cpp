// Exporting stored frames as files: bytes unchanged, index.csv, all or nothing.
#include <gtest/gtest.h>

#include <fstream>

#include "export/export_job.h"
#include "export/frame_export.h"
#include "tests/export/export_test_util.h"
#include "tests/support/temp_home.h"
#include "tests/tools/tool_run.h"

namespace fs = std::filesystem;
using export_test::entries;

namespace {

std::string key_file(std::uint32_t count) { return make_frame_key(count) + ".jpg"; }

}  // namespace

TEST(FrameExport, RangeGivesTheStoredBytesAndAnIndex) {
    test_support::temp_dir work;
    const fs::path db_path = work.path() / "db";
    const auto keys = export_test::write_db(db_path, export_test::frames_at({5, 9, 12, 20, 25}));
    struct row {
        export_range range;
        std::vector<std::uint32_t> expected;
    };
    const row rows[] = {
        {{9, 20}, {9, 12, 20}},  // both ends included
        {{6, 11}, {9}},          // ends between frames
        {{0, 4294967295u}, {5, 9, 12, 20, 25}},
        {{25, 25}, {25}},
        {{21, 4294967295u}, {25}},  // the metadata keys after the frames are not frames
    };
    int n = 0;
    for (const auto& r : rows) {
        const fs::path out = work.path() / ("out" + std::to_string(n++));
        auto db = open_leveldb(db_path.string(), false);
        const frames_result result = export_frames(*db, r.range, out, {});
        SCOPED_TRACE(out.string());
        EXPECT_FALSE(result.cancelled);
        EXPECT_EQ(result.frames, r.expected.size());
        std::set<std::string> names{"index.csv"};
        std::string index = "count,file,bytes\n";
        std::uint64_t bytes = 0;
        for (auto c : r.expected) {
            names.insert(key_file(c));
            const std::string& stored = keys.at(make_frame_key(c));
            EXPECT_EQ(tool_test::slurp(out / key_file(c)), stored);
            index += std::to_string(c) + "," + key_file(c) + "," + std::to_string(stored.size()) + "\n";
            bytes += stored.size();
        }
        EXPECT_EQ(entries(out), names);  // no scratch folder left
        EXPECT_EQ(tool_test::slurp(out / "index.csv"), index);
        EXPECT_EQ(result.bytes, bytes);
    }
}

TEST(FrameExport, RefusesReversedAndEmptyRangesWithoutWritingAnything) {
    test_support::temp_dir work;
    const fs::path db_path = work.path() / "db";
    export_test::write_db(db_path, export_test::frames_at({5, 9}));
    auto db = open_leveldb(db_path.string(), false);
    for (export_range range : {export_range{9, 5}, export_range{6, 8}, export_range{10, 100}}) {
        const fs::path out = work.path() / "new" / "out";
        try {
            export_frames(*db, range, out, {});
            ADD_FAILURE() << range.from << ".." << range.to << " exported";
        } catch (const export_error& e) {
            EXPECT_NE(std::string(e.what()).find(range.from > range.to ? "больше" : "нет кадров"), std::string::npos)
                << e.what();
        }
        EXPECT_FALSE(fs::exists(work.path() / "new"));
    }
}

TEST(FrameExport, CancelAndFailureLeaveTheFolderAsItWas) {
    test_support::temp_dir work;
    const fs::path db_path = work.path() / "db";
    export_test::write_db(db_path, export_test::frames_at({1, 2, 3, 4}));
    const fs::path out = work.path() / "out";
    fs::create_directory(out);
    { std::ofstream(out / key_file(2)) << "older file"; }
    auto db = open_leveldb(db_path.string(), false);

    std::atomic<bool> cancel{false};
    export_control control;
    control.cancel = &cancel;
    control.before_frame = [&](std::uint64_t i) {
        if (i == 2) cancel = true;
    };
    EXPECT_TRUE(export_frames(*db, {0, 10}, out, control).cancelled);
    EXPECT_EQ(entries(out), std::set<std::string>{key_file(2)});

    control.cancel = nullptr;
    control.before_frame = [](std::uint64_t i) {
        if (i == 3) throw export_error("Диск заполнен");
    };
    EXPECT_THROW(export_frames(*db, {0, 10}, out, control), export_error);
    EXPECT_EQ(entries(out), std::set<std::string>{key_file(2)});
    EXPECT_EQ(tool_test::slurp(out / key_file(2)), "older file");

    // A folder the export had to create goes again.
    control.before_frame = [](std::uint64_t) { throw export_error("сбой"); };
    EXPECT_THROW(export_frames(*db, {0, 10}, work.path() / "a" / "b", control), export_error);
    EXPECT_FALSE(fs::exists(work.path() / "a"));
}

TEST(FrameExport, ATargetThatIsAFileIsAClearError) {
    test_support::temp_dir work;
    const fs::path db_path = work.path() / "db";
    export_test::write_db(db_path, export_test::frames_at({1}));
    { std::ofstream(work.path() / "plain") << "x"; }
    auto db = open_leveldb(db_path.string(), false);
    try {
        export_frames(*db, {0, 10}, work.path() / "plain", {});
        ADD_FAILURE();
    } catch (const export_error& e) {
        EXPECT_NE(std::string(e.what()).find("Не удалось создать папку"), std::string::npos) << e.what();
    }
    EXPECT_EQ(tool_test::slurp(work.path() / "plain"), "x");
}
