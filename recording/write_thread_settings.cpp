#include "recording/write_thread_settings.h"

#include "base/locale_text.h"
#include "recording/odometer_protocol.h"
#include "recording/serial_device.h"
#include "settings/settings_keys.h"

namespace {

std::wstring text(const settings_store& s, const wchar_t* key, const wxString& def) {
    return s.read_text(key, def).ToStdWstring();
}

}  // namespace

write_thread_config write_thread_config_from(const settings_store& s) {
    write_thread_config c;
    c.device_path = serial_device_path(text(s, settings_keys::dpp_port, settings_defaults::dpp_port));
    c.format = odometer_format_of(text(s, settings_keys::dpp_format, settings_defaults::dpp_format));
    c.coordinate_enabled =
        s.read_bool(settings_keys::coordinate_server_enabled, settings_defaults::coordinate_server_enabled);
    c.coordinate_address =
        to_narrow(text(s, settings_keys::coordinate_server_address, settings_defaults::coordinate_server_address));
    c.coordinate_port =
        to_narrow(text(s, settings_keys::coordinate_server_port, settings_defaults::coordinate_server_port));
    c.query_period =
        s.read_long(settings_keys::coordinate_server_query_period, settings_defaults::coordinate_server_query_period);
    c.write_path = text(s, settings_keys::write_path, settings_defaults::write_path());
    c.side = text(s, settings_keys::side, settings_defaults::side);
    return c;
}

recorder_factory write_thread_factory(settings_ptr settings, recording_database* live) {
    write_thread_tuning tuning;
    tuning.database = live;
    return write_thread_factory(std::move(settings), std::move(tuning));
}

recorder_factory write_thread_factory(settings_ptr settings, write_thread_tuning tuning) {
    return [settings, tuning](event_sink_ptr sink, const std::string& session_code,
                              recording_queue* queue) -> std::unique_ptr<recorder> {
        return std::make_unique<write_thread>(std::move(sink), write_thread_config_from(*settings), session_code, queue,
                                              tuning);
    };
}
