#pragma once
// Where the main window starts the network services: on all IPv4 addresses, discovery on UDP
// port 12800. Test runs move discovery off the fixed port with the environment variable
// QUILLMAR_DISCOVERY_PORT (a number; 0 lets the system choose), so that test runs on one
// machine never meet each other or a recorder running there; like QUILLMAR_CAMERAS it is
// plumbing for tests, not a setting.
#include "net/network_services.h"

network_services::options service_options_from_environment();
