#include <algorithm>
#include <gtest/gtest.h>

#include <any>
#include <filesystem>
#include <fstream>

#include "database/database_loader.h"
#include "database/database_scan.h"
#include "database/load_thread.h"
#include "database/recording_database.h"
#include "tests/database/db_test_util.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;
using test_support::recording_sink;

namespace {

void record(const fs::path& path, const std::string& session, std::initializer_list<std::uint32_t> counts) {
    recording_database db;
    db.open(path.wstring());
    for (auto c : counts) db.store_frame(db_test::test_frame(1), c, 1714566645);
    db.close(session, L"левый");
}

std::vector<thread_message> of_kind(const recording_sink& sink, thread_event kind) {
    std::vector<thread_message> out;
    for (auto& m : sink.messages())
        if (kind_of(m) == kind) out.push_back(m);
    return out;
}

}  // namespace

TEST(LoadThread, ListsDatabasesSkipsFilesAndHiddenFoldersThenPostsTheDiskLine) {
    test_support::temp_dir dir;
    record(dir.path() / "2024.05.01 12.30.45", "A : 1", {5, 9});
    record(dir.path() / "2024.05.02 08.00.00", "B : 2", {7});
    record(dir.path() / ".hidden", "C : 3", {1});
    { std::ofstream(dir.path() / "notes.txt") << "not a database"; }

    auto sink = std::make_shared<recording_sink>();
    load_thread job(sink, dir.path().wstring() + L"/", 4);  // trailing separator is dropped
    EXPECT_EQ(job.run(), 0);

    auto infos = of_kind(*sink, thread_event::database_info);
    ASSERT_EQ(infos.size(), 2u);
    std::map<std::wstring, ldb_info> by_path;
    for (auto& m : infos) {
        EXPECT_EQ(std::get<database_info_message>(m).generation, 4);
        by_path[text_of(m)] = std::get<database_info_message>(m).summary;
    }
    const auto first = (dir.path() / "2024.05.01 12.30.45").wstring();
    ASSERT_TRUE(by_path.count(first));
    EXPECT_EQ(by_path[first].session, L"A : 1");
    EXPECT_EQ(by_path[first].side, L"левый");
    EXPECT_EQ(by_path[first].dpp_start, 5u);
    EXPECT_EQ(by_path[first].dpp_end, 9u);
    EXPECT_EQ(by_path[first].count, 2u);
    EXPECT_TRUE(of_kind(*sink, thread_event::log_error).empty());

    auto status = of_kind(*sink, thread_event::status_text);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(std::get<status_text_message>(status[0]).field, 3);
    EXPECT_EQ(text_of(status[0]).rfind(L"Диск: ", 0), 0u) << text_of(status[0]);
    EXPECT_NE(text_of(status[0]).find(L" GB Cвободно: "), std::wstring::npos);
    EXPECT_EQ(kind_of(sink->messages().back()), thread_event::status_text);  // after the rows
}

TEST(LoadThread, BadFoldersGiveOneErrorRowEachAndTheRestAreListed) {
    test_support::temp_dir dir;
    record(dir.path() / "good", "A : 1", {5});
    fs::create_directory(dir.path() / "not a database");
    record(dir.path() / "no frames", "12 : 34", {});

    auto sink = std::make_shared<recording_sink>();
    EXPECT_EQ(load_thread(sink, dir.path().wstring()).run(), 0);
    EXPECT_EQ(of_kind(*sink, thread_event::database_info).size(), 1u);
    auto errors = sink->texts(thread_event::log_error);
    ASSERT_EQ(errors.size(), 2u);
    std::sort(errors.begin(), errors.end());
    // Each row names its folder in Russian: no bare parse error.
    EXPECT_EQ(errors[0], L"База no frames: нет кадров");
    EXPECT_EQ(errors[1].rfind(L"База not a database: повреждена: ", 0), 0u) << errors[1];
    EXPECT_NE(errors[1].find(L"does not exist (create_if_missing is false)"), std::wstring::npos) << errors[1];
}

