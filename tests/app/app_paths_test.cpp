#include "app/app_paths.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>
#include <utime.h>

namespace {

namespace fs = std::filesystem;

void touch(const fs::path& path, std::time_t mtime) {
    std::ofstream(path) << "x";
    utimbuf times{mtime, mtime};
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

TEST(app_paths, names_and_directories_follow_the_home_directory) {
    EXPECT_EQ(log_file_name(1700000000u, 4242), "quillmar[17000000004242].html");
    EXPECT_EQ(config_directory("/home/op"), "/home/op/Velkor3/config");
    EXPECT_EQ(log_directory("/home/op/"), "/home/op/Velkor3/log");
    EXPECT_EQ(settings_file_path("/home/op/Velkor3/config"), "/home/op/Velkor3/config/.quillmar");
}

TEST(app_paths, ensure_directory_creates_missing_parents_and_fails_on_a_file) {
    test_support::temp_dir dir;
    const fs::path deep = dir.path() / "a" / "b" / "c";
    EXPECT_TRUE(ensure_directory(deep.string()));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_TRUE(ensure_directory(deep.string()));
    std::ofstream(dir.path() / "file") << "x";
    EXPECT_FALSE(ensure_directory((dir.path() / "file" / "sub").string()));
}

TEST(app_paths, only_matching_logs_older_than_seven_days_are_removed) {
    test_support::temp_dir dir;
    const std::time_t now = 1800000000;
    touch(dir.path() / "quillmar[1].html", now - 604801);
    touch(dir.path() / "quillmar[2].html", now - 604800);  // exactly seven days: kept
    touch(dir.path() / "quillmar[3].html", now);
    touch(dir.path() / "other.html", now - 10 * 604800);
    touch(dir.path() / "quillmar[4].htm", now - 10 * 604800);
    fs::create_directory(dir.path() / "quillmar[5].html");
    utimbuf old{now - 10 * 604800, now - 10 * 604800};
    ::utime((dir.path() / "quillmar[5].html").c_str(), &old);

    EXPECT_EQ(remove_old_logs(dir.str(), now), 1);
    EXPECT_FALSE(fs::exists(dir.path() / "quillmar[1].html"));
    for (const char* kept :
         {"quillmar[2].html", "quillmar[3].html", "other.html", "quillmar[4].htm", "quillmar[5].html"})
        EXPECT_TRUE(fs::exists(dir.path() / kept)) << kept;
    EXPECT_EQ(remove_old_logs((dir.path() / "missing").string(), now), 0);
}

}  // namespace
