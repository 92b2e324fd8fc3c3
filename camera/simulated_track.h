#pragma once
// A simulated track: where a simulated train is at any wall-clock moment, shared by the
// odometer simulator (which turns the distance into counts) and the simulated camera (which
// shows the place at that distance), so that a recording made without hardware holds the same
// place at the same count, and two recordings of one track can be compared.
//
// Both programs read it from QUILLMAR_SIMULATED_TRACK, comma-separated key=value items:
//
//   seed=N            the scene's layout, 0 .. 2^64-1 (default 1)
//   profile=P         constant | accelerating | stopping (default constant)
//   start=MS          Unix time in milliseconds when the train sets off (required, for
//                     example `date +%s%3N`); before it the train stands at distance 0
//   speed=M           metres per second: the constant speed (default 10), the speed reached
//                     after accelerating (default 20), the cruising speed of stopping (default 10)
//   mm_per_count=X    millimetres per odometer count (default 1)
//   px_per_mm=X       picture columns per millimetre of travel (default 0.8)
//   change=K@D        a seeded change at D millimetres: K is missing (a part taken away) or
//                     hanging (an object hanging down); repeat the item for several
//
// for example seed=7,profile=stopping,start=1765350000000,change=missing@12000.
//
// Profiles: constant runs at speed from start on. accelerating speeds up evenly from standing
// to speed over 60 s and keeps it. stopping repeats a 40 s cycle: 10 s at speed, 10 s braking
// evenly to a stop, 10 s standing, 10 s speeding up evenly to speed again.
//
// Time is the system clock (CLOCK_REALTIME), the one clock two processes on a machine share;
// a jump of that clock moves the train.
//
// A value type, safe to copy and to read from any number of threads.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct track_change {
    enum class kind { missing, hanging };
    kind what = kind::missing;
    double at_mm = 0;
};

struct simulated_track {
    enum class profile { constant, accelerating, stopping };

    std::uint64_t seed = 1;
    profile motion = profile::constant;
    std::int64_t start_ms = 0;  // Unix time in milliseconds
    double speed_m_s = 10;
    double mm_per_count = 1;
    double px_per_mm = 0.8;
    std::vector<track_change> changes;

    // Millimetres travelled `seconds` after start: 0 before it, never decreasing.
    double distance_after(double seconds) const;
    // Millimetres travelled at the wall-clock moment t.
    double distance_at(std::chrono::system_clock::time_point t) const;
    // The odometer count at distance mm: first + whole counts travelled, modulo 2^32 as the
    // odometer's own counter wraps.
    std::uint32_t count_at(double mm, std::uint32_t first) const;
};

// Reads the text of QUILLMAR_SIMULATED_TRACK. Anything it does not understand gives nothing and
// one line in *problem saying what and where (without the variable's name, which the caller
// adds); *problem is emptied on success.
std::optional<simulated_track> parse_simulated_track(const std::string& text, std::string* problem);

// The track of QUILLMAR_SIMULATED_TRACK: nothing when it is unset or empty, or when it does not
// parse (then *problem, if given, says why).
std::optional<simulated_track> simulated_track_from_environment(std::string* problem = nullptr);
