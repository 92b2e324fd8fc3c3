// Reading a recording never writes into it: every reader opens it through a read handle, the
// image service's lookups share one per folder, and a recording whose log was never stored as
// a table (closed normally, or cut short by a crash) reads whole from memory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "database/database_layout.h"
#include "database/database_reader.h"
#include "database/database_registry.h"
#include "database/database_scan.h"
#include "database/folder_locks.h"
#include "database/read_only_env.h"
#include "database/reader_pool.h"
#include "database/recording_database.h"
#include "tests/database/db_test_util.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Incompressible stand-ins for JPEG frames: a few of them fill LevelDB's default buffer.
std::string noise_bytes(std::uint32_t seed, std::size_t size) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes) c = static_cast<char>(random());
    return bytes;
}

constexpr std::size_t frame_size = 300 * 1024;

// A recording of `frames` frames at counts 10, 20, ...; closed, or cut short (the handle
// dropped without the closing write, as a crash leaves it: everything still in the log).
std::map<std::uint32_t, std::string> record(const fs::path& folder, int frames, bool crash) {
    std::map<std::uint32_t, std::string> stored;
    recording_database db;
    db.open(folder.wstring(), "A : 1", L"левый");
    for (int i = 1; i <= frames; ++i) {
        const auto count = static_cast<std::uint32_t>(10 * i);
        stored[count] = noise_bytes(count, frame_size);
        db.store_encoded_frame(stored[count], count, 1714566645 + i);
    }
    db.sync_pending();
    if (!crash) db.close(std::string("A : 1"), L"левый");
    return stored;
}

ldb_info summary_for() {
    ldb_info info;
    info.session = L"A : 1";
    info.dpp_start = 0;
    info.dpp_end = 1000000;
    return info;
}

}  // namespace

// Each way the program reads a recording, run against a recording closed normally and one
// cut short: the folder's file list and every file's bytes stay the same, and every frame
// reads back as stored. 20 frames of 300 KB are more than LevelDB's default buffer, so the
// log's replay makes level-0 tables (in memory).
// Whether a child process could take a writer's lock on the file (a refused reader must leave
// the recorder's lock in place).
bool another_process_can_lock(const fs::path& lock_file) {
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(lock_file.c_str(), O_RDWR);
        struct flock request {};
        request.l_type = F_WRLCK;
        request.l_whence = SEEK_SET;
        ::_exit(fd >= 0 && ::fcntl(fd, F_SETLK, &request) == 0 ? 0 : 1);
    }
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ReadOnlyRecording, NoReaderChangesAnyFileOfTheFolder) {
    struct reader_case {
        const char* name;
        std::function<void(const fs::path&, const std::map<std::uint32_t, std::string>&)> read;
    };
    const std::vector<reader_case> readers = {
        {"100 lookups of the image service",
         [](const fs::path& folder, const std::map<std::uint32_t, std::string>& frames) {
             database_registry registry;
             registry.add(summary_for(), folder.wstring());
             for (int i = 0; i < 100; ++i) {
                 auto it = frames.begin();
                 std::advance(it, i % frames.size());
                 const auto found = registry.stored_lookup(L"A : 1", it->first);
                 ASSERT_TRUE(found.stored);
                 ASSERT_EQ(*found.stored, it->second);
             }
         }},
        {"the viewer's reader, open and close",
         [](const fs::path& folder, const std::map<std::uint32_t, std::string>& frames) {
             database_reader reader(folder.wstring());
             EXPECT_EQ(reader.summary().count, frames.size());
             std::size_t seen = 0;
             reader.each_stored(0, 1000000, [&](std::uint32_t count, const std::string& bytes) {
                 ++seen;
                 EXPECT_EQ(bytes, frames.at(count)) << count;
             });
             EXPECT_EQ(seen, frames.size());
         }},
        {"a reader over the pool's shared handle",
         [](const fs::path& folder, const std::map<std::uint32_t, std::string>& frames) {
             reader_pool pool(10ms);
             auto reader = pool.open_reader(folder.wstring());
             EXPECT_EQ(reader->frame_counts([] { return true; }).size(), frames.size());
         }},
        {"the list's scan without its maintenance",
         [](const fs::path& folder, const std::map<std::uint32_t, std::string>& frames) {
             int found = 0;
             scan_callbacks callbacks;
             callbacks.found = [&](const std::wstring&, const ldb_info& info) {
                 ++found;
                 EXPECT_EQ(info.count, frames.size());
             };
             scan_databases(folder.parent_path().wstring(), callbacks);
             EXPECT_EQ(found, 1);
         }},
    };
    struct recording_case {
        const char* name;
        int frames;
        bool crash;
    };
    // 48 frames replay into four level-0 tables: LevelDB's compaction trigger, so the read
    // handle's open starts a compaction, which must stay out of the folder (and out of memory).
    const std::vector<recording_case> recordings = {
        {"closed", 20, false}, {"cut short", 20, true}, {"closed, at the compaction trigger", 48, false}};
    for (const auto& recording : recordings) {
        for (const auto& reader : readers) {
            test_support::temp_dir dir;
            const fs::path folder = dir.path() / "2024.05.01 12.30.45";
            const auto frames = record(folder, recording.frames, recording.crash);
            const auto before = db_test::folder_checksums(folder);
            reader.read(folder, frames);
            EXPECT_EQ(db_test::folder_checksums(folder), before) << reader.name << ", " << recording.name;
        }
    }
}

