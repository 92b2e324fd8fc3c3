#pragma once
// recorder_core: the one owner of what the main window shows about capture and recording.
//
// It owns the capture state machine (with the active frame source) and what the workers
// report about the run, and derives from them the state the window shows: the mode (a
// recording whose write thread ended on its own is capture only from then on, while capture
// goes on), which commands are enabled, whether a status text still belongs to the running
// run, and the health strip's cells. The window renders this and turns each command into one
// call here; handlers ask allows() instead of checking the source themselves.
//
// No toolkit types: tests drive it with fake frame sources and a clock of their own.
// Thread safety: none; the GUI thread only.
#include "app/capture_state.h"
#include "app/health_model.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class recorder_core {
public:
    using clock = std::chrono::steady_clock;
    using disk_query = std::function<std::optional<disk_space>()>;

    explicit recorder_core(health_settings health = {});

    // The mode the window shows; `recording` only while the write thread records.
    capture_mode mode() const;
    bool active() const { return state_.active(); }
    const frame_source_ptr& source() const { return state_.source(); }
    bool camera_open() const { return state_.camera_open(); }
    void set_camera_open(bool open) { state_.set_camera_open(open); }

    // Capture / Capture and record: when idle with an open camera, keeps the source `make` gives.
    bool start(const capture_state::source_maker& make, clock::time_point now = clock::now());
    // Stop: drops the source (its threads are joined before this returns).
    bool stop();
    // Stop without the wait: the source leaves the state and goes to the caller, who destroys
    // it on another thread (a recording source stores every frame it still holds first). Until
    // retired(run) nothing starts, the lamp says "СОХРАНЕНИЕ" for a recording, and that run's
    // drain news is still shown. Null source when idle.
    struct retiring_source {
        frame_source_ptr source;
        std::uint64_t run = 0;
    };
    retiring_source retire();
    // The source of `run` is gone. Returns the text closing a drain the operator saw
    // ("Запись сохранена"), or empty.
    std::wstring retired(std::uint64_t run);
    bool saving() const { return retiring_run_.has_value() && retiring_records_; }
    // Remote command 3 on an active source: a recording source gets a new write thread.
    bool restart_recording(const std::function<void(frame_source&)>& restart, clock::time_point now = clock::now());

    // Whether command `id` may run now: the enabling shown and every handler's own check.
    bool allows(int id, database_selection databases = {}) const;

    // What the workers report. The status texts return whether they belong to the running
    // run and are to be shown (texts that arrive after Stop are not, but for the drain's
    // own: `draining`, `queue_dropped` and `stopped` of the run being retired).
    bool record_status(const record_status_message& message, clock::time_point now);
    bool grab_stats(const grab_stats_message& message, clock::time_point now);
    bool new_frame() const { return active(); }

    // Once a second: session code and queue levels from the source, disk space when due.
    void tick(const disk_query& disk, clock::time_point now);

    const health_model& health() const { return health_; }
    health_model& health() { return health_; }

private:
    bool drain_status(const record_status_message& message, clock::time_point now);

    capture_state state_;
    health_model health_;
    bool recording_ended_ = false;  // the write thread of this run said it stopped
    std::uint64_t run_ = 0;         // counts the starts
    std::optional<std::uint64_t> retiring_run_;
    bool retiring_records_ = false;  // ... was recording when stopped: it drains
    bool drain_shown_ = false;       // ... and said so at least once
    bool drain_failed_ = false;      // ... and its write thread ended on a fault meanwhile
};
