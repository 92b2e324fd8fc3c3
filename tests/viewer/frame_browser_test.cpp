#include "viewer/frame_browser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "database/recording_database.h"
#include "tests/database/db_test_util.h"
#include "tests/support/temp_home.h"

namespace {

namespace fs = std::filesystem;

// A closed recording with frames at the given counts (each frame's square shows its count).
inline std::wstring record(const fs::path& folder, std::initializer_list<std::uint32_t> counts) {
    recording_database db;
    db.open(folder.wstring());
    for (auto c : counts) db.store_frame(db_test::test_frame(static_cast<int>(c)), c, 1700000000);
    db.close(std::string("A : 1"), std::wstring(L"левый"));
    return folder.wstring();
}

class browser_test : public ::testing::Test {
protected:
    test_support::temp_dir dir;
    std::wstring folder = record(dir.path() / "2024.05.01 12.30.45", {1000, 1005, 1010, 1100, 1200});
};

TEST_F(browser_test, the_spin_value_shows_the_frame_at_or_after_its_truncated_count) {
    frame_browser b(folder);
    EXPECT_EQ(b.first_count(), 1000u);
    EXPECT_EQ(b.last_count(), 1200u);
    EXPECT_EQ(b.current_key(), "0000001000");
    b.go_to(1003.9);
    EXPECT_EQ(b.current_key(), "0000001005");
    b.go_to(1005);
    EXPECT_EQ(b.current_key(), "0000001005");
    b.go_to(1101);
    EXPECT_EQ(b.current_key(), "0000001200");
    EXPECT_FALSE(b.current_frame().empty());
    b.go_to(-7);
    EXPECT_EQ(b.current_key(), "0000001000");
}

TEST_F(browser_test, keys_step_through_stored_frames_and_stop_at_both_ends) {
    frame_browser b(folder);
    EXPECT_FALSE(b.previous());
    EXPECT_EQ(b.current_count(), 1000u);
    // Each move lands on the next count of `counts`.
    const auto walk = [&b](bool (frame_browser::*move)(), std::initializer_list<std::uint32_t> counts) {
        for (auto c : counts) {
            EXPECT_TRUE((b.*move)());
            EXPECT_EQ(b.current_count(), c);
        }
    };
    walk(&frame_browser::next, {1005, 1010, 1100, 1200});
    EXPECT_FALSE(b.next());
    EXPECT_EQ(b.current_count(), 1200u);
    walk(&frame_browser::previous, {1100, 1010, 1005, 1000});
    b.go_to(1050);  // between frames: previous is the frame before the one shown
    EXPECT_TRUE(b.previous());
    EXPECT_EQ(b.current_count(), 1010u);
    b.last();
    EXPECT_EQ(b.current_count(), 1200u);
    b.first();
    EXPECT_EQ(b.current_count(), 1000u);
    b.go_to(5000);  // past the frames: nothing shown, previous is the last frame
    EXPECT_FALSE(b.current_count());
    EXPECT_TRUE(b.current_frame().empty());
    EXPECT_TRUE(b.previous());
    EXPECT_EQ(b.current_count(), 1200u);
}

TEST_F(browser_test, a_folder_that_is_no_database_throws_from_the_constructor) {
    fs::create_directories(dir.path() / "empty");
    EXPECT_THROW(frame_browser((dir.path() / "empty").wstring()), std::runtime_error);
}

TEST(saved_frame, the_chosen_name_stays_and_gets_jpg_only_without_an_extension) {
    struct row {
        const char* chosen;
        const char* written;
    };
    const row rows[] = {{"/d/a.jpg", "/d/a.jpg"},
                        {"/d/a.png", "/d/a.png"},
                        {"/d/x.y/plain", "/d/x.y/plain.jpg"},
                        {"/d/dot.", "/d/dot.jpg"},
                        {"/d/с пробелом.JPEG", "/d/с пробелом.JPEG"}};
    for (const auto& r : rows) EXPECT_EQ(saved_frame_path(r.chosen), fs::path(r.written)) << r.chosen;
}

TEST(saved_frame, writes_the_bytes_unchanged_and_reports_a_file_it_cannot_create) {
    test_support::temp_dir dir;
    const std::string bytes("\xff\xd8\x00jpeg\x00\xff\xd9", 10);
    const fs::path out = dir.path() / "f.jpg";
    std::ofstream(out) << "older and longer contents";
    ASSERT_TRUE(write_frame_file(out, bytes));
    std::ifstream in(out, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
    // Under a plain file: no folder there, for root too.
    EXPECT_FALSE(write_frame_file(out / "g.jpg", bytes));
    EXPECT_FALSE(write_frame_file("/proc/qm-frame.jpg", bytes));
}

}  // namespace
