#include "database/local_time.h"

#include <ctime>

#include "database/database_layout.h"

std::wstring format_local_time(std::int64_t seconds) {
    if (seconds == invalid_time) return {};
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localtime_r(&t, &local)) return {};
    char text[64];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::wstring(text, text + n);
}
