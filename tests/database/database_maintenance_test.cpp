#include "database/database_maintenance.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "database/database_reader.h"
#include "base/locale_text.h"
#include "database/database_registry.h"
#include "database/recording_database.h"
#include "tests/support/random_file.h"
#include "tests/database/db_test_util.h"
#include "tests/support/temp_home.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Answers the commands' questions and keeps what they showed.
struct scripted_ui : maintenance_ui {
    bool yes = true;
    std::optional<std::wstring> path;
    std::optional<std::wstring> text;
    std::vector<std::wstring> asked, proposed, initial, messages, errors, infos, busy;
    bool busy_now = false;

    bool confirm(const std::wstring& t, const std::wstring& caption) override {
        asked.push_back(caption + L"|" + t);
        return yes;
    }
    std::optional<std::wstring> choose_archive_path(const std::wstring& name) override {
        proposed.push_back(name);
        return path;
    }
    std::optional<std::wstring> enter_text(const std::wstring& m, const std::wstring& c,
                                           const std::wstring& i) override {
        asked.push_back(c + L"|" + m);
        initial.push_back(i);
        return text;
    }
    void message(const std::wstring& t) override { messages.push_back(t); }
    void log_error(const std::wstring& t) override { errors.push_back(t); }
    void log_info(const std::wstring& t) override { infos.push_back(t); }
    void begin_busy(const std::wstring& t) override {
        busy.push_back(t);
        busy_now = true;
    }
    void end_busy() override { busy_now = false; }
};