// The viewer, the comparison and the export open a recording while the image service's
// handle holds it, and the other way round; a writer is kept out meanwhile, and the recording
// being written is not opened for reading (the recorder serves it from its own handle).
TEST(ReadOnlyRecording, ReadersShareTheFolderAndKeepWritersOut) {
    test_support::temp_dir dir;
    const fs::path folder = dir.path() / "db";
    const auto frames = record(folder, 3, false);
    database_registry registry;
    registry.add(summary_for(), folder.wstring());
    {
        const auto held = registry.readers().acquire(folder.wstring());
        ASSERT_TRUE(held);
        database_reader viewer(folder.wstring());
        EXPECT_EQ(*viewer.read_stored(10), frames.at(10));
        auto export_handle = open_leveldb_read_only(folder.string());
        EXPECT_TRUE(export_handle->db);
        EXPECT_EQ(*registry.stored_lookup(L"A : 1", 20).stored, frames.at(20));
        try {
            open_leveldb(folder.string(), false);
            ADD_FAILURE() << "a writer opened a folder being read";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("IO error: lock "), std::string::npos) << e.what();
        }
    }

    const fs::path live = dir.path() / "live";
    recording_database recorder;
    recorder.open(live.wstring(), "B : 2", L"правый");
    recorder.store_encoded_frame("frame", 5, 1);
    EXPECT_THROW(database_reader{live.wstring()}, std::runtime_error);
    EXPECT_EQ(*recorder.read_stored(5), "frame");
    // The refused reader left the recorder's lock in place: another process cannot take it.
    EXPECT_FALSE(another_process_can_lock(live / "LOCK")) << "another process could lock the recording";
    recorder.close(std::string("B : 2"), L"правый");
    EXPECT_EQ(*database_reader(live.wstring()).read_stored(5), "frame");
}

// The upload's hold: a reader's lock for as long as it lives, never taken from a writer.
TEST(ReadOnlyRecording, AHoldKeepsWritersOutAndIsNeverTakenFromOne) {
    test_support::temp_dir dir;
    const fs::path folder = dir.path() / "db";
    record(folder, 3, false);
    {
        const folder_read_hold hold(folder.string());
        ASSERT_TRUE(hold.held());
        EXPECT_EQ(recording_folder_use(folder.string()), folder_use::read);
        EXPECT_THROW(open_leveldb(folder.string(), false), std::runtime_error);
    }
    EXPECT_EQ(recording_folder_use(folder.string()), folder_use::none);
    EXPECT_NO_THROW(open_leveldb(folder.string(), false)) << "the hold ended with its object";

    const fs::path live = dir.path() / "live";
    recording_database recorder;
    recorder.open(live.wstring(), "B : 2", L"правый");
    EXPECT_EQ(recording_folder_use(live.string()), folder_use::write);
    EXPECT_FALSE(folder_read_hold(live.string()).held());
    // Refused without touching LOCK: the recorder's own lock is still there for other processes.
    EXPECT_FALSE(another_process_can_lock(live / "LOCK")) << "another process could lock the recording";
    recorder.close(std::string("B : 2"), L"правый");
}

