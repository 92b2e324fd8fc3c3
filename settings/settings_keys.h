#pragma once
// The settings file's vocabulary: every key and the default each reader uses when the key
// is missing. All readers take their defaults from here so no two places disagree.
#include <wx/string.h>

namespace settings_keys {
inline constexpr const wchar_t* side = L"side";
inline constexpr const wchar_t* driver = L"driver";
inline constexpr const wchar_t* rotate180 = L"rotate180";
inline constexpr const wchar_t* show_scale = L"show_scale";
inline constexpr const wchar_t* scale = L"scale";
inline constexpr const wchar_t* write_path = L"write_path";
inline constexpr const wchar_t* record_queue_mb = L"record_queue_mb";
inline constexpr const wchar_t* dpp_port = L"dpp_port";
inline constexpr const wchar_t* dpp_format = L"dpp_format";
inline constexpr const wchar_t* coordinate_server_enabled = L"coordinate_server_enabled";
inline constexpr const wchar_t* coordinate_server_address = L"coordinate_server_address";
inline constexpr const wchar_t* coordinate_server_port = L"coordinate_server_port";
inline constexpr const wchar_t* coordinate_server_query_period = L"coordinate_server_query_period";
inline constexpr const wchar_t* data_service_port = L"data_service_port";
inline constexpr const wchar_t* rc_service_enabled = L"rc_service_enabled";
inline constexpr const wchar_t* rc_service_port = L"rc_service_port";
inline constexpr const wchar_t* exposure_mode = L"exposure_mode";
inline constexpr const wchar_t* depot_enabled = L"depot_enabled";
inline constexpr const wchar_t* depot_endpoint = L"depot_endpoint";
inline constexpr const wchar_t* depot_bucket = L"depot_bucket";
inline constexpr const wchar_t* depot_prefix = L"depot_prefix";
inline constexpr const wchar_t* depot_region = L"depot_region";
inline constexpr const wchar_t* depot_access_key = L"depot_access_key";
inline constexpr const wchar_t* depot_secret_file = L"depot_secret_file";
inline constexpr const wchar_t* depot_ca_file = L"depot_ca_file";
inline constexpr const wchar_t* depot_max_kbps = L"depot_max_kbps";
inline constexpr const wchar_t* depot_delete_when_safe = L"depot_delete_when_safe";
inline constexpr const wchar_t* web_service_port = L"web_service_port";
inline constexpr const wchar_t* web_service_address = L"web_service_address";
inline constexpr const wchar_t* web_control_token = L"web_control_token";
}  // namespace settings_keys

namespace settings_defaults {
inline constexpr const wchar_t* side = L"левый";
inline constexpr const wchar_t* driver = L"SocketDriver";
inline constexpr bool rotate180 = false;
inline constexpr bool show_scale = true;
inline constexpr double scale = 0.8;
// write_path defaults to the user's home directory, as the toolkit reports it.
wxString write_path();
// The recording queue's bound in MiB: 480 holds 4.2 s of 1920 x 1200 8-bit frames at 50 fps.
// Below the least, a disk hiccup drops frames; above the most, the queue would take the memory.
inline constexpr long record_queue_mb = 480;
inline constexpr long record_queue_mb_least = 64;
inline constexpr long record_queue_mb_most = 16384;
inline constexpr const wchar_t* dpp_port = L"COM1";
inline constexpr const wchar_t* dpp_format = L"ДПП7";
inline constexpr bool coordinate_server_enabled = true;
inline constexpr const wchar_t* coordinate_server_address = L"127.0.0.1";
inline constexpr const wchar_t* coordinate_server_port = L"12500";
inline constexpr long coordinate_server_query_period = 5;
inline constexpr const wchar_t* data_service_port = L"12600";
inline constexpr bool rc_service_enabled = false;
inline constexpr const wchar_t* rc_service_port = L"12700";
inline constexpr const wchar_t* exposure_mode = L"Off";
// The depot (S3 object store) recordings are uploaded to; off until an endpoint is set up.
// The secret lives in a file of its own, readable by its owner only, never in this file.
inline constexpr bool depot_enabled = false;
inline constexpr const wchar_t* depot_endpoint = L"";
inline constexpr const wchar_t* depot_bucket = L"recordings";
inline constexpr const wchar_t* depot_prefix = L"quillmar";
inline constexpr const wchar_t* depot_region = L"us-east-1";
inline constexpr const wchar_t* depot_access_key = L"";
inline constexpr const wchar_t* depot_secret_file = L"";
inline constexpr const wchar_t* depot_ca_file = L"";
// Upload bandwidth cap in KiB/s; 0 means none.
inline constexpr long depot_max_kbps = 0;
// Whether a recording may be deleted on the car once the depot is proven to hold all of it.
inline constexpr bool depot_delete_when_safe = false;
// The pages for a browser; port "0" turns them off. Read-only while the token is empty.
inline constexpr const wchar_t* web_service_port = L"12880";
inline constexpr const wchar_t* web_service_address = L"0.0.0.0";
inline constexpr const wchar_t* web_control_token = L"";
}  // namespace settings_defaults
