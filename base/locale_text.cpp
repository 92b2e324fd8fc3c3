#include "base/locale_text.h"

#include <climits>
#include <cstdint>
#include <cmath>
#include <cwchar>

std::string to_narrow(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    std::mbstate_t state{};
    char buffer[MB_LEN_MAX];
    for (wchar_t c : text) {
        std::size_t n = std::wcrtomb(buffer, c, &state);
        if (n == static_cast<std::size_t>(-1)) {
            state = std::mbstate_t{};
            out.push_back('?');
        } else {
            out.append(buffer, n);
        }
    }
    return out;
}

std::wstring to_wide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    std::mbstate_t state{};
    std::size_t i = 0;
    while (i < text.size()) {
        wchar_t c = 0;
        std::size_t n = std::mbrtowc(&c, text.data() + i, text.size() - i, &state);
        if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) {
            // Undecodable or truncated sequence: show it, skip one byte, start afresh.
            state = std::mbstate_t{};
            out.push_back(L'\uFFFD');
            ++i;
        } else if (n == 0) {  // an embedded NUL byte
            out.push_back(L'\0');
            ++i;
        } else {
            out.push_back(c);
            i += n;
        }
    }
    return out;
}

std::wstring one_decimal(double value) {
    if (!std::isfinite(value)) value = 0;
    const long long tenths = std::llround(value * 10);
    const bool negative = tenths < 0;
    const unsigned long long t = negative ? -tenths : tenths;
    return (negative ? L"-" : L"") + std::to_wstring(t / 10) + L"," + std::to_wstring(t % 10);
}

std::string encode_utf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (const wchar_t w : text) {
        auto cp = static_cast<std::uint32_t>(w);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}
