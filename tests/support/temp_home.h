#pragma once
// Scratch folders for tests: every test that touches files works below one of these and
// never in the user's real home directory.
#include <filesystem>
#include <string>

namespace test_support {

// A fresh, empty directory removed (with its contents) when the object goes away.
class temp_dir {
public:
    explicit temp_dir(const std::string& prefix = "qm");
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// Points HOME at a fresh temporary directory for its lifetime and restores it afterwards.
class scoped_home {
public:
    scoped_home();
    ~scoped_home();
    const std::filesystem::path& path() const { return dir_.path(); }

private:
    temp_dir dir_;
    std::string old_home_;
    bool had_home_ = false;
};

}  // namespace test_support
