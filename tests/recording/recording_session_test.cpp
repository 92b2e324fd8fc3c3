#include "recording/recording_session.h"

#include "camera/frame_buffer.h"
#include "database/database_layout.h"
#include "database/frame_image.h"
#include "base/ldb_info.h"
#include "base/locale_text.h"
#include "tests/support/fault_injection_env.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>
#include <leveldb/db.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace {

// Every key and value of a closed database.
std::map<std::string, std::string> contents(const std::wstring& path) {
    std::map<std::string, std::string> out;
    auto db = open_leveldb(to_narrow(path), false);
    std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
    for (it->SeekToFirst(); it->Valid(); it->Next()) out[it->key().ToString()] = it->value().ToString();
    return out;
}

std::vector<std::string> frame_keys(const std::map<std::string, std::string>& m) {
    std::vector<std::string> keys;
    for (const auto& [k, v] : m)
        if (is_frame_key(k)) keys.push_back(k);
    return keys;
}

class RecordingSession : public ::testing::Test {
protected:
    RecordingSession()
        : sink(std::make_shared<test_support::recording_sink>()),
          session(sink, dir.path().wstring(), L"правый", "", &fb, db, [this] { return now; }) {
        fb.width = 8;
        fb.height = 6;
        fb.image.assign(48, 0);
    }

    void new_frame(std::uint64_t stamp) {
        std::unique_lock<std::shared_mutex> lock(fb.lock);
        std::fill(fb.image.begin(), fb.image.end(), static_cast<std::uint8_t>(stamp * 10));
        fb.timestamp = stamp;
    }

    std::vector<std::wstring> statuses() const { return sink->texts(thread_event::record_status); }
    std::vector<std::wstring> infos() const { return sink->texts(thread_event::log_info); }

    std::vector<thread_message> database_infos() const {
        std::vector<thread_message> out;
        for (auto& m : sink->messages())
            if (kind_of(m) == thread_event::database_info) out.push_back(m);
        return out;
    }

    std::vector<std::filesystem::path> folders() const {
        std::vector<std::filesystem::path> out;
        for (auto& e : std::filesystem::directory_iterator(dir.path())) out.push_back(e.path());
        std::sort(out.begin(), out.end());
        return out;
    }

    test_support::temp_dir dir{"qm-rec"};
    frame_buffer fb;
    recording_database db;
    std::time_t now = 1714566645;  // one fixed second: every database starts within it
    std::shared_ptr<test_support::recording_sink> sink;
    recording_session session;
};

}  // namespace

TEST_F(RecordingSession, BeforeTheFirstFrameADatabaseOpensButNothingIsStoredOrReported) {
    session.step(10, 7);
    session.step(11, 7);
    EXPECT_TRUE(db.is_open());
    EXPECT_EQ(statuses(),
              (std::vector<std::wstring>{L"ДПП[7]: 10 Записано кадров: 0", L"ДПП[7]: 11 Записано кадров: 0"}));
    session.finish();
    EXPECT_FALSE(db.is_open());
    EXPECT_TRUE(database_infos().empty());
    // The folder carries the local time of the first message.
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::strftime(name, sizeof name, "%Y.%m.%d %H.%M.%S", &local);
    ASSERT_EQ(folders().size(), 1u);
    EXPECT_EQ(folders()[0].filename().string(), name);
    const auto m = contents(folders()[0].wstring());
    EXPECT_TRUE(frame_keys(m).empty());
    EXPECT_EQ(m.at("count"), "0000000000");
}

TEST_F(RecordingSession, EachCameraFrameIsStoredOnceUnderTheCountThatFoundIt) {
    new_frame(1);
    session.step(5, 4);
    session.step(6, 4);  // same frame: nothing stored
    new_frame(2);
    session.step(6, 4);  // equal count: not a reset, the new frame is stored
    new_frame(3);
    now += 2;
    session.step(9, 4);
    EXPECT_EQ(statuses(),
              (std::vector<std::wstring>{L"ДПП[4]: 5 Записано кадров: 1", L"ДПП[4]: 6 Записано кадров: 1",
                                         L"ДПП[4]: 6 Записано кадров: 2", L"ДПП[4]: 9 Записано кадров: 3"}));
    const std::wstring path = db.path();
    session.finish();
    EXPECT_TRUE(infos().empty());  // no reset, no session change

    const auto m = contents(path);
    EXPECT_EQ(frame_keys(m), (std::vector<std::string>{"0000000005", "0000000006", "0000000009"}));
    EXPECT_EQ(m.at("dpp_start"), "0000000005");
    EXPECT_EQ(m.at("dpp_end"), "0000000009");
    EXPECT_EQ(m.at("time_start"), std::to_string(now - 2));
    EXPECT_EQ(m.at("time_end"), std::to_string(now));
    EXPECT_EQ(m.at("count"), "0000000003");
    EXPECT_EQ(m.at("side"), "правый");
    EXPECT_EQ(m.at("session"), "");

    const auto reports = database_infos();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(text_of(reports[0]), path);
    const auto info = std::get<database_info_message>(reports[0]).summary;
    EXPECT_EQ(info.count, 3u);
    EXPECT_EQ(info.dpp_start, 5u);
    EXPECT_EQ(info.dpp_end, 9u);
    EXPECT_EQ(info.side, L"правый");
    EXPECT_EQ(info.session, L"");
}