std::string run(const std::string& command) {
    std::string out;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    std::array<char, 512> buf{};
    while (p && std::fgets(buf.data(), buf.size(), p)) out += buf.data();
    const int rc = p ? ::pclose(p) : -1;
    return (rc == 0 ? "ok\n" : "failed\n") + out;
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// "name|flag bits & 0x800" per entry, in archive order.
std::string listing(const fs::path& zip) {
    return run(
        "python3 -c 'import sys,zipfile\n"
        "for i in zipfile.ZipFile(sys.argv[1]).infolist(): print(i.filename, i.flag_bits & 0x800, sep=\"|\")' " +
        quoted(zip));
}

std::vector<fs::path> entries_of(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

class maintenance_test : public ::testing::Test {
protected:
    test_support::temp_dir dir;
    fs::path out = dir.path() / "out";
    scripted_ui ui;

    void SetUp() override { fs::create_directories(out); }

    fs::path record(const std::string& name) {
        const fs::path folder = dir.path() / name;
        recording_database db;
        db.open(to_wide(folder.string()));
        for (std::uint32_t c : {1000u, 1005u}) db.store_frame(db_test::test_frame(static_cast<int>(c)), c, 1700000000);
        db.close(std::string("A : 1"), std::wstring(L"левый"));
        return folder;
    }
};

TEST_F(maintenance_test, the_archive_holds_the_directory_entry_and_every_file_under_the_folder_name) {
    const fs::path folder = record("2024.05.01 12.30.45");
    std::ofstream(folder / ".hidden") << "h";
    fs::create_directories(folder / "nested");
    std::ofstream(folder / "nested" / "deep.txt") << "d";
    const fs::path zip = out / "a.zip";
    ui.path = zip.wstring();

    ASSERT_EQ(archive_database(folder.wstring(), ui), archive_result::written);
    EXPECT_EQ(ui.proposed, std::vector<std::wstring>{L"2024.05.01 12.30.45.zip"});
    EXPECT_EQ(ui.busy, std::vector<std::wstring>{L"Запись базы в архив..."});
    EXPECT_FALSE(ui.busy_now);
    EXPECT_TRUE(ui.messages.empty() && ui.errors.empty());
    EXPECT_EQ(entries_of(out), std::vector<fs::path>{"a.zip"});  // no temporary left
    EXPECT_EQ(run("unzip -tq " + quoted(zip)).substr(0, 3), "ok\n");
    EXPECT_EQ(run("python3 -m zipfile -t " + quoted(zip)).substr(0, 3), "ok\n");

    // The directory entry first, then each file in listing order, named folder/file name.
    // (libzip sets the UTF-8 flag only for names beyond ASCII, which read the same either way.)
    std::string expected = "ok\n2024.05.01 12.30.45/|0\n";
    for (const auto& e : archive_entries(folder.wstring())) {
        EXPECT_EQ(e.name, L"2024.05.01 12.30.45/" + fs::path(e.file).filename().wstring());
        expected += fs::path(e.name).string() + "|0\n";
    }
    EXPECT_EQ(listing(zip), expected);
    for (const char* name : {"CURRENT", "LOCK", "LOG", ".hidden", "deep.txt"})
        EXPECT_NE(expected.find(std::string("12.30.45/") + name + "|"), std::string::npos) << name;
}

TEST_F(maintenance_test, two_recordings_of_one_minute_unpack_side_by_side) {
    const fs::path first = record("2024.05.01 12.30.45");
    const fs::path second = record("2024.05.01 12.30.59");
    std::ofstream(first / "only-first") << "1";
    ui.path = (out / "first.zip").wstring();
    ASSERT_EQ(archive_database(first.wstring(), ui), archive_result::written);
    ui.path = (out / "second.zip").wstring();
    ASSERT_EQ(archive_database(second.wstring(), ui), archive_result::written);
    EXPECT_EQ(ui.proposed, (std::vector<std::wstring>{L"2024.05.01 12.30.45.zip", L"2024.05.01 12.30.59.zip"}));

    const fs::path unpacked = dir.path() / "unpacked";
    fs::create_directories(unpacked);
    for (const char* zip : {"first.zip", "second.zip"})
        ASSERT_EQ(run("cd " + quoted(unpacked) + " && unzip -q " + quoted(out / zip)).substr(0, 3), "ok\n");
    EXPECT_EQ(entries_of(unpacked), (std::vector<fs::path>{"2024.05.01 12.30.45", "2024.05.01 12.30.59"}));
    EXPECT_TRUE(fs::exists(unpacked / "2024.05.01 12.30.45" / "only-first"));
    EXPECT_FALSE(fs::exists(unpacked / "2024.05.01 12.30.59" / "only-first"));
}

TEST(archive_names, are_the_whole_folder_name_whatever_dots_it_holds) {
    const struct {
        const wchar_t* folder;
        const wchar_t* name;
    } cases[] = {
        {L"/data/2024.05.01 12.30.45", L"2024.05.01 12.30.45"},
        {L"/data/2024.05.01 12.30.45/", L"2024.05.01 12.30.45"},
        {L"/data/plain", L"plain"},
        {L"/data/.hidden.db", L".hidden.db"},
        {L"relative/запись.01", L"запись.01"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(archive_folder_name(c.folder), c.name) << c.folder;
        EXPECT_EQ(archive_file_name(c.folder), std::wstring(c.name) + L".zip") << c.folder;
    }
}

TEST_F(maintenance_test, names_beyond_ascii_are_stored_as_utf8_and_flagged) {
    const fs::path folder = record("запись.01");
    ui.path = to_wide((out / "архив.zip").string());
    ASSERT_EQ(archive_database(to_wide(folder.string()), ui), archive_result::written);
    const std::string list = listing(out / "архив.zip");
    EXPECT_EQ(list.rfind("ok\nзапись.01/|2048\n", 0), 0u) << list;
    EXPECT_NE(list.find("запись.01/CURRENT|2048\n"), std::string::npos) << list;
}

TEST_F(maintenance_test, an_existing_archive_is_replaced_whole_and_kept_when_the_new_one_is_abandoned) {
    const fs::path folder = record("2024.05.01 12.30.45");
    const fs::path zip = out / "a.zip";
    std::ofstream(zip) << "an older archive";
    ui.path = zip.wstring();
    ASSERT_EQ(archive_database(folder.wstring(), ui), archive_result::written);
    EXPECT_EQ(run("unzip -tq " + quoted(zip)).substr(0, 3), "ok\n");
    const auto written = fs::file_size(zip);

    // A file that has gone when libzip reads it (a dangling link): writing fails at the end,
    // the old archive stays and no temporary is left.
    fs::create_symlink(dir.path() / "gone", folder / "broken");
    EXPECT_EQ(archive_database(folder.wstring(), ui), archive_result::cannot_create);
    EXPECT_EQ(ui.messages, std::vector<std::wstring>{L"Не удалось создать архив: " + zip.wstring()});
    EXPECT_FALSE(ui.busy_now);
    EXPECT_EQ(fs::file_size(zip), written);
    fs::remove(folder / "broken");

    // Two files that give one entry name: the second cannot be added.
    fs::create_directories(folder / "nested");
    std::ofstream(folder / "nested" / "CURRENT") << "x";
    EXPECT_EQ(archive_database(folder.wstring(), ui), archive_result::cannot_add_file);
    EXPECT_EQ(ui.errors, std::vector<std::wstring>{L"Не удалось записать файл в архив: CURRENT"});
    EXPECT_EQ(fs::file_size(zip), written);
    EXPECT_EQ(entries_of(out), std::vector<fs::path>{"a.zip"});
    EXPECT_EQ(ui.messages.size(), 1u);

    ui.path.reset();  // cancelled
    EXPECT_EQ(archive_database(folder.wstring(), ui), archive_result::cancelled);
}

TEST_F(maintenance_test, an_archive_that_cannot_be_written_is_reported_and_leaves_nothing) {
    const fs::path folder = record("2024.05.01 12.30.45");
    std::ofstream(out / "plain") << "a file, not a folder";
    // Even root cannot create files under a plain file, nor in /proc (this one fails only
    // when libzip writes, at close); a directory in the way fails the final move.
    fs::create_directories(out / "taken.zip" / "inside");
    const fs::path targets[] = {out / "plain" / "a.zip", "/proc/qm-archive-test.zip", out / "taken.zip"};
    for (const auto& target : targets) {
        SCOPED_TRACE(target.string());
        ui.messages.clear();
        ui.path = target.wstring();
        EXPECT_EQ(archive_database(folder.wstring(), ui), archive_result::cannot_create);
        EXPECT_EQ(ui.messages, std::vector<std::wstring>{L"Не удалось создать архив: " + target.wstring()});
        EXPECT_FALSE(ui.busy_now);
    }
    EXPECT_EQ(entries_of(out), (std::vector<fs::path>{"plain", "taken.zip"}));
    EXPECT_TRUE(fs::exists(out / "taken.zip" / "inside"));
}

TEST_F(maintenance_test, writing_reports_rising_progress_up_to_one_and_the_archive_size) {
    const fs::path folder = record("2024.05.01 12.30.45");
    for (unsigned i = 0; i < 3; ++i) test_support::write_random_file(folder / ("big-" + std::to_string(i)), 2 << 20, i);
    const fs::path zip = out / "a.zip";
    std::vector<double> seen;
    const archive_hooks hooks{[&](double f) { seen.push_back(f); }, [] { return false; }};

    const archive_outcome done = write_archive(folder.wstring(), zip.wstring(), hooks);
    ASSERT_EQ(done.result, archive_result::written);
    EXPECT_EQ(done.report, maintenance_report{});
    EXPECT_EQ(done.bytes, fs::file_size(zip));
    EXPECT_GT(done.bytes, 6u << 20);
    EXPECT_GT(done.took.count(), 0);
    EXPECT_EQ(run("unzip -tq " + quoted(zip)).substr(0, 3), "ok\n");

    ASSERT_GT(seen.size(), 10u);
    EXPECT_EQ(seen.front(), 0.0);
    EXPECT_EQ(seen.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](double f) { return f >= 0 && f <= 1; }));
}

TEST_F(maintenance_test, cancelled_writing_leaves_no_temporary_and_an_existing_archive_as_it_was) {
    const fs::path folder = record("2024.05.01 12.30.45");
    for (unsigned i = 0; i < 3; ++i) test_support::write_random_file(folder / ("big-" + std::to_string(i)), 2 << 20, i);
    const struct {
        const char* name;
        double cancel_at;  // progress after which the writing is cancelled; 0: before it starts
        bool existing;
    } cases[] = {
        {"at once, over an archive", 0, true},
        {"half-way, over an archive", 0.5, true},
        {"half-way, no archive yet", 0.5, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out);
        fs::create_directories(out);
        const fs::path zip = out / "a.zip";
        if (c.existing) std::ofstream(zip) << "an older archive";
        double last = 0;
        const archive_hooks hooks{[&](double f) { last = f; }, [&] { return last >= c.cancel_at; }};

        const archive_outcome done = write_archive(folder.wstring(), zip.wstring(), hooks);
        EXPECT_EQ(done.result, archive_result::cancelled);
        EXPECT_EQ(done.report, maintenance_report{});
        EXPECT_LT(last, 1.0);
        if (c.cancel_at > 0) {
            EXPECT_GE(last, c.cancel_at);  // stopped while writing, not before
        }
        if (c.existing) {
            EXPECT_EQ(entries_of(out), std::vector<fs::path>{"a.zip"});
            std::ifstream in(zip);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "an older archive");
        } else {
            EXPECT_TRUE(entries_of(out).empty());
        }
    }
}

