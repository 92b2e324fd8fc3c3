#pragma once
// The discovery service's wire format: JSON objects in UDP datagrams.
//
// Query: at most 128 bytes of JSON text (ended early by a NUL byte), an object with "type"
// "query" and "service" either "any" or one recorder's name ("quillmar_left" /
// "quillmar_right"); other members are allowed. Answer: the query's own object with "type"
// set to "answer" and "service" to the recorder's name, every other member kept in place,
// written in the property tree's pretty JSON form (every value a JSON string), one line end.
//
// Pure functions, no I/O; safe from any thread. Nothing throws for bad input.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::size_t discovery_datagram_size = 128;

// "quillmar_left" when side is exactly "левый", "quillmar_right" for anything else.
std::string discovery_service_name(const std::wstring& side);

struct discovery_decision {
    enum class action { ignore, answer, error };
    action what = action::ignore;
    std::string text;  // answer: the datagram to send back; error: the parser's message
};

// What to do with a received datagram (its first 128 bytes count, up to the first NUL).
discovery_decision decide_discovery(std::string_view datagram, const std::string& own_name);

// For clients: {"type": "query", "service": SERVICE} as compact JSON.
std::string discovery_query(const std::string& service);
// For clients: the "service" of an answer; nothing when the text is not a JSON object whose
// "type" is "answer".
std::optional<std::string> discovery_answer_service(std::string_view datagram);
