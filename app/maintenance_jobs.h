#pragma once
// maintenance_jobs: the window's side of "Архивация базы" and "Удаление базы". It asks on the
// GUI thread (the save-file dialog, the question), hands the work to a maintenance_worker,
// shows the archive's progress window ("Отмена" cancels) or the delete's busy window, and at
// the job's end writes the log row or message and calls `deleted` after a delete, so the
// window can forget the folder and refill its list. One job at a time: busy() lets the window
// refuse the other maintenance commands meanwhile (recording may go on: it writes elsewhere).
//
// Ownership: the window owns it and destroys it before the registry and the ui it was given
// (the ui is fetched through the getter each time, so the window may replace it). The
// destructor closes the progress or busy window, cancels a running archive and waits for the
// job (a running delete finishes first); that job's end is then neither logged nor reported.
// Threads: GUI thread only. The worker's reports are queued to this handler as thread events
// and handled by the window's event loop; progress events are coalesced, so a slow loop sees
// the latest fraction rather than a backlog.
#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include <wx/event.h>

#include "app/maintenance_worker.h"

class database_registry;
class maintenance_ui;

class maintenance_jobs : public wxEvtHandler {
public:
    using ui_getter = std::function<maintenance_ui&()>;

    maintenance_jobs(ui_getter ui, database_registry& registry);
    ~maintenance_jobs() override;

    // Asks for the archive's path and starts writing it; false when busy or cancelled.
    bool start_archive(const std::wstring& folder);
    // Asks whether to delete and starts the delete; false when busy or answered No.
    bool start_delete(const std::wstring& folder);
    // From a start until its end has been handled here.
    bool busy() const { return running_.has_value(); }

    // Called on the GUI thread once a delete has ended, whether the folder went or not (its
    // registry entry is gone either way).
    std::function<void(const std::wstring& folder)> deleted;

    // The handlers of the worker's reports: the progress window's gauge; the end's rows or
    // message, closing the progress or busy window.
    void on_progress(double fraction);
    void on_done(const maintenance_end& end);

private:
    ui_getter ui_;
    std::optional<maintenance_job> running_;
    // Written by the worker, read here: the last fraction, and whether an event for it is
    // already on its way.
    std::atomic<double> latest_{0};
    std::atomic<bool> progress_queued_{false};
    maintenance_worker worker_;  // last: destroyed (and joined) first
};
