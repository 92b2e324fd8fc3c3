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
    ++run_;
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

recorder_core::retiring_source recorder_core::retire() {
    if (!state_.active()) return {};
    retiring_records_ = mode() == capture_mode::recording;
    retiring_run_ = run_;
    drain_shown_ = drain_failed_ = false;
    recording_ended_ = false;
    state_.set_retiring(true);
    health_.stopped(retiring_records_);
    return {state_.take(), run_};
}

std::wstring recorder_core::retired(std::uint64_t run) {
    if (retiring_run_ != run) return {};
    const bool said = retiring_records_ && drain_shown_ && !drain_failed_;
    retiring_run_.reset();
    retiring_records_ = false;
    state_.set_retiring(false);
    health_.saved();
    return said ? L"Запись сохранена" : L"";
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
    if (state_.mode() != capture_mode::recording) return drain_status(message, now);
    // Steps still queued behind the end of the thread say nothing new.
    if (recording_ended_ && message.news != recording_news::stopped) return false;
    if (message.news == recording_news::stopped) recording_ended_ = true;
    health_.record_status(message, now);
    return true;
}

bool recorder_core::drain_status(const record_status_message& message, clock::time_point now) {
    // Only one run can be retiring: nothing starts until it is gone, so what arrives meanwhile
    // is its own. Steps stored during the drain would hide the count of what is left.
    if (!saving()) return false;
    switch (message.news) {
    case recording_news::draining: drain_shown_ = true; break;
    case recording_news::stopped: drain_failed_ = true; break;
    case recording_news::queue_dropped: break;
    default: return false;
    }
    health_.record_status(message, now);
    return true;
}

bool recorder_core::grab_stats(const grab_stats_message& message, clock::time_point now) {
    if (!active()) return false;
    health_.grab_stats(message, now);
    return true;
}

void recorder_core::tick(const disk_query& disk, clock::time_point now) {
    if (state_.mode() == capture_mode::recording) {
        health_.session_code(to_wide(state_.source()->session_code()));
        health_.queue(state_.source()->queue_levels(), now);
    }
    if (disk && health_.disk_due(now)) health_.disk(disk(), now);
}
