#pragma once
// The pages' files (web/ in the source tree), compiled into the program as bytes: the three
// pages, their style sheet and their script. Nothing is read from disk or fetched at run time.
// Immutable data; safe from any thread.
#include <memory>
#include <string>
#include <string_view>

struct web_file {
    std::string_view name;     // "live.html", "recordings.html", "recording.html", "style.css", "app.js"
    std::string_view type;     // its Content-Type
    std::string_view content;  // its bytes
    std::string etag;          // quoted, from the content
    std::shared_ptr<const std::string> bytes;  // the content, for answers to share
};

// The file of that name, or null.
const web_file* find_web_file(std::string_view name);

// 64-bit FNV-1a of bytes, as 16 hex digits (the validators of answers that never change).
std::string fnv_hex(std::string_view bytes);
