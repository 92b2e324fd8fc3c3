#pragma once
// Text stored in databases and used as file paths is the current C locale's multibyte form
// (UTF-8 under any desktop or C.UTF-8 locale). These conversions never fail: a character
// the locale cannot encode becomes "?", and a byte sequence it cannot decode becomes U+FFFD
// one byte at a time, so damaged stored text still shows.
// Thread safety: uses only restartable conversion functions; safe from any thread.
#include <string>
#include <string_view>

std::string to_narrow(std::wstring_view text);
std::wstring to_wide(std::string_view text);

// UTF-8 whatever the locale (what HTTP answers and the depot's keys and manifests are written
// in); a value that is no code point becomes U+FFFD.
std::string encode_utf8(std::wstring_view text);

// A number with one decimal as the operator reads it, with a decimal comma whatever the
// process locale: "24,8", "412,3". Not a finite number: "0,0".
std::wstring one_decimal(double value);
