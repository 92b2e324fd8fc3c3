#pragma once
// The discovery service's wire format: JSON objects in UDP datagrams.
//
// Query: at most 128 bytes, one JSON object with "type" "query" and "service" either "any"
// or one recorder's name ("quillmar_left" / "quillmar_right"), each exactly once; other
// members are allowed when their values are plain (string, number, true, false, null), never
// arrays or objects. After the object only white space or NUL bytes may follow. Anything else
// is malformed. Answer: the query's own object with "type" set to "answer" and "service" to
// the recorder's name, every other member kept in place, written in the property tree's
// pretty JSON form (every value a JSON string), one line end; never longer than 128 bytes:
// a query whose answer would be is not answered, so an answer never amplifies much.
//
// Pure functions, no I/O; safe from any thread. Nothing throws for bad input.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::size_t discovery_datagram_size = 128;
inline constexpr std::size_t discovery_answer_limit = 128;

// "quillmar_left" when side is exactly "левый", "quillmar_right" for anything else.
std::string discovery_service_name(const std::wstring& side);

struct discovery_decision {
    enum class action { ignore, answer, error };
    action what = action::ignore;
    std::string text;  // answer: the datagram to send back; error: why it is malformed
};

// What to do with a received datagram (all of it: a longer one than 128 bytes is malformed).
discovery_decision decide_discovery(std::string_view datagram, const std::string& own_name);

// For clients: {"type": "query", "service": SERVICE} as compact JSON.
std::string discovery_query(const std::string& service);
// For clients: the "service" of an answer; nothing when the text is not a JSON object whose
// "type" is "answer".
std::optional<std::string> discovery_answer_service(std::string_view datagram);