TEST_F(maintenance_test, the_working_halves_report_in_their_result_instead_of_asking) {
    const fs::path folder = record("2024.05.01 12.30.45");
    const fs::path bad = out / "plain";
    std::ofstream(bad) << "a file, not a folder";
    const archive_outcome failed = write_archive(folder.wstring(), (bad / "a.zip").wstring());
    EXPECT_EQ(failed.result, archive_result::cannot_create);
    EXPECT_EQ(failed.report.message, L"Не удалось создать архив: " + (bad / "a.zip").wstring());

    database_registry registry;
    EXPECT_EQ(remove_database(folder.wstring(), registry),
              (maintenance_report{{}, {}, L"База удалена: " + folder.wstring()}));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(ui.asked.empty() && ui.messages.empty() && ui.infos.empty());
}

TEST_F(maintenance_test, delete_asks_then_removes_the_registry_entry_and_the_folder_once_no_reader_holds_it) {
    const fs::path folder = record("2024.05.01 12.30.45");
    database_registry registry;
    ldb_info info;
    info.session = L"A : 1";
    info.dpp_start = 1000;
    info.dpp_end = 1005;
    registry.add(info, folder.wstring());
    ASSERT_FALSE(registry.frame_lookup(L"A : 1", 1000).empty());

    ui.yes = false;
    EXPECT_FALSE(delete_database(folder.wstring(), registry, ui));
    EXPECT_EQ(ui.asked, std::vector<std::wstring>{L"Удаление данных|Данные в папке " + folder.wstring() +
                                                  L" будут удалены безвозвратно. Продолжить?"});
    EXPECT_EQ(registry.size(), 1u);
    EXPECT_TRUE(fs::exists(folder));
    EXPECT_TRUE(ui.infos.empty());

    // A scan is summarising it right now: the folder goes once the scan lets go.
    ui.yes = true;
    auto scan = std::make_unique<database_reader>(folder.wstring());
    std::thread release([&] {
        std::this_thread::sleep_for(300ms);
        scan.reset();
    });
    EXPECT_TRUE(delete_database(folder.wstring(), registry, ui));
    release.join();
    EXPECT_EQ(registry.size(), 0u);
    EXPECT_EQ(registry.open_readers(), 0u);
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(ui.errors.empty());
    EXPECT_EQ(ui.infos, std::vector<std::wstring>{L"База удалена: " + folder.wstring()});
    // The image service's lookup no longer finds it.
    const cv::Mat placeholder = registry.frame_lookup(L"A : 1", 1000);
    EXPECT_EQ(placeholder.size(), cv::Size(640, 480));
}