// One handle per folder however many read it, kept open a while after the last use and then
// closed; a deletion or an edit does not wait for that while.
TEST(ReadOnlyRecording, ThePoolSharesOneHandleAndClosesItWhenIdle) {
    test_support::temp_dir dir;
    const fs::path folder = dir.path() / "db";
    record(folder, 2, false);
    reader_pool pool(100ms);
    {
        auto viewer = pool.open_reader(folder.wstring());
        auto comparison = pool.open_reader(folder.wstring());
        const auto lookup = pool.acquire(folder.wstring());
        EXPECT_EQ(viewer->shared_handle(), comparison->shared_handle());
        EXPECT_EQ(viewer->shared_handle(), lookup->shared_handle());
        viewer->seek(20);  // iterators of its own: the other reader stays where it was
        EXPECT_EQ(viewer->current_key(), "0000000020");
        EXPECT_EQ(comparison->current_key(), "0000000010");
        EXPECT_EQ(pool.open_count(), 1u);
    }
    EXPECT_EQ(pool.open_count(), 0u);
    EXPECT_EQ(pool.idle_count(), 1u);  // kept for the next lookup
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (pool.idle_count() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(pool.idle_count(), 0u);

    // An idle handle goes at once when the folder is retired or an edit needs it.
    pool.acquire(folder.wstring());
    ASSERT_EQ(pool.idle_count(), 1u);
    pool.close_unused(folder.wstring());
    EXPECT_EQ(pool.idle_count(), 0u);
    pool.acquire(folder.wstring());
    pool.retire(folder.wstring());
    pool.wait_unused(folder.wstring());
    EXPECT_EQ(pool.idle_count() + pool.open_count(), 0u);
    EXPECT_FALSE(pool.acquire(folder.wstring()));
    EXPECT_THROW(pool.open_reader(folder.wstring()), std::runtime_error);
}

// The list's first start still does its one-time work on a recording cut short (the count is
// stored, the log becomes a table), and only then writes; the next start changes nothing.
TEST(ReadOnlyRecording, TheScanMaintainsOnceThenOnlyReads) {
    test_support::temp_dir dir;
    const fs::path folder = dir.path() / "cut";
    record(folder, 20, true);
    scan_callbacks settle;
    settle.settle_databases = true;
    std::uint64_t count = 0;
    settle.found = [&](const std::wstring&, const ldb_info& info) { count = info.count; };
    scan_databases(dir.path().wstring(), settle);
    EXPECT_EQ(count, 20u);
    EXPECT_EQ(db_test::all_keys(folder.string()).at("count"), "0000000020");
    const auto settled = db_test::folder_checksums(folder);
    scan_databases(dir.path().wstring(), settle);
    EXPECT_EQ(count, 20u);
    EXPECT_EQ(db_test::folder_checksums(folder), settled);
}

// What LevelDB writes through a read handle stays in memory and is read back from there; a
// removed file is only hidden; the background thread (compactions) may write nothing at all.
TEST(ReadOnlyRecording, TheEnvironmentKeepsWritesInMemory) {
    test_support::temp_dir dir;
    const fs::path folder = dir.path() / "db";
    record(folder, 1, false);
    const auto before = db_test::folder_checksums(folder);
    read_only_env env(leveldb::Env::Default());
    const std::string manifest = (folder / "MANIFEST-000099").string();
    leveldb::WritableFile* file = nullptr;
    ASSERT_TRUE(env.NewWritableFile(manifest, &file).ok());
    ASSERT_TRUE(file->Append("record").ok());
    delete file;
    std::string back;
    ASSERT_TRUE(leveldb::ReadFileToString(&env, manifest, &back).ok());
    EXPECT_EQ(back, "record");
    ASSERT_TRUE(env.RenameFile(manifest, (folder / "CURRENT").string()).ok());
    ASSERT_TRUE(leveldb::ReadFileToString(&env, (folder / "CURRENT").string(), &back).ok());
    EXPECT_EQ(back, "record");
    ASSERT_TRUE(env.RemoveFile((folder / "LOG").string()).ok());
    EXPECT_FALSE(env.FileExists((folder / "LOG").string()));
    std::vector<std::string> children;
    ASSERT_TRUE(env.GetChildren(folder.string(), &children).ok());
    EXPECT_EQ(std::count(children.begin(), children.end(), "LOG"), 0);
    EXPECT_EQ(std::count(children.begin(), children.end(), "CURRENT"), 1);
    EXPECT_EQ(std::count(children.begin(), children.end(), "MANIFEST-000099"), 0);

    struct attempt {
        read_only_env* env;
        leveldb::Status status;
        std::atomic<bool> done{false};
    } background{&env, {}};
    env.Schedule(
        [](void* arg) {
            auto* a = static_cast<attempt*>(arg);
            leveldb::WritableFile* table = nullptr;
            a->status = a->env->NewWritableFile("/nonexistent/000100.ldb", &table);
            delete table;
            a->done = true;
        },
        &background);
    while (!background.done) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(background.status.ok());
    EXPECT_EQ(db_test::folder_checksums(folder), before);
}
