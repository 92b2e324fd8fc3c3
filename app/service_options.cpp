#include "app/service_options.h"

#include <cstdlib>
#include <string>

network_services::options service_options_from_environment() {
    network_services::options options;
    if (const char* port = std::getenv("QUILLMAR_DISCOVERY_PORT"); port && *port) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(port, &end, 10);
        if (*end == '\0' && value <= 65535) options.discovery_port = static_cast<std::uint16_t>(value);
    }
    return options;
}
