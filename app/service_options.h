#pragma once
// Where the main window starts the network services: on all IPv4 addresses, discovery on UDP
// port 12800. Test runs move discovery off the fixed port with the environment variable
// QUILLMAR_DISCOVERY_PORT (a number; 0 lets the system choose), so that test runs on one
// machine never meet each other or a recorder running there; like QUILLMAR_CAMERAS it is
// plumbing for tests, not a setting. QUILLMAR_WEB_PORT does the same for the web service (and
// starts it even when its setting says 0).
//
// health_for_web: the strip's cells as the web service publishes them: the lamp cell apart
// (its value and level), every other cell with its caption, value, level and the tip the
// strip shows, and the model's recording state and frames stored.
#include <vector>

#include "app/health_model.h"
#include "net/network_services.h"

network_services::options service_options_from_environment();
web_health health_for_web(const health_model& model, const std::vector<health_cell>& cells);
