#include "app/capture_state.h"

#include "app/window_ids.h"

capture_mode capture_state::mode() const {
    if (!source_) return capture_mode::idle;
    return source_->is_recording() ? capture_mode::recording : capture_mode::capturing;
}

bool capture_state::start(const source_maker& make) {
    if (source_ || retiring_ || !camera_open_) return false;
    frame_source_ptr made = make();
    if (!made) return false;
    source_ = std::move(made);
    return true;
}

bool capture_state::stop() {
    if (!source_) return false;
    // Taken out first so the source is no longer "active" while its threads are being joined.
    frame_source_ptr dropped = take();
    dropped.reset();
    return true;
}

frame_source_ptr capture_state::take() {
    frame_source_ptr taken = std::move(source_);
    source_.reset();
    return taken;
}

bool capture_state::is_enabled(int id, database_selection databases) const {
    const bool idle = source_ == nullptr && !retiring_;
    switch (id) {
    case ID_CAMERA_COMBO:
    case ID_SETTINGS:
    case ID_REFRESH_CAMERAS:
    case ID_REFRESH_DATABASES: return idle;
    case ID_CAPTURE:
    case ID_CAPTURE_RECORD: return idle && camera_open_;
    case ID_STOP: return source_ != nullptr;
    case ID_SESSION_CODE: return source_ != nullptr && source_->is_recording();
    case ID_VIEW_DATABASE:
    case ID_COMPARE_DATABASE:
    case ID_DELETE_DATABASE:
    case ID_ARCHIVE_DATABASE:
    case ID_REPLACE_SIDE:
    case ID_REPLACE_SESSION_CODE:
    case ID_EXPORT_DATABASE: return idle && databases.has_items && databases.has_selection;
    default:  // exposure combo box, Exit, odometer test
        return true;
    }
}
