#pragma once
// The system's words for an I/O error, in Russian for the operator's log: the errors a
// serial line, a socket or a folder give in the car are named; any other keeps the
// library's own message, so nothing is hidden.
// Thread safety: pure functions.
#include <string>
#include <string_view>

// value and category name as the error code gives them ("system", "generic", "asio.misc",
// ...), and its message for the fallback.
std::wstring error_text(int value, std::string_view category, const std::string& message);

// Any error code with value(), category().name() and message() (std:: and boost::system).
template <class ErrorCode>
std::wstring error_text(const ErrorCode& ec) {
    return error_text(ec.value(), ec.category().name(), ec.message());
}
