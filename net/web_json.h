#pragma once
// The JSON the web service answers with, built from plain values: the health strip
// (/api/health and the "health" event), the list of recordings (/api/recordings and the
// "recordings" event) and a recording's frame counts. Texts are written as UTF-8 whatever
// the process locale.
//
// No state; safe from any thread. Never throws on odd text (control characters are escaped,
// values that are no code point become U+FFFD).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "database/database_registry.h"

// One cell of the strip as the page shows it; level is "off", "good", "normal", "amber" or
// "red".
struct web_health_cell {
    std::wstring label;
    std::wstring value;
    std::string level = "normal";
    std::wstring tip;

    bool operator==(const web_health_cell&) const = default;
};

// The strip at one moment: the lamp apart, the other cells in the strip's order.
struct web_health {
    std::wstring lamp;
    std::string lamp_level = "off";
    std::vector<web_health_cell> cells;
    std::uint64_t frames_stored = 0;
    bool recording = false;

    bool operator==(const web_health&) const = default;
};

// A JSON string literal, quotes included.
std::string json_string(std::wstring_view text);

// {"lamp":..., "lamp_level":..., "cells":[{"label","value","level","tip"}...],
//  "frames_stored":N, "recording":bool}
std::string health_json(const web_health& health);

// One row of the list as /api/recordings gives it; time texts are the summary's own.
// Newest first as the window's list orders them, each folder once (the registry may hold a
// folder twice; its first entry counts).
std::string recordings_json(std::vector<registry_entry> entries);

// {"counts":[...], "scale":S, "show_scale":bool}
std::string counts_json(const std::vector<std::uint32_t>& counts, double scale, bool show_scale);
