#pragma once
// The main window's state machine (Idle / Capturing / Recording) and its enabling rules, as a
// plain object the window's handlers consult, so both can be tested without a display.
//
// The state is the active frame source: none (Idle), a capture-only source (Capturing) or a
// recording source (Recording). Independently a camera is open or not. Starting is possible
// only in Idle with an open camera; every command checks its precondition here again, whatever
// the enabling showed. Dropping the source (stop) stops its threads in the source's destructor;
// take() hands it out instead, to be destroyed elsewhere, and while that runs (retiring) the
// state counts as busy: nothing starts and no idle-only command runs.
//
// Thread safety: GUI thread only.
#include "camera/frame_source.h"

#include <functional>

enum class capture_mode { idle, capturing, recording };

// What the enabling rules need to know about the database list.
struct database_selection {
    bool has_items = false;
    bool has_selection = false;
};

class capture_state {
public:
    using source_maker = std::function<frame_source_ptr()>;

    capture_mode mode() const;
    bool active() const { return source_ != nullptr; }
    const frame_source_ptr& source() const { return source_; }

    bool camera_open() const { return camera_open_; }
    void set_camera_open(bool open) { camera_open_ = open; }

    // Capture / Capture and record: when idle with an open camera, makes the source with
    // `make` and keeps it; true when a source was started. A maker that throws leaves the state idle.
    bool start(const source_maker& make);
    // Stop: drops the active source (its destruction joins its threads); false when idle.
    bool stop();
    // Stop without destroying: the active source leaves the state for its caller; null when idle.
    frame_source_ptr take();
    // A taken source is still being destroyed: its camera and recording database are in use.
    void set_retiring(bool retiring) { retiring_ = retiring; }
    bool retiring() const { return retiring_; }

    // Whether the command or control `id` is enabled now (menu, popup and toolbar alike).
    bool is_enabled(int id, database_selection databases = {}) const;

private:
    frame_source_ptr source_;
    bool camera_open_ = false;
    bool retiring_ = false;
};
