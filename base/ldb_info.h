#pragma once
// The summary of one recorded database: what the "Данные" list shows, what the registry
// searches and what travels from the loading and write threads to the main window as the
// summary of a database_info_message.
//
// Plain copyable value; no locking of its own. A default-constructed summary has empty
// texts and zero numbers.
#include <cstdint>
#include <string>

struct ldb_info {
    std::wstring session;      // session code
    std::wstring orientation;  // never written by this program; read when present
    std::wstring side;
    std::wstring time_start;      // local time "YYYY-MM-DD HH:MM:SS", empty when unknown
    std::wstring time_end;        // same form
    std::uint32_t dpp_start = 0;  // first odometer count
    std::uint32_t dpp_end = 0;    // last odometer count
    std::wstring version;         // format version, "1" for databases written here
    std::uint64_t size = 0;       // approximate stored bytes of the frame range, full 64 bits
    std::uint64_t count = 0;      // number of frame writes

    bool operator==(const ldb_info&) const = default;
};
