#pragma once
// Command-line handling shared by the tools: strict numbers, --help, and the one way a tool
// reports bad arguments (its name, the message, then its usage, exit code 2).
#include <cstdint>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

namespace tool_args {

// Decimal digits only (no sign, no blanks, no trailing text) and at most max; otherwise a
// std::runtime_error naming the option.
inline std::uint64_t parse_number(const std::string& option, const std::string& text, std::uint64_t max) {
    std::size_t used = 0;
    unsigned long long v = 0;
    try {
        if (text.empty() || text[0] == '-' || text[0] == '+') throw std::invalid_argument(text);
        v = std::stoull(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size()) throw std::runtime_error(option + ": not a number: \"" + text + "\"");
    if (v > max) throw std::runtime_error(option + ": out of range: " + text);
    return v;
}

inline bool wants_help(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    return false;
}

// Runs parse(); a std::exception from it is reported as "TOOL: message" and the usage on
// standard error, and gives no options.
template <class Parse>
auto parse_or_explain(const char* tool, const char* usage, Parse parse) -> std::optional<decltype(parse())> {
    try {
        return parse();
    } catch (const std::exception& e) {
        std::cerr << tool << ": " << e.what() << "\n" << usage;
        return std::nullopt;
    }
}

// A tool's options, or why it must not run: with --help the usage goes to standard output and
// `exit_code` becomes 0; a line parse() refuses is explained as parse_or_explain does and
// `exit_code` becomes 2.
template <class Parse>
auto options_or_exit(const char* tool, const char* usage, int argc, char** argv, int& exit_code, Parse parse)
    -> std::optional<decltype(parse())> {
    if (wants_help(argc, argv)) {
        std::cout << usage;
        exit_code = 0;
        return std::nullopt;
    }
    auto parsed = parse_or_explain(tool, usage, parse);
    if (!parsed) exit_code = 2;
    return parsed;
}

}  // namespace tool_args
