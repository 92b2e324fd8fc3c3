#pragma once
// The write thread as the program makes it: its configuration read from the settings store,
// and the recorder_factory that continuous_grab_write uses.
//
// write_thread_config_from reads dpp_port (as a device path), dpp_format, the
// coordinate_server_* keys, write_path and side, each with its default when missing.
// Thread safety: as the settings store (any thread).
#include "camera/frame_source.h"
#include "recording/write_thread.h"
#include "settings/settings_store.h"

write_thread_config write_thread_config_from(const settings_store& settings);

// Makes a running write_thread that records into live (which must outlive every write thread
// made), or into a database of its own when live is null. The settings are read once per
// thread, when it is made, so a recording started after the settings dialog uses its values.
recorder_factory write_thread_factory(settings_ptr settings, recording_database* live = nullptr);
// The same with every tuning of write_thread_tuning (its database as live above).
recorder_factory write_thread_factory(settings_ptr settings, write_thread_tuning tuning);
