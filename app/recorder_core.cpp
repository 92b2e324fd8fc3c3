#include "app/recorder_core.h"

#include "app/window_ids.h"
#include "base/locale_text.h"

recorder_core::recorder_core(health_settings health) : health_(health) {}

capture_mode recorder_core::mode() const {
    const capture_mode m = state_.mode();
    return m == capture_mode::recording && recording_ended_ ? capture_mode::capturing : m;
}

bool recorder_core::start(const capture_state::source_maker& make, clock::time_point now) {
    if (!state_.start(make)) return false;
    recording_ended_ = false;
    health_.started(state_.mode() == capture_mode::recording, now);
    return true;
}

bool recorder_core::stop() {
    if (!state_.stop()) return false;
    recording_ended_ = false;
    health_.stopped();
    return true;
}

bool recorder_core::restart_recording(const std::function<void(frame_source&)>& restart, clock::time_point now) {
    if (!state_.active() || !state_.camera_open()) return false;
    restart(*state_.source());
    if (state_.mode() == capture_mode::recording) {
        recording_ended_ = false;
        health_.started(true, now);
    }
    return true;
}

bool recorder_core::allows(int id, database_selection databases) const {
    // A session code means nothing once the write thread has ended.
    if (id == ID_SESSION_CODE) return mode() == capture_mode::recording;
    return state_.is_enabled(id, databases);
}

bool recorder_core::record_status(const record_status_message& message, clock::time_point now) {
    if (state_.mode() != capture_mode::recording) return false;
    // Steps still queued behind the end of the thread say nothing new.
    if (recording_ended_ && message.news != recording_news::stopped) return false;
    if (message.news == recording_news::stopped) recording_ended_ = true;
    health_.record_status(message, now);
    return true;
}

bool recorder_core::grab_stats(const grab_stats_message& message, clock::time_point now) {
    if (!active()) return false;
    health_.grab_stats(message, now);
    return true;
}

void recorder_core::tick(const disk_query& disk, clock::time_point now) {
    if (state_.mode() == capture_mode::recording) health_.session_code(to_wide(state_.source()->session_code()));
    if (disk && health_.disk_due(now)) health_.disk(disk(), now);
}
