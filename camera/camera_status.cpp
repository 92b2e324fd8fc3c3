#include "camera/camera_status.h"

camera_status::camera_status(J_STATUS_TYPE code, std::string_view message) : code_(code) {
    if (code != 0 && !message.empty()) message_ = std::make_unique<const std::string>(message);
}

camera_status::camera_status(const camera_status& other)
    : code_(other.code_), message_(other.message_ ? std::make_unique<const std::string>(*other.message_) : nullptr) {}

camera_status& camera_status::operator=(const camera_status& other) {
    if (this != &other) *this = camera_status(other);
    return *this;
}

std::string_view camera_status::message() const noexcept {
    return message_ ? std::string_view(*message_) : std::string_view();
}

std::string camera_status::describe(std::string_view text) const {
    std::string out(text);
    if (!message_) return out;
    out += !out.empty() && out.back() == '.' ? " " : ": ";
    out += *message_;
    return out;
}
