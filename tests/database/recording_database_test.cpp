#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include <leveldb/env.h>

#include <opencv2/imgcodecs.hpp>

#include "database/frame_image.h"
#include "database/local_time.h"
#include "database/recording_database.h"
#include "tests/database/db_test_util.h"
#include "tests/support/temp_home.h"

using db_test::all_keys;
using db_test::test_frame;
using keys_t = std::map<std::string, std::string>;

namespace {

std::string jpeg_of(const cv::Mat& image) {
    std::vector<uchar> bytes;
    cv::imencode(".jpeg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 85});
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(RecordingDatabase, FreshOpenHoldsOnlyVersion) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "2024.05.01 12.30.45";
    {
        recording_database db;
        db.open(path.wstring());
        EXPECT_TRUE(db.is_open());
        EXPECT_EQ(db.path(), path.wstring());
        EXPECT_EQ(db.frame_count(), 0u);
    }  // destruction closes the handle without the closing keys
    EXPECT_EQ(all_keys(path.string()), (keys_t{{"version", "1"}}));
}

TEST(RecordingDatabase, CloseWithoutFramesWritesSessionSideCountOnce) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "db";
    recording_database db;
    db.open(path.wstring());
    db.close(std::string("12 : 34"), L"правый");
    EXPECT_FALSE(db.is_open());
    db.close(std::string("other"), L"other");  // closed: nothing more is written
    EXPECT_EQ(all_keys(path.string()), (keys_t{{"version", "1"},
                                               {"count", "0000000000"},
                                               {"session", "12 : 34"},
                                               {"side", "\xd0\xbf\xd1\x80\xd0\xb0\xd0\xb2\xd1\x8b\xd0\xb9"}}));
}

TEST(RecordingDatabase, RecordingStepsStoreEveryByteOfTheLayout) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "db";
    recording_database db;
    db.open(path.wstring());
    db.store_frame(test_frame(1), 5, 1714566645);
    db.store_frame(test_frame(2), 5, 1714566646);  // same count: replaces, still counted
    db.store_frame(test_frame(3), 9, -20);
    EXPECT_EQ(db.frame_count(), 3u);
    db.close(std::wstring(L"Код"), L"левый");
    EXPECT_EQ(db.frame_count(), 0u);

    keys_t keys = all_keys(path.string());
    EXPECT_EQ(keys, (keys_t{{"0000000005", jpeg_of(test_frame(2))},
                            {"0000000009", jpeg_of(test_frame(3))},
                            {"count", "0000000003"},
                            {"dpp_end", "0000000009"},
                            {"dpp_start", "0000000005"},
                            {"session", "\xd0\x9a\xd0\xbe\xd0\xb4"},
                            {"side", "\xd0\xbb\xd0\xb5\xd0\xb2\xd1\x8b\xd0\xb9"},
                            {"time_end", "-20"},
                            {"time_start", "1714566645"},
                            {"version", "1"}}));
    EXPECT_EQ(keys["0000000005"].substr(0, 2), "\xff\xd8");  // a complete JPEG file
}

TEST(RecordingDatabase, ExtremeCountsAndReopenForEdit) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "db";
    recording_database db;
    db.open(path.wstring());
    db.store_frame(test_frame(1), 4294967295u, 1);
    db.store_frame(test_frame(1), 7, 2);
    db.close(std::string("s"), L"a");

    db.open(path.wstring());  // an edit: rewrites version, keeps everything else
    db.write_side(std::wstring(L"b"));
    db.write_session(std::wstring());
    db.close(std::string("s2"), L"c");  // an edit's close writes session, side, count again
    keys_t keys = all_keys(path.string());
    EXPECT_TRUE(keys.count("4294967295"));
    EXPECT_TRUE(keys.count("0000000007"));
    EXPECT_EQ(keys["dpp_start"], "4294967295");
    EXPECT_EQ(keys["dpp_end"], "0000000007");
    EXPECT_EQ(keys["count"], "0000000000");  // frame writes of the edit's open
    EXPECT_EQ(keys["session"], "s2");
    EXPECT_EQ(keys["side"], "c");
    EXPECT_EQ(keys["version"], "1");
}

TEST(RecordingDatabase, FailedOpenThrowsLevelDbTextAndRemembersPath) {
    test_support::temp_dir dir;
    const auto file = dir.path() / "plain-file";
    { std::ofstream(file) << "x"; }
    recording_database db;
    try {
        db.open(file.wstring());
        FAIL() << "open of a plain file succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("IO error"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(db.is_open());
    EXPECT_EQ(db.path(), file.wstring());
    // Writes without a handle do nothing instead of failing.
    EXPECT_NO_THROW(db.write_session(std::wstring(L"x")));
    EXPECT_NO_THROW(db.close(std::string("x"), L"y"));
}

TEST(RecordingDatabase, SecondHandleOnOpenDatabaseFailsWithLockError) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "db";
    recording_database first, second;
    first.open(path.wstring());
    try {
        second.open(path.wstring());
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("lock"), std::string::npos) << e.what();
    }
}

