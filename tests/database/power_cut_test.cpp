// Power cuts and full disks under the recording writer, simulated by a storage environment
// that keeps only what was synced (or part of a torn write). After each cut the database
// must open, its summary must agree with what is stored, and every frame written before
// the last sync that ran must be there.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include <leveldb/db.h>

#include "database/database_layout.h"
#include "database/database_reader.h"
#include "database/durable_env.h"
#include "database/recording_database.h"
#include "tests/database/db_test_util.h"
#include "tests/support/fault_injection_env.h"
#include "tests/support/temp_home.h"

using namespace std::chrono_literals;

namespace {

// Noise compresses badly: large frames reach LevelDB's log switch in a few dozen writes.
cv::Mat noise_frame(int seed, int side) {
    cv::Mat image(side, side, CV_8UC1);
    std::mt19937 random(static_cast<unsigned>(seed));
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) image.at<uchar>(y, x) = static_cast<uchar>(random());
    return image;
}

std::uint32_t count_of(int frame) { return 1000u + 10u * static_cast<std::uint32_t>(frame); }

class PowerCut : public ::testing::Test {
protected:
    recording_database_options options() {
        recording_database_options o;
        o.env = &fault;
        o.sync_interval = 1000ms;
        o.steady_now = [this] { return now; };
        // LevelDB's own 4 MiB: a log switch within a hundred small frames.
        o.storage.write_buffer_size = 4u << 20;
        return o;
    }

    // Stores frames [from, to), 250 ms apart; remembers the last one that was synced. A sync
    // point's sync runs on the storage's thread and takes in whatever the log holds by then;
    // unless syncs_run_late, it is waited for at once, so the frames after it stay unsynced
    // however late a busy machine would have run it.
    void store(int from, int to, int side = 64) {
        for (int i = from; i < to; ++i) {
            const std::uint64_t before = db.synced_writes();
            db.store_frame(noise_frame(i, side), count_of(i), 1714566645 + i);
            if (db.synced_writes() > before) {
                last_synced = i;
                if (!syncs_run_late) db.storage().wait_logs_synced();
            }
            now += 250ms;
        }
    }

    // The cut, after the syncs asked for have run (a matter of milliseconds): power off,
    // LevelDB's handle goes (its last writes are lost), the disk keeps what was synced.
    void cut(std::uint64_t keep_unsynced_log = 0) {
        db.storage().wait_logs_synced();
        fault.power_off();
        fault.release_background_work();
        db.abandon();
        fault.restore_after_cut(keep_unsynced_log);
    }

    std::vector<std::string> frame_keys() {
        std::vector<std::string> keys;
        for (const auto& [k, v] : db_test::all_keys(path.string()))
            if (is_frame_key(k)) keys.push_back(k);
        return keys;
    }

    // Frames 0..last are there, none after, and the summary agrees.
    void expect_frames_up_to(int last) {
        std::vector<std::string> expected;
        for (int i = 0; i <= last; ++i) expected.push_back(make_frame_key(count_of(i)));
        EXPECT_EQ(frame_keys(), expected);
        database_reader reader(path.wstring());
        const ldb_info info = reader.summary();
        EXPECT_EQ(info.session, L"77 : z");
        EXPECT_EQ(info.side, L"левый");
        EXPECT_EQ(info.count, static_cast<std::uint64_t>(last + 1));
        EXPECT_EQ(info.dpp_start, count_of(0));
        EXPECT_EQ(info.dpp_end, count_of(last));
        EXPECT_EQ(reader.time_end(), 1714566645 + last);
        EXPECT_EQ(reader.read_frame(count_of(last)).cols, 64);
    }

    test_support::temp_dir dir{"qm-cut"};
    const std::filesystem::path path = dir.path() / "2024.05.01 12.30.45";
    test_support::fault_injection_env fault;
    std::chrono::steady_clock::time_point now{};
    recording_database db{options()};
    int last_synced = -1;
    bool syncs_run_late = false;
};

}  // namespace

TEST_F(PowerCut, SyncsTheFirstFrameAndThenOnceASecond) {
    db.open(path.wstring(), "77 : z", L"левый");
    store(0, 9);
    // 250 ms apart: frames 0, 4 and 8 are the synced ones.
    EXPECT_EQ(db.synced_writes(), 3u);
    EXPECT_EQ(last_synced, 8);
    db.close(std::string("77 : z"), L"левый");
    EXPECT_EQ(db.synced_writes(), 4u);  // the close as well
}

TEST_F(PowerCut, BeforeTheFirstSyncNothingButAnOpenableDatabaseRemains) {
    db.open(path.wstring(), "77 : z", L"левый");
    fault.power_off_after(300);  // in the middle of the first frame's batch
    store(0, 1);
    cut(1u << 20);  // keep even the torn part
    const auto keys = db_test::all_keys(path.string());
    EXPECT_EQ(keys.count("dpp_end"), 0u);
    EXPECT_TRUE(frame_keys().empty());
}