// A new database in the same second as the previous one gets a folder of its own; the
// closed one is never reopened.
TEST_F(RecordingSession, ABackwardsCountStartsANewDatabaseInAFolderOfItsOwn) {
    new_frame(1);
    session.step(100, 7);
    const std::wstring first = db.path();
    new_frame(2);
    session.step(50, 7);
    EXPECT_EQ(infos(), std::vector<std::wstring>{L"Сброс ДПП: 100 → 50"});
    const std::wstring second = db.path();
    EXPECT_EQ(second, first + L"_2");
    session.step(40, 7);  // a second reset in the same second: a third folder
    EXPECT_EQ(db.path(), first + L"_3");
    session.finish();
    EXPECT_EQ(statuses().back(), L"ДПП[7]: 40 Записано кадров: 0");

    const auto a = contents(first);
    EXPECT_EQ(frame_keys(a), std::vector<std::string>{"0000000100"});
    EXPECT_EQ(a.at("dpp_start"), "0000000100");
    EXPECT_EQ(a.at("count"), "0000000001");
    // The unseen frame became the new database's first, with the lower count as start.
    const auto b = contents(second);
    EXPECT_EQ(frame_keys(b), std::vector<std::string>{"0000000050"});
    EXPECT_EQ(b.at("dpp_start"), "0000000050");
    EXPECT_EQ(b.at("count"), "0000000001");
    EXPECT_EQ(folders().size(), 3u);
    // Each database closed by a reset is listed at once; the last one holds no frames.
    const auto reports = database_infos();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(text_of(reports[0]), first);
    EXPECT_EQ(text_of(reports[1]), second);
}

TEST_F(RecordingSession, SessionChangesCloseOnlyDatabasesOfANonEmptyCode) {
    new_frame(1);
    session.step(1, 7);
    const std::wstring unnamed = db.path();
    // From the empty code: the open database is kept and later closed under the new code.
    session.set_session_code("12 : ab");
    session.set_session_code("12 : ab");
    EXPECT_TRUE(db.is_open());
    EXPECT_EQ(db.path(), unnamed);
    EXPECT_EQ(session.session_code(), "12 : ab");
    new_frame(2);
    session.step(2, 7);
    // From a non-empty code: closed under the old code; the next message opens a new one.
    session.set_session_code("13 : ab");
    EXPECT_FALSE(db.is_open());
    new_frame(3);
    session.step(3, 7);
    const std::wstring named = db.path();
    EXPECT_EQ(named, unnamed + L"_2");
    session.finish();

    EXPECT_EQ(infos(),
              (std::vector<std::wstring>{L"Начат новый сеанс (код: 12 : ab)", L"Начат новый сеанс (код: 13 : ab)"}));
    EXPECT_EQ(contents(unnamed).at("session"), "12 : ab");
    EXPECT_EQ(contents(unnamed).at("count"), "0000000002");
    EXPECT_EQ(contents(named).at("session"), "13 : ab");
    // The session change listed the old session's database at once, the end the new one.
    const auto reports = database_infos();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(std::get<database_info_message>(reports[0]).summary.session, L"12 : ab");
    EXPECT_EQ(text_of(reports[0]), unnamed);
    EXPECT_EQ(std::get<database_info_message>(reports[1]).summary.session, L"13 : ab");
}

TEST_F(RecordingSession, ClearingTheCodeClosesTheDatabaseOfTheOldOne) {
    session.set_session_code("A");
    new_frame(1);
    session.step(1, 7);
    const std::wstring path = db.path();
    session.set_session_code("");
    EXPECT_FALSE(db.is_open());
    EXPECT_EQ(infos().back(), L"Начат новый сеанс (код: )");
    EXPECT_EQ(contents(path).at("session"), "A");
}

TEST_F(RecordingSession, DeepFramesAreReducedToTheImageSize) {
    fb.pixel_format = 0x01100005;  // Mono12 in 16-bit containers
    fb.bits_per_pixel = 16;
    fb.image.assign(2 * 48, 0xFF);
    fb.timestamp = 9;
    session.step(1, 7);
    const std::wstring path = db.path();
    session.finish();
    const auto m = contents(path);
    ASSERT_EQ(frame_keys(m).size(), 1u);
    const auto image = decode_frame(m.at("0000000001"));
    EXPECT_EQ(image.cols, 8);
    EXPECT_EQ(image.rows, 6);
}

