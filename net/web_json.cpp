#include "net/web_json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <set>

#include "database/database_list_model.h"
#include "net/http_names.h"

std::string json_string(std::wstring_view text) {
    const std::string utf8 = encode_utf8(text);
    std::string out;
    out.reserve(utf8.size() + 2);
    out.push_back('"');
    for (const char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out.push_back(c);
            }
        }
    }
    out.push_back('"');
    return out;
}

namespace {

// Levels are this program's own words; anything else would break the page's classes.
std::string level_text(const std::string& level) {
    static const std::set<std::string> known = {"off", "good", "normal", "amber", "red"};
    return "\"" + (known.count(level) ? level : std::string("normal")) + "\"";
}

}  // namespace

std::string health_json(const web_health& health) {
    std::string out = "{\"lamp\":" + json_string(health.lamp) + ",\"lamp_level\":" + level_text(health.lamp_level) +
                      ",\"cells\":[";
    for (std::size_t i = 0; i < health.cells.size(); ++i) {
        const web_health_cell& c = health.cells[i];
        if (i) out.push_back(',');
        out += "{\"label\":" + json_string(c.label) + ",\"value\":" + json_string(c.value) +
               ",\"level\":" + level_text(c.level) + ",\"tip\":" + json_string(c.tip) + "}";
    }
    out += "],\"frames_stored\":" + std::to_string(health.frames_stored) +
           ",\"recording\":" + (health.recording ? "true" : "false") + "}";
    return out;
}

std::string recordings_json(std::vector<registry_entry> entries) {
    std::stable_sort(entries.begin(), entries.end(), database_list_model::newer_first);
    std::set<std::wstring> seen;
    std::string out = "[";
    bool first = true;
    for (const registry_entry& e : entries) {
        if (!seen.insert(e.path).second) continue;
        const ldb_info& i = e.info;
        if (!first) out.push_back(',');
        first = false;
        out += "{\"folder\":" + json_string(folder_name_of(e.path)) + ",\"session\":" + json_string(i.session) +
               ",\"side\":" + json_string(i.side) + ",\"frames\":" + std::to_string(i.count) +
               ",\"first_count\":" + std::to_string(i.dpp_start) + ",\"last_count\":" + std::to_string(i.dpp_end) +
               ",\"start\":" + json_string(i.time_start) + ",\"end\":" + json_string(i.time_end) +
               ",\"size\":" + std::to_string(i.size) + "}";
    }
    out.push_back(']');
    return out;
}

std::string counts_json(const std::vector<std::uint32_t>& counts, double scale, bool show_scale) {
    std::string out = "{\"counts\":[";
    out.reserve(out.size() + counts.size() * 8 + 40);
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (i) out.push_back(',');
        out += std::to_string(counts[i]);
    }
    // JSON has no NaN or infinity (the page then draws no ruler); to_chars ignores the locale,
    // which may write a decimal comma.
    char number[32];
    const double value = std::isfinite(scale) && scale > 0 ? scale : 0.0;
    const auto written = std::to_chars(number, number + sizeof number, value);
    out += "],\"scale\":";
    out.append(number, written.ptr);
    out += ",\"show_scale\":";
    out += show_scale ? "true" : "false";
    out += "}";
    return out;
}
