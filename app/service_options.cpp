#include "app/service_options.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// A port number from the environment; nothing when unset or not a number up to 65535.
std::optional<std::uint16_t> port_from_environment(const char* name) {
    const char* port = std::getenv(name);
    if (!port || !*port) return std::nullopt;
    char* end = nullptr;
    const unsigned long value = std::strtoul(port, &end, 10);
    if (*end != '\0' || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

const char* level_name(health_level level) {
    switch (level) {
    case health_level::off: return "off";
    case health_level::good: return "good";
    case health_level::amber: return "amber";
    case health_level::red: return "red";
    case health_level::normal: break;
    }
    return "normal";
}

}  // namespace

network_services::options service_options_from_environment() {
    network_services::options options;
    if (const auto port = port_from_environment("QUILLMAR_DISCOVERY_PORT")) options.discovery_port = *port;
    options.web_port = port_from_environment("QUILLMAR_WEB_PORT");
    return options;
}

web_health health_for_web(const health_model& model, const std::vector<health_cell>& cells) {
    web_health out;
    out.recording = model.recording();
    out.frames_stored = model.frames_stored();
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const health_cell& c = cells[i];
        if (i == health_model::cell_lamp) {
            out.lamp = c.value;
            out.lamp_level = level_name(c.level);
            continue;
        }
        out.cells.push_back(web_health_cell{c.label, c.value, level_name(c.level), tip_of(c)});
    }
    return out;
}
