#include "database/session_code.h"

std::string make_session_code(const std::string& first, const std::string& second) {
    if (first.empty() || second.empty()) return {};
    return first + " : " + second;
}

std::wstring make_session_code(const std::wstring& first, const std::wstring& second) {
    if (first.empty() || second.empty()) return {};
    return first + L" : " + second;
}
