#pragma once
// The values the window reads from the settings store for the workers it starts, so that the
// workers themselves take plain values and never see the store.
//
// Each function reads the store now (any thread, as the store allows); a null store gives
// the defaults. The write thread's own reader is write_thread_config_from.
#include "camera/capture_thread.h"
#include "settings/settings_store.h"

#include <string>

// rotate180, record_queue_mb.
capture_config capture_config_from(const settings_ptr& settings);
// write_path: where recordings go and the database list scans.
std::wstring write_path_from(const settings_ptr& settings);