TEST_F(PowerCut, UnsyncedFramesAfterTheLastSyncAreLostWholeNeverHalf) {
    struct cut_point {
        const char* name;
        int frames;       // frames written before the cut
        bool torn;        // power goes in the middle of the next frame's batch
        int expect_last;  // last frame there after the restart
    };
    const cut_point cases[] = {
        {"right after a sync", 5, false, 4},
        {"unsynced frames after a sync", 7, false, 4},
        {"mid-batch, the unsynced tail kept", 6, true, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(path);
        db.open(path.wstring(), "77 : z", L"левый");
        store(0, c.frames);
        std::uint64_t keep = 0;
        if (c.torn) {
            fault.power_off_after(2000);  // a 64 x 64 noise frame's batch is larger
            store(c.frames, c.frames + 1);
            keep = 1u << 20;
        }
        cut(keep);
        expect_frames_up_to(c.expect_last);
    }
}

// LevelDB closes a full log without syncing it and goes on in a new one; until the old
// memtable reaches a table file, the old log's unsynced tail would be lost while later
// synced frames survive: a hole. The storage environment syncs a log before it is closed.
TEST_F(PowerCut, NoHoleAcrossALogSwitchWhileTheMemtableWaitsForItsTable) {
    db.open(path.wstring(), "77 : z", L"левый");
    fault.hold_background_work();
    // About 50 KB a frame: the 4 MiB write buffer is full after some eighty frames.
    store(0, 110, 256);
    int logs = 0;
    for (const auto& e : std::filesystem::directory_iterator(path)) logs += e.path().extension() == ".log";
    ASSERT_EQ(logs, 2);  // the old log is still needed: its table was never written
    ASSERT_GT(last_synced, 100);
    cut();
    std::vector<std::string> keys = frame_keys();
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys.size(), static_cast<std::size_t>(last_synced + 1));
    EXPECT_EQ(keys.back(), make_frame_key(count_of(last_synced)));
    database_reader reader(path.wstring());
    EXPECT_EQ(reader.summary().count, static_cast<std::uint64_t>(last_synced + 1));
}

TEST_F(PowerCut, AFailedWriteEndsTheDatabaseAndKeepsEverythingBefore) {
    db.open(path.wstring(), "77 : z", L"левый");
    store(0, 6);
    fault.fail_writes_after(1500);  // the disk fills in the middle of frame 6
    try {
        store(6, 7);
        FAIL() << "the write into a full disk succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(db.failed());
    EXPECT_EQ(db.frame_count(), 6u);
    // Never written again: the next write fails without reaching the storage.
    fault.fail_writes_after(1u << 30);
    const std::uint64_t appended = fault.appended_bytes();
    EXPECT_THROW(store(7, 8), std::runtime_error);
    EXPECT_EQ(fault.appended_bytes(), appended);
    db.close(std::string("77 : z"), L"левый");  // only drops the handle
    EXPECT_FALSE(db.is_open());
    EXPECT_EQ(fault.appended_bytes(), appended);
    expect_frames_up_to(5);
}

// The frame sync policy syncs only when a later frame comes; what a quiet recording leaves
// unsynced is synced by sync_pending() once its deadline (the oldest unsynced write plus the
// interval) has come, with no key changed.
TEST_F(PowerCut, PendingWritesAreSyncedByTheirDeadlineWithoutANewFrame) {
    db.open(path.wstring(), "77 : z", L"левый");
    store(0, 7);  // frames 0 and 4 synced, 5 and 6 wait
    ASSERT_EQ(last_synced, 4);
    const auto fifth_written = now - 2 * 250ms;
    ASSERT_TRUE(db.sync_deadline());
    EXPECT_EQ(*db.sync_deadline(), fifth_written + 1000ms);
    const auto synced = db.synced_writes();
    db.sync_pending();
    EXPECT_EQ(db.synced_writes(), synced + 1);
    EXPECT_FALSE(db.sync_deadline());
    db.sync_pending();  // nothing waits: no write at all
    EXPECT_EQ(db.synced_writes(), synced + 1);
    cut();
    expect_frames_up_to(6);
    EXPECT_EQ(db_test::all_keys(path.string()).count("count"), 0u);
}

// A sync point hands its sync to the storage's own thread: a disk too busy to sync holds up
// no step, until the sync asked for a whole interval earlier has still not run; that step
// waits for it (and is counted), so a cut never takes more than the frames since.
TEST_F(PowerCut, ASlowSyncHoldsUpOnlyTheStepAnIntervalLater) {
    db.open(path.wstring(), "77 : z", L"левый");
    fault.hold_log_syncs();
    syncs_run_late = true;
    store(0, 4);  // frame 0 is a sync point; its sync waits for the disk
    EXPECT_EQ(last_synced, 0);
    EXPECT_EQ(db.sync_waits(), 0u);
    std::atomic<bool> stored{false};
    std::thread fifth([&] {
        store(4, 5);
        stored = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(stored) << "a step went on with the last interval's sync undone";
    fault.release_log_syncs();
    fifth.join();
    EXPECT_EQ(db.sync_waits(), 1u);
    cut();
    expect_frames_up_to(4);
}

// A sync that fails may have lost the frames it was for: the database ends at the next write,
// with the disk's error, as after a failed write.
TEST_F(PowerCut, AFailedSyncEndsTheDatabase) {
    db.open(path.wstring(), "77 : z", L"левый");
    fault.fail_log_syncs();
    store(0, 1);
    db.storage().wait_logs_synced();
    try {
        store(1, 2);
        FAIL() << "a write went on after a failed sync";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Input/output error"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(db.failed());
    EXPECT_EQ(db.frame_count(), 1u);
}