TEST_F(maintenance_test, side_and_code_edits_rewrite_version_and_only_their_key) {
    const fs::path folder = record("2024.05.01 12.30.45");
    {  // a database written by an older program
        auto db = open_leveldb(folder.string(), false);
        db->Put(leveldb::WriteOptions(), "version", "0");
    }
    auto before = db_test::all_keys(folder.string());
    replace_side(folder.wstring(), L"правый");
    auto after = db_test::all_keys(folder.string());
    EXPECT_EQ(after.at("side"), "правый");
    EXPECT_EQ(after.at("version"), "1");
    before["side"] = after["side"];
    before["version"] = "1";
    EXPECT_EQ(after, before);

    ui.text = L"Б : 2";
    EXPECT_TRUE(replace_session_code(folder.wstring(), ui));
    EXPECT_EQ(ui.asked.back(), L"Код сеанса|Введите новый код сеанса");
    EXPECT_EQ(ui.initial.back(), L"A : 1");
    auto edited = db_test::all_keys(folder.string());
    before["session"] = "Б : 2";
    EXPECT_EQ(edited, before);

    ui.text.reset();  // Cancel writes nothing
    EXPECT_FALSE(replace_session_code(folder.wstring(), ui));
    EXPECT_EQ(db_test::all_keys(folder.string()), before);

    // Without a "session" key the dialog starts from the next key's value (the side).
    {
        auto db = open_leveldb(folder.string(), false);
        db->Delete(leveldb::WriteOptions(), "session");
    }
    ui.text = L"";
    EXPECT_TRUE(replace_session_code(folder.wstring(), ui));
    EXPECT_EQ(ui.initial.back(), L"правый");
    EXPECT_EQ(db_test::all_keys(folder.string()).at("session"), "");

    // Held open elsewhere: LevelDB's lock error leaves the command, nothing changes.
    database_reader holder(folder.wstring());
    EXPECT_THROW(replace_side(folder.wstring(), L"левый"), std::runtime_error);
}

}  // namespace
