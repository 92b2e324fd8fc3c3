#pragma once
// The main window's start-up, in its fixed order, as steps that run one at a time: the window's
// constructor runs them all; a test can construct the window without them and run them step
// by step, looking at the window in between.
//
// Order: SDK factory and thread events; configuration directory and settings store; menus
// and the docking manager; log directory, this run's log file and the removal of old logs;
// panes (the log works from here on) with the health strip; start-up log rows; the camera
// search started (on its own thread); status bar and toolbar; the camera chosen by the
// `driver` setting (opened when the search ends); the first
// scan of the write path; the network services (a discovery port that cannot be bound ends
// start-up there) and the strip's timer.
//
// Errors: a step that cannot go on throws (std::runtime_error); the steps run before it
// stay done, and the window's destructor releases them.
// Thread safety: GUI thread only.
#include <wx/string.h>

class quillmar_frame;

class frame_startup {
public:
    enum class step {
        sdk,
        settings,
        menus,
        logs,
        panes,
        startup_rows,
        cameras,
        bars,
        camera_choice,
        databases,
        services,
        done
    };

    explicit frame_startup(quillmar_frame& frame) : frame_(frame) {}

    step next() const { return next_; }
    // Runs the next step; false when every step has run.
    bool run_next();
    void run_all();

private:
    quillmar_frame& frame_;
    step next_ = step::sdk;
    wxString home_;
};
