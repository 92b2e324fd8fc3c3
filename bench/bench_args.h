#pragma once
// The benchmarks' command line: "--name value" options and "--name" flags, anywhere in argv.
// A missing option gives its default.
#include <cstdlib>
#include <string>

namespace bench_args {

inline double option(int argc, char** argv, const std::string& name, double def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return std::strtod(argv[i + 1], nullptr);
    return def;
}

inline std::string text_option(int argc, char** argv, const std::string& name, const std::string& def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return argv[i + 1];
    return def;
}

inline bool flag(int argc, char** argv, const std::string& name) {
    for (int i = 1; i < argc; ++i)
        if (argv[i] == name) return true;
    return false;
}

}  // namespace bench_args
