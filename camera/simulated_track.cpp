#include "camera/simulated_track.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

namespace {

// Seconds of each phase of the stopping profile, in order: cruise, brake, stand, speed up.
constexpr double phase_s = 10;
constexpr double accelerating_s = 60;

// Strict decimal numbers: digits, at most one point and an exponent, nothing around them;
// strtod alone would take blanks, "inf", "nan" and hexadecimal.
bool read_real(const std::string& text, double* out) {
    if (text.empty() || text.size() > 40 || text.find_first_not_of("0123456789.eE+-") != std::string::npos)
        return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool read_whole(const std::string& text, std::uint64_t max, std::uint64_t* out) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno == ERANGE || end != text.c_str() + text.size() || v > max) return false;
    *out = v;
    return true;
}

}  // namespace

double simulated_track::distance_after(double t) const {
    if (!(t > 0)) return 0;
    const double v = speed_m_s * 1000.0;  // mm/s
    switch (motion) {
    case profile::constant: return v * t;
    case profile::accelerating: {
        const double a = v / accelerating_s;
        if (t <= accelerating_s) return 0.5 * a * t * t;
        return 0.5 * v * accelerating_s + v * (t - accelerating_s);
    }
    case profile::stopping: {
        const double a = v / phase_s;
        const double per_cycle = 2 * v * phase_s;  // cruise v*T, brake v*T/2, stand, speed up v*T/2
        const double cycles = std::floor(t / (4 * phase_s));
        double s = t - cycles * 4 * phase_s;
        double d = cycles * per_cycle;
        const double cruise = std::min(s, phase_s);
        d += v * cruise;
        s -= cruise;
        const double brake = std::min(s, phase_s);
        d += v * brake - 0.5 * a * brake * brake;
        s -= brake;
        s -= std::min(s, phase_s);  // standing
        d += 0.5 * a * s * s;
        return d;
    }
    }
    return 0;
}

double simulated_track::distance_at(std::chrono::system_clock::time_point t) const {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    return distance_after(static_cast<double>(us - start_ms * 1000) / 1e6);
}

std::uint32_t simulated_track::count_at(double mm, std::uint32_t first) const {
    const double counts = std::floor(std::max(0.0, mm) / mm_per_count);
    return first + static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::fmod(counts, 4294967296.0)));
}

std::optional<simulated_track> parse_simulated_track(const std::string& text, std::string* problem) {
    simulated_track track;
    bool have_start = false;
    bool have_speed = false;
    std::set<std::string> seen;
    std::string trouble;
    std::size_t at = 0;
    while (trouble.empty()) {
        const std::size_t comma = text.find(',', at);
        const std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        const std::size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : item.substr(equals + 1);
        if (item.empty()) {
            trouble = "an empty item at character " + std::to_string(at + 1);
        } else if (equals == std::string::npos) {
            trouble = "\"" + item + "\" is not key=value";
        } else if (key != "change" && !seen.insert(key).second) {
            trouble = key + " is given twice";
        } else if (key == "seed") {
            if (!read_whole(value, UINT64_MAX, &track.seed)) trouble = "seed: \"" + value + "\" is not a whole number";
        } else if (key == "profile") {
            if (value == "constant")
                track.motion = simulated_track::profile::constant;
            else if (value == "accelerating")
                track.motion = simulated_track::profile::accelerating;
            else if (value == "stopping")
                track.motion = simulated_track::profile::stopping;
            else
                trouble = "profile: \"" + value + "\" is none of constant, accelerating, stopping";
        } else if (key == "start") {
            std::uint64_t ms = 0;
            // Up to the year 33658: far enough, and microseconds of it still fit 63 bits.
            if (!read_whole(value, 999'999'999'999'999ull, &ms))
                trouble = "start: \"" + value + "\" is not Unix time in milliseconds";
            track.start_ms = static_cast<std::int64_t>(ms);
            have_start = true;
        } else if (key == "speed") {
            if (!read_real(value, &track.speed_m_s) || track.speed_m_s <= 0 || track.speed_m_s > 100)
                trouble = "speed: \"" + value + "\" is not metres per second above 0 and up to 100";
            have_speed = true;
        } else if (key == "mm_per_count") {
            if (!read_real(value, &track.mm_per_count) || track.mm_per_count < 0.001 || track.mm_per_count > 1e6)
                trouble = "mm_per_count: \"" + value + "\" is not a number from 0.001 to 1000000";
        } else if (key == "px_per_mm") {
            if (!read_real(value, &track.px_per_mm) || track.px_per_mm < 0.001 || track.px_per_mm > 100)
                trouble = "px_per_mm: \"" + value + "\" is not a number from 0.001 to 100";
        } else if (key == "change") {
            const std::size_t sign = value.find('@');
            const std::string what = value.substr(0, sign);
            track_change change;
            if (what == "missing")
                change.what = track_change::kind::missing;
            else if (what == "hanging")
                change.what = track_change::kind::hanging;
            else
                trouble = "change: \"" + what + "\" is neither missing nor hanging";
            if (trouble.empty() && (sign == std::string::npos || !read_real(value.substr(sign + 1), &change.at_mm) ||
                                    change.at_mm < 0 || change.at_mm > 1e12))
                trouble = "change: \"" + value + "\" is not KIND@MILLIMETRES";
            track.changes.push_back(change);
        } else {
            trouble = "unknown key \"" + key + "\" (seed, profile, start, speed, mm_per_count, px_per_mm, change)";
        }
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    if (trouble.empty() && !have_start)
        trouble = "start=MILLISECONDS is missing (Unix time the train sets off, e.g. from date +%s%3N)";
    if (problem) *problem = trouble;
    if (!trouble.empty()) return std::nullopt;
    if (!have_speed) track.speed_m_s = track.motion == simulated_track::profile::accelerating ? 20 : 10;
    return track;
}

std::optional<simulated_track> simulated_track_from_environment(std::string* problem) {
    if (problem) problem->clear();
    const char* text = std::getenv("QUILLMAR_SIMULATED_TRACK");
    if (!text || !*text) return std::nullopt;
    std::string trouble;
    auto track = parse_simulated_track(text, &trouble);
    if (problem && !trouble.empty()) *problem = "QUILLMAR_SIMULATED_TRACK: " + trouble;
    return track;
}