TEST(UnreadableDatabase, TellsAnEmptyRecordingFromADamagedOne) {
    test_support::temp_dir dir;
    record(dir.path() / "empty", "12 : 34", {});
    record(dir.path() / "frames", "12 : 34", {5});
    fs::create_directory(dir.path() / "plain");
    EXPECT_EQ(database_has_frames((dir.path() / "empty").wstring()), false);
    EXPECT_EQ(database_has_frames((dir.path() / "frames").wstring()), true);
    EXPECT_FALSE(database_has_frames((dir.path() / "plain").wstring()).has_value());
    EXPECT_EQ(unreadable_database_text((dir.path() / "empty").wstring() + L"/", "bad lexical cast"),
              L"База empty: нет кадров");
    // Frames but a broken value: damaged, with what broke.
    EXPECT_EQ(unreadable_database_text((dir.path() / "frames").wstring(), "bad lexical cast"),
              L"База frames: повреждена: bad lexical cast");
    EXPECT_TRUE(fs::is_empty(dir.path() / "plain"));  // looking changed nothing
}

TEST(LoadThread, MissingOrEmptyWritePathPostsNothing) {
    test_support::temp_dir dir;
    { std::ofstream(dir.path() / "file") << "x"; }
    auto sink = std::make_shared<recording_sink>();
    EXPECT_EQ(load_thread(sink, dir.path().wstring()).run(), 0);
    EXPECT_EQ(load_thread(sink, (dir.path() / "missing").wstring()).run(), 0);
    EXPECT_TRUE(sink->messages().empty());
    EXPECT_EQ(load_thread(nullptr, dir.path().wstring()).run(), 0);  // a null sink is fine
}

TEST(DiskLine, TextVolumeAndWholeGibibytes) {
    const std::uint64_t gib = 1073741824ull;
    EXPECT_EQ(make_disk_line(L"C", 500 * gib, 120 * gib + gib * 7 / 10), L"Диск: C: Всего: 500 GB Cвободно: 120 GB");
    test_support::temp_dir dir;
    const std::wstring volume = volume_of(dir.path().wstring());
    EXPECT_FALSE(volume.empty());
    EXPECT_EQ(fs::canonical(dir.path()).wstring().rfind(volume, 0), 0u) << volume;
    auto space = disk_space_of(dir.path().wstring());
    ASSERT_TRUE(space.has_value());
    EXPECT_GE(space->total, space->free);
    EXPECT_FALSE(disk_space_of(L"/no/such/folder").has_value());
}

TEST(DatabaseLoader, ReloadFillsRegistryAndListOnceAndDropsSupersededReports) {
    test_support::temp_dir dir;
    for (int i = 0; i < 6; ++i) record(dir.path() / ("db" + std::to_string(i)), "S : 1", {1, 2});
    database_registry registry;
    database_loader loader(registry);
    auto sink = std::make_shared<recording_sink>();

    loader.reload(sink, dir.path().wstring());
    loader.reload(sink, dir.path().wstring());  // while the first may still run
    loader.wait();
    // The window handles the queued events in order, reports of both scans included.
    for (auto& m : of_kind(*sink, thread_event::database_info))
        loader.on_database_info(std::get<database_info_message>(m));
    EXPECT_EQ(registry.size(), 6u);
    EXPECT_EQ(loader.model().size(), 6u);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());  // scans never met each other
    EXPECT_FALSE(loader.is_current_scan(1));
    EXPECT_TRUE(loader.is_current_scan(2));

    database_info_message from_write_thread{L"/w/new", ldb_info{}};
    EXPECT_TRUE(loader.on_database_info(from_write_thread));  // not from a scan: always taken
    EXPECT_EQ(loader.model().rows().back().path, L"/w/new");
    EXPECT_EQ(registry.size(), 7u);

    registry.remove(L"/w/new");
    loader.resync();
    EXPECT_EQ(loader.model().size(), 6u);
    auto shown = loader.model().rows();  // the list's own order: newest first
    auto held = registry.snapshot();
    auto by_path = [](const registry_entry& a, const registry_entry& b) { return a.path < b.path; };
    std::sort(shown.begin(), shown.end(), by_path);
    std::sort(held.begin(), held.end(), by_path);
    EXPECT_EQ(shown, held);

    // A database deleted while its scan report was still queued stays deleted.
    const database_info_message queued{L"/w/deleted", ldb_info{}, 2};
    loader.forget(L"/w/deleted");
    EXPECT_FALSE(loader.on_database_info(queued));
    EXPECT_EQ(registry.size(), 6u);
    loader.reload(sink, dir.path().wstring());
    loader.wait();
    EXPECT_TRUE(loader.on_database_info(database_info_message{L"/w/deleted", ldb_info{}, 3}))
        << "a new scan that finds the folder again lists it";
}

