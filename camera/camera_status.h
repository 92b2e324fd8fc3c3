#pragma once
// camera_status: what a camera call (camera/jai_sdk.h) returns. A status code, and on a
// failure the camera library's own words for it when it gave any (Aravis's error message,
// for instance), so that a log row can say why and not only what failed.
//
// Cheap when the call succeeded or failed without words: a code and a null pointer, nothing
// allocated. It converts to its code, so `J_X(...) != J_ST_SUCCESS` and
// `J_STATUS_TYPE st = J_X(...)` read as they did when the calls returned bare codes; only a
// caller that wants the words keeps the camera_status itself.
//
// Thread safety: a const camera_status may be read from several threads at once; changing one
// needs outside synchronisation, as for a std::string.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

using J_STATUS_TYPE = std::uint32_t;

class camera_status {
public:
    // Success.
    camera_status() noexcept = default;
    // A bare code, implicitly: a backend may still `return J_ST_INVALID_HANDLE;`.
    camera_status(J_STATUS_TYPE code) noexcept : code_(code) {}
    // A failure in the library's words; the words are dropped for success or when empty.
    camera_status(J_STATUS_TYPE code, std::string_view message);

    camera_status(const camera_status& other);
    camera_status& operator=(const camera_status& other);
    camera_status(camera_status&&) noexcept = default;
    camera_status& operator=(camera_status&&) noexcept = default;

    bool ok() const noexcept { return code_ == 0; }  // J_ST_SUCCESS
    J_STATUS_TYPE code() const noexcept { return code_; }
    operator J_STATUS_TYPE() const noexcept { return code_; }

    // The library's words; empty when it gave none (and always for success).
    std::string_view message() const noexcept;

    // `text` as it stands, then the library's words when there are any: after ": ", or
    // after a space when `text` ends a sentence ("Не удалось открыть камеру. <words>").
    std::string describe(std::string_view text) const;

private:
    J_STATUS_TYPE code_ = 0;
    std::unique_ptr<const std::string> message_;  // null unless a failure came with words
};
