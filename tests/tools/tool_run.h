#pragma once
// Runs one of the built tools as a program and captures what it said, for the tool tests.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tool_test {

struct result {
    int code = -1;  // the exit status; -1 when the tool did not exit normally
    std::string out;
    std::string err;
};

inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

inline std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// $QUILLMAR_BUILD_DIR/tools/<name>, or beside this test's build tree when it is unset.
inline std::filesystem::path tool_path(const std::string& name) {
    if (const char* build = std::getenv("QUILLMAR_BUILD_DIR"); build && *build)
        return std::filesystem::path(build) / "tools" / name;
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / name;
}

// Runs the tool with the arguments; stdout and stderr are captured in files under dir.
inline result run_tool(const std::string& name, const std::filesystem::path& dir,
                       const std::vector<std::string>& args) {
    std::string command = quoted(tool_path(name).string());
    for (const auto& a : args) command += " " + quoted(a);
    command += " >" + quoted((dir / "out.txt").string()) + " 2>" + quoted((dir / "err.txt").string());
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir / "out.txt"), slurp(dir / "err.txt")};
}

}  // namespace tool_test