TEST(DatabaseLoader, DestructionStopsARunningScan) {
    test_support::temp_dir dir;
    for (int i = 0; i < 30; ++i) record(dir.path() / ("db" + std::to_string(i)), "S : 1", {1});
    auto sink = std::make_shared<recording_sink>();
    {
        database_registry registry;
        database_loader loader(registry);
        loader.reload(sink, dir.path().wstring());
    }  // joins; must not hang or post afterwards
    const auto posted = sink->messages().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sink->messages().size(), posted);
}

// A recording cut short (no close, so no "count") is counted by reading its frames at the
// first scan; that count is stored once as "count" and nothing else changes, so the next scan
// reads the key. A scan that is not asked to store (the command-line tool's) writes nothing.
TEST(LoadThread, StoresTheCountOfACrashRecoveredDatabaseOnce) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "2024.05.01 12.30.45";
    {
        recording_database db;
        db.open(path.wstring(), "A : 1", L"левый");
        for (std::uint32_t c : {5, 6, 9}) db.store_frame(db_test::test_frame(static_cast<int>(c)), c, 1714566645);
    }  // destroyed without close(), as by a crash
    const auto before = db_test::all_keys(path.string());
    ASSERT_EQ(before.count("count"), 0u);

    scan_databases(dir.path().wstring(), {});  // read-only scan
    EXPECT_EQ(db_test::all_keys(path.string()), before);

    const auto scan = [&] {
        auto sink = std::make_shared<recording_sink>();
        load_thread(sink, dir.path().wstring(), 1).run();
        auto infos = of_kind(*sink, thread_event::database_info);
        EXPECT_EQ(infos.size(), 1u);
        return infos.empty() ? ldb_info{} : std::get<database_info_message>(infos[0]).summary;
    };
    EXPECT_EQ(scan().count, 3u);
    // The stored count is below level 0 already: the next start has no log to replay, and no
    // pile of level-0 tables that would start a compaction at every open.
    for (const auto& e : fs::directory_iterator(path)) {
        if (e.path().extension() == ".log") {
            EXPECT_EQ(fs::file_size(e.path()), 0u) << e.path();
        }
    }
    EXPECT_EQ(db_test::level0_tables(path.string()), "0");
    auto expected = before;
    expected["count"] = "0000000003";
    const auto after_first = db_test::all_keys(path.string());
    EXPECT_EQ(after_first, expected);

    // One more frame key behind the count's back: a second scan that counted again would say 4.
    db_test::write_raw(path.string(), {{"0000000010", before.at("0000000009")}});
    const auto before_second = db_test::all_keys(path.string());
    EXPECT_EQ(scan().count, 3u);
    EXPECT_EQ(db_test::all_keys(path.string()), before_second);
}

// A properly closed recording leaves its buffer (up to 16 MB) in the log. The first open
// replays it with a default 4 MB buffer into four level-0 tables: LevelDB's compaction trigger.
// A list start's open is too short for that compaction, so without the scan's settling every
// later open would start one and abandon it at close.
TEST(LoadThread, SettlesALevelZeroPileLeftByAClosedRecordingsLog) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "2024.05.01 12.30.45";
    std::map<std::string, std::string> frames;
    {
        recording_database db;
        db.open(path.wstring(), "A : 1", L"левый");
        std::string frame(400 << 10, '\0');
        for (std::uint32_t c = 1; c <= 36; ++c) {  // 14.4 MB: no flush of the writer's buffer
            for (std::size_t i = 0; i < frame.size(); i += 4096) frame[i] = static_cast<char>(c + i / 4096);
            db.store_encoded_frame(frame, c, 1714566645);
            frames[make_frame_key(c)] = frame;
        }
        db.close("A : 1", L"левый");
    }  // not opened again before the scan: its open is the one that replays the log

    auto sink = std::make_shared<recording_sink>();
    load_thread(sink, dir.path().wstring(), 1).run();
    ASSERT_EQ(of_kind(*sink, thread_event::database_info).size(), 1u);

    EXPECT_EQ(db_test::level0_tables(path.string()), "0");
    auto stored = db_test::all_keys(path.string());
    EXPECT_EQ(stored["count"], "0000000036");
    std::erase_if(stored, [](const auto& kv) { return !is_frame_key(kv.first); });
    EXPECT_TRUE(stored == frames);
}
