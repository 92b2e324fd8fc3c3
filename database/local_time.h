#pragma once
// The time texts of a database's summary (base/ldb_info.h) from the stored seconds.
// Stateless; safe from any thread (localtime_r).
#include <cstdint>
#include <string>

// Local time of seconds since the epoch as "YYYY-MM-DD HH:MM:SS"; empty for invalid_time
// (database/database_layout.h) and for a time the system cannot convert.
std::wstring format_local_time(std::int64_t seconds);
