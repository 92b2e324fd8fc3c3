#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "database/frame_image.h"
#include "database/database_registry.h"
#include "database/recording_database.h"
#include "tests/database/db_test_util.h"
#include "tests/support/temp_home.h"

using db_test::test_frame;

namespace {

ldb_info summary_of(const std::wstring& session, std::uint32_t start, std::uint32_t end) {
    ldb_info info;
    info.session = session;
    info.dpp_start = start;
    info.dpp_end = end;
    return info;
}

// A recorded database with one frame per count, each frame's square showing its count.
std::wstring record(const std::filesystem::path& path, std::initializer_list<std::uint32_t> counts) {
    recording_database db;
    db.open(path.wstring());
    for (auto c : counts) db.store_frame(test_frame(static_cast<int>(c)), c, 1);
    db.close(std::string("s"), L"x");
    return path.wstring();
}

// The value of the square that test_frame() draws, read back from a decoded frame.
int square_value(const cv::Mat& bgr) { return bgr.at<cv::Vec3b>(16, 16)[0]; }

}  // namespace

TEST(DatabaseRegistry, AddRemoveClearKeepOrderAndDuplicates) {
    database_registry registry;
    registry.add(summary_of(L"a", 0, 1), L"/w/one");
    registry.add(summary_of(L"b", 0, 1), L"/w/two");
    registry.add(summary_of(L"c", 0, 1), L"/w/one");  // same folder twice: two entries
    ASSERT_EQ(registry.size(), 3u);

    bool ran = false;
    EXPECT_TRUE(registry.remove(L"/w/one", [&] { ran = true; }));
    EXPECT_TRUE(ran);
    auto rows = registry.snapshot();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].info.session, L"b");
    EXPECT_EQ(rows[1].info.session, L"c");     // only the first match went
    EXPECT_FALSE(registry.remove(L"/W/ONE"));  // case-sensitive
    registry.clear();
    EXPECT_EQ(registry.size(), 0u);
}

TEST(DatabaseRegistry, LookupTakesFirstEntryWhoseRangeHoldsTheCount) {
    test_support::temp_dir dir;
    const auto a = record(dir.path() / "a", {10, 20});
    const auto b = record(dir.path() / "b", {15, 30});
    database_registry registry;
    registry.add(summary_of(L"12 : 34", 10, 20), a);
    registry.add(summary_of(L"12 : 34", 15, 30), b);
    registry.add(summary_of(L"other", 0, 100), b);

    EXPECT_EQ(square_value(registry.frame_lookup(L"12 : 34", 10)), 10);
    EXPECT_EQ(square_value(registry.frame_lookup(L"12 : 34", 12)), 20);  // at or after, in a
    EXPECT_EQ(square_value(registry.frame_lookup(L"12 : 34", 18)), 20);  // both hold 18: a wins
    EXPECT_EQ(square_value(registry.frame_lookup(L"12 : 34", 25)), 30);
    EXPECT_EQ(square_value(registry.frame_lookup(L"other", 0)), 15);

    cv::Mat missing = registry.frame_lookup(L"12 : 34", 31);
    EXPECT_EQ(cv::norm(missing, make_placeholder_frame("Requested frame not found [12 : 34:31]"), cv::NORM_INF), 0.0);
    cv::Mat wrong_case = registry.frame_lookup(L"OTHER", 5);
    EXPECT_EQ(wrong_case.type(), CV_8UC1);
    EXPECT_EQ(registry.open_readers(), 0u);  // every lookup closed its database
}

TEST(DatabaseRegistry, LookupOfAMissingDatabaseThrowsTheStorageText) {
    test_support::temp_dir dir;
    database_registry registry;
    registry.add(summary_of(L"s", 0, 10), (dir.path() / "gone").wstring());
    try {
        registry.frame_lookup(L"s", 5);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Invalid argument"), std::string::npos) << e.what();
    }
    EXPECT_EQ(registry.open_readers(), 0u);
}

TEST(DatabaseRegistry, ConcurrentLookupsOfOneDatabaseAllSucceed) {
    test_support::temp_dir dir;
    std::initializer_list<std::uint32_t> counts{1, 2, 3, 4, 5, 6, 7, 8};
    const auto path = record(dir.path() / "db", counts);
    database_registry registry;
    registry.add(summary_of(L"s", 1, 8), path);

    std::atomic<int> failures{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                std::uint32_t n = static_cast<std::uint32_t>(1 + (t + i) % 8);
                try {
                    if (square_value(registry.frame_lookup(L"s", n)) != static_cast<int>(n)) ++wrong;
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(registry.open_readers(), 0u);
}

TEST(DatabaseRegistry, RemoveDeletesTheFolderSafelyBetweenLookups) {
    test_support::temp_dir dir;
    const auto path = record(dir.path() / "db", {1, 2, 3});
    database_registry registry;
    registry.add(summary_of(L"s", 1, 3), path);

    std::atomic<bool> stop{false};
    std::atomic<int> errors{0};
    std::thread reader([&] {
        while (!stop) {
            try {
                registry.frame_lookup(L"s", 2);
            } catch (const std::exception&) {
                ++errors;  // a lookup must never meet a half-deleted folder
            }
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    registry.remove(path, [&] { std::filesystem::remove_all(std::filesystem::path(path)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    reader.join();
    EXPECT_EQ(errors.load(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(path)));
}

// Deleting one database never holds up lookups of another: the folder being retired is
// refused to new lookups at once, its removal waits only for the lease already given, and a
// lookup of a second folder goes on meanwhile; listing the folder again admits it.
TEST(ReaderPool, ARetiredFolderWaitsForItsLeasesAloneAndRefusesNewOnes) {
    test_support::temp_dir dir;
    const auto one = record(dir.path() / "one", {1});
    const auto two = record(dir.path() / "two", {2});
    reader_pool pool;
    auto held = std::make_unique<reader_pool::lease>(pool.acquire(one));
    ASSERT_TRUE(*held);

    pool.retire(one);
    std::atomic<bool> unused{false};
    std::thread remover([&] {
        pool.wait_unused(one);
        unused = true;
    });
    EXPECT_FALSE(pool.acquire(one));                               // refused, not opened again
    EXPECT_EQ(square_value(pool.acquire(two)->read_frame(2)), 2);  // another folder goes on
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(unused.load());  // the lease still reads
    EXPECT_EQ(square_value((*held)->read_frame(1)), 1);
    held.reset();
    remover.join();
    EXPECT_TRUE(unused.load());
    EXPECT_EQ(pool.open_count(), 0u);

    pool.admit(one);
    EXPECT_TRUE(pool.acquire(one));
}