TEST(RecordingDatabase, GettersAndSummaryWhileRecording) {
    test_support::temp_dir dir;
    recording_database db;
    db.open((dir.path() / "db").wstring());
    // No frames yet: at-or-after getters land on "version"; time start finds a key.
    EXPECT_EQ(db.dpp_start(), 1u);
    EXPECT_EQ(db.orientation(), L"1");
    EXPECT_EQ(db.time_end(), 1);

    db.store_frame(test_frame(1), 100, 1714566645);
    db.store_frame(test_frame(2), 200, 1714566650);
    EXPECT_EQ(db.dpp_start(), 100u);
    EXPECT_EQ(db.dpp_end(), 200u);
    EXPECT_EQ(db.time_start(), 1714566645);
    EXPECT_EQ(db.time_end(), 1714566650);
    EXPECT_EQ(db.session(), L"1714566650");  // missing: the next key, "time_end"

    std::wstring missing = L"stale";
    ldb_info info = db.summary(&missing);
    EXPECT_EQ(missing, L"");
    EXPECT_EQ(info.dpp_start, 100u);
    EXPECT_EQ(info.dpp_end, 200u);
    EXPECT_EQ(info.count, 2u);
    EXPECT_EQ(info.version, L"1");
    EXPECT_EQ(info.time_start, format_local_time(1714566645));
    EXPECT_EQ(info.time_end, format_local_time(1714566650));
    EXPECT_TRUE(info.session.empty());
    EXPECT_TRUE(info.side.empty());
    EXPECT_TRUE(info.orientation.empty());
}

TEST(RecordingDatabase, LiveReadFindsFrameAtOrAfterOrThePlaceholder) {
    test_support::temp_dir dir;
    recording_database db;
    EXPECT_EQ(db.read_frame(3).cols, 640);  // nothing open: the placeholder, no crash
    db.open((dir.path() / "db").wstring());
    db.store_frame(test_frame(10), 5, 1);
    db.store_frame(test_frame(20), 9, 2);

    cv::Mat at6 = db.read_frame(6);
    ASSERT_EQ(at6.type(), CV_8UC3);
    cv::Mat expected = decode_frame(jpeg_of(test_frame(20)));
    EXPECT_EQ(cv::norm(at6, expected, cv::NORM_INF), 0.0);

    // Past the last frame the seek lands on "dpp_end", which does not decode.
    cv::Mat at10 = db.read_frame(10);
    EXPECT_EQ(at10.type(), CV_8UC1);
    EXPECT_EQ(cv::norm(at10, make_placeholder_frame("Requested frame not found [10]"), cv::NORM_INF), 0.0);
}

namespace {

// Holds every Sync() of a log until released: a disk that takes its time.
class held_sync_env : public leveldb::EnvWrapper {
public:
    held_sync_env() : leveldb::EnvWrapper(leveldb::Env::Default()) {}
    leveldb::Status NewWritableFile(const std::string& name, leveldb::WritableFile** result) override {
        leveldb::Status s = target()->NewWritableFile(name, result);
        if (s.ok() && name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0)
            *result = new file(*result, *this);
        return s;
    }
    void hold() { held_ = true; }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }
    bool wait_until_waiting() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return waiting_; });
    }

private:
    struct file : leveldb::WritableFile {
        file(leveldb::WritableFile* target, held_sync_env& env) : target(target), env(env) {}
        leveldb::Status Append(const leveldb::Slice& data) override { return target->Append(data); }
        leveldb::Status Close() override { return target->Close(); }
        leveldb::Status Flush() override { return target->Flush(); }
        leveldb::Status Sync() override {
            std::unique_lock<std::mutex> lock(env.mutex_);
            env.waiting_ = env.held_.load();
            env.changed_.notify_all();
            env.changed_.wait(lock, [this] { return !env.held_; });
            env.waiting_ = false;
            return target->Sync();
        }
        std::unique_ptr<leveldb::WritableFile> target;
        held_sync_env& env;
    };
    std::mutex mutex_;  // guards waiting_ and the waits on held_
    std::condition_variable changed_;
    std::atomic<bool> held_{false};
    bool waiting_ = false;
};

}  // namespace

// A live read (the image service's, on its own thread) never waits for the disk: while the
// closing write's sync hangs, the last frame is read at once; after the close the database
// reads as closed, never half-closed.
TEST(RecordingDatabase, ALiveReadDoesNotWaitForASyncedClose) {
    test_support::temp_dir dir;
    held_sync_env env;
    recording_database_options options;
    options.env = &env;
    recording_database db(options);
    db.open((dir.path() / "2024.05.01 12.30.45").wstring(), "1 : a", L"левый");
    db.store_frame(test_frame(3), 7, 1714566645);

    env.hold();
    std::thread closing([&] { db.close(std::string("1 : a"), L"левый"); });
    ASSERT_TRUE(env.wait_until_waiting());
    bool open = false;
    const auto stored = db.read_stored(7, &open);
    EXPECT_TRUE(open);
    EXPECT_TRUE(stored.has_value());
    env.release();
    closing.join();

    open = true;
    EXPECT_FALSE(db.read_stored(7, &open).has_value());
    EXPECT_FALSE(open);
    EXPECT_FALSE(db.is_open());
}