TEST_F(RecordingSession, ADatabaseThatCannotBeOpenedThrowsItsError) {
    recording_database other;
    const std::filesystem::path file = dir.path() / "not-a-folder";
    std::ofstream(file) << "x";
    recording_session bad(nullptr, file.wstring(), L"левый", "", &fb, other);
    EXPECT_THROW(bad.step(1, 7), std::runtime_error);
    EXPECT_FALSE(other.is_open());
}

// Write paths are locale multibyte text like every other path; a non-ASCII one must neither
// throw nor lose the per-recording suffixes.
TEST_F(RecordingSession, NonAsciiWritePathGetsItsFoldersAndSuffixes) {
    const std::filesystem::path base = dir.path() / "Данные";
    std::filesystem::create_directory(base);
    recording_database other;
    recording_session cyrillic(sink, to_wide(base.string()), L"левый", "", &fb, other, [this] { return now; });
    new_frame(1);
    cyrillic.step(10, 7);
    const std::wstring first = other.path();
    new_frame(2);
    cyrillic.step(5, 7);
    EXPECT_EQ(other.path(), first + L"_2");
    cyrillic.finish();
    std::size_t made = 0;
    for (auto& e : std::filesystem::directory_iterator(base)) made += e.is_directory();
    EXPECT_EQ(made, 2u);
    EXPECT_EQ(contents(first).at("dpp_start"), "0000000010");
}

// A full disk in the middle of a recording: the database ends there for good, is reported
// with what it holds, and the next recording starts a new one.
TEST_F(RecordingSession, AFailedWriteStopsTheRecordingAndTheNextOneStartsANewDatabase) {
    test_support::fault_injection_env fault;
    recording_database_options options;
    options.env = &fault;
    recording_database full(options);
    {
        recording_session s(sink, dir.path().wstring(), L"правый", "5 : 6", &fb, full, [this] { return now; });
        for (std::uint64_t i = 1; i <= 3; ++i) {
            new_frame(i);
            s.step(static_cast<std::uint32_t>(i), 7);
        }
        const std::wstring first = full.path();
        fault.fail_writes_after(100);
        new_frame(4);
        s.step(4, 7);
        EXPECT_TRUE(s.halted());
        EXPECT_FALSE(full.is_open());
        const auto errors = sink->texts(thread_event::log_error);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(
            errors[0].rfind(L"Запись остановлена: не удалось записать в базу данных " + first + L": IO error: ", 0), 0u)
            << to_narrow(errors[0]);
        EXPECT_NE(errors[0].find(L"No space left on device"), std::wstring::npos);
        EXPECT_EQ(statuses().back(), L"Запись остановлена: ошибка записи. Записано кадров: 3");
        const auto reports = database_infos();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(text_of(reports[0]), first);
        EXPECT_EQ(std::get<database_info_message>(reports[0]).summary.count, 3u);
        EXPECT_EQ(std::get<database_info_message>(reports[0]).summary.session, L"5 : 6");

        // Later messages do nothing: no new database, no write, no status.
        fault.fail_writes_after(std::uint64_t(1) << 30);
        const std::uint64_t appended = fault.appended_bytes();
        new_frame(5);
        s.step(5, 7);
        s.finish();
        EXPECT_EQ(fault.appended_bytes(), appended);
        EXPECT_EQ(statuses().size(), 4u);
        EXPECT_EQ(folders().size(), 1u);
        // All three frames reported stored are there, listed under the session.
        const auto m = contents(first);
        EXPECT_EQ(frame_keys(m), (std::vector<std::string>{"0000000001", "0000000002", "0000000003"}));
        EXPECT_EQ(m.at("session"), "5 : 6");
        EXPECT_EQ(m.count("count"), 0u);
    }
    recording_session next(sink, dir.path().wstring(), L"правый", "5 : 6", &fb, full, [this] { return now; });
    new_frame(6);
    next.step(6, 7);
    EXPECT_EQ(statuses().back(), L"ДПП[7]: 6 Записано кадров: 1");
    next.finish();
    EXPECT_EQ(folders().size(), 2u);
}

