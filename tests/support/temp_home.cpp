#include "tests/support/temp_home.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace test_support {

temp_dir::temp_dir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

scoped_home::scoped_home() : dir_("qm-home") {
    if (const char* h = std::getenv("HOME")) {
        old_home_ = h;
        had_home_ = true;
    }
    ::setenv("HOME", dir_.str().c_str(), 1);
}

scoped_home::~scoped_home() {
    if (had_home_)
        ::setenv("HOME", old_home_.c_str(), 1);
    else
        ::unsetenv("HOME");
}

}  // namespace test_support
