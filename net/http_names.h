#pragma once
// What the web service accepts in a request's path, as plain functions: percent-decoding,
// UTF-8 checks, recording folder names and odometer counts, and the UTF-8 the answers are
// written in. A name that passes folder_name_from_url() is one path component: it can only
// be compared with the folders the registry already lists, never joined to a path.
//
// No state; safe from any thread. Bad input gives nullopt, never a throw.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/locale_text.h"  // encode_utf8, which the answers are written in

// Decodes %XX escapes ('+' stays '+': it is a path, not a form). nullopt for a '%' not
// followed by two hex digits.
std::optional<std::string> percent_decode(std::string_view text);

// The code points of well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF); nullopt otherwise.
std::optional<std::wstring> decode_utf8(std::string_view bytes);

// Longest folder name accepted, in bytes of UTF-8 (the file systems' own limit).
inline constexpr std::size_t max_folder_name_bytes = 255;

// A recording folder's name from one percent-encoded path segment: decoded, UTF-8, at most
// max_folder_name_bytes, not empty, "." or "..", and free of '/', '\\' and control
// characters (NUL among them). nullopt for anything else.
std::optional<std::wstring> folder_name_from_url(std::string_view segment);

// An odometer count written in decimal digits only (1 to 10 of them, at most 4294967295).
std::optional<std::uint32_t> count_from_url(std::string_view text);

// The last component of a folder path ("/data/2024-05-01 12-00" -> "2024-05-01 12-00"),
// trailing separators ignored.
std::wstring folder_name_of(std::wstring_view path);