TEST_F(RecordingSession, TheDiskGuardWarnsOnceThenClosesAndReportsBeforeTheDiskIsFull) {
    const std::uint64_t mib = 1 << 20;
    disk_space space{100000 * mib, 5000 * mib};  // 1 % = 1000 MiB, 2 % = 2000 MiB
    recording_database other;
    recording_session s(
        sink, dir.path().wstring(), L"правый", "", &fb, other, [this] { return now; },
        [&] { return std::optional<disk_space>(space); });
    new_frame(1);
    s.step(1, 7);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
    // Below 1 GiB (the smaller of 1 GiB and 2 %): one warning, however long it lasts.
    space.free = 900 * mib;
    for (std::uint32_t i = 2; i <= 4; ++i) {
        new_frame(i);
        s.step(i, 7);
    }
    EXPECT_EQ(sink->texts(thread_event::log_error),
              std::vector<std::wstring>{L"Мало места на диске: свободно 900 МБ (" + dir.path().wstring() + L")"});
    std::vector<thread_message> field3;
    for (auto& m : sink->messages())
        if (kind_of(m) == thread_event::status_text) field3.push_back(m);
    ASSERT_EQ(field3.size(), 1u);
    EXPECT_EQ(std::get<status_text_message>(field3[0]).field, 3);
    EXPECT_EQ(text_of(field3[0]), L"Мало места на диске: свободно 900 МБ");
    EXPECT_EQ(statuses().back(), L"ДПП[7]: 4 Записано кадров: 4");

    // Below 128 MiB: closed, reported and stopped.
    const std::wstring path = other.path();
    space.free = 100 * mib;
    new_frame(5);
    s.step(5, 7);
    EXPECT_TRUE(s.halted());
    EXPECT_FALSE(other.is_open());
    EXPECT_EQ(sink->texts(thread_event::log_error).back(),
              L"Запись остановлена: мало места на диске, свободно 100 МБ (" + dir.path().wstring() + L")");
    EXPECT_EQ(statuses().back(), L"Запись остановлена: мало места на диске. Записано кадров: 4");
    const auto reports = database_infos();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(text_of(reports[0]), path);
    EXPECT_EQ(contents(path).at("count"), "0000000004");
    new_frame(6);
    s.step(6, 7);
    EXPECT_EQ(folders().size(), 1u);
    EXPECT_EQ(statuses().size(), 5u);

    // On a small volume the shares decide: 2 % and 1 % of 1000 MiB.
    disk_space_guard small([] { return std::optional<disk_space>(disk_space{1000 * mib, 15 * mib}); });
    EXPECT_EQ(small.check().level, disk_space_guard::state::low);
    disk_space_guard tiny([] { return std::optional<disk_space>(disk_space{1000 * mib, 9 * mib}); });
    EXPECT_EQ(tiny.check().level, disk_space_guard::state::exhausted);
    disk_space_guard unknown([] { return std::optional<disk_space>(); });
    EXPECT_EQ(unknown.check().level, disk_space_guard::state::fine);
}

// A database cut short (crash, power cut) must still name its session: it is written when
// the database opens, and again when a code arrives for a database recorded without one.
TEST_F(RecordingSession, SessionAndSideAreOnDiskFromTheOpenAndAfterEveryChange) {
    new_frame(1);
    session.step(1, 7);
    const std::wstring path = db.path();
    db.abandon();  // the crash: nothing of the close is written
    auto m = contents(path);
    EXPECT_EQ(m.at("session"), "");
    EXPECT_EQ(m.at("side"), "правый");

    session.step(2, 7);  // a new database
    const std::wstring second = db.path();
    session.set_session_code("12 : ab");
    EXPECT_TRUE(db.is_open());
    db.abandon();
    m = contents(second);
    EXPECT_EQ(m.at("session"), "12 : ab");
    EXPECT_EQ(m.count("count"), 0u);
}

// A code that arrives before the first frame: the database it closes holds nothing and
// would list as unreadable, so its folder goes; one with a frame stays under the old code.
TEST_F(RecordingSession, ASessionChangeRemovesOnlyTheDatabaseThatHasNoFrame) {
    session.set_session_code("11 : aa");
    session.step(1, 7);  // opened, no frame yet
    const std::wstring empty = db.path();
    ASSERT_TRUE(std::filesystem::exists(to_narrow(empty)));
    session.set_session_code("12 : bb");
    EXPECT_FALSE(db.is_open());
    EXPECT_FALSE(std::filesystem::exists(to_narrow(empty)));
    EXPECT_TRUE(database_infos().empty());

    new_frame(1);
    session.step(2, 7);
    const std::wstring kept = db.path();
    session.set_session_code("13 : cc");
    ASSERT_EQ(folders().size(), 1u);
    EXPECT_EQ(folders()[0].wstring(), kept);
    EXPECT_EQ(frame_keys(contents(kept)), std::vector<std::string>{"0000000002"});
    EXPECT_EQ(contents(kept).at("session"), "12 : bb");
    EXPECT_EQ(database_infos().size(), 1u);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
}
