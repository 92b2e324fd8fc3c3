#pragma once
// depot_link: the window's side of the depot upload. It owns the uploader (thread "qm-depot")
// from the first time the settings switch upload on until the window goes; switching upload
// off only idles it, so the window's thread never waits for a join while the program runs.
// What the uploader says reaches the window as queued events: each recording's status (the
// "Депо" column, EVT_DEPOT_STATUS) and log rows through the window's event sink.
//
// Ownership: the window owns it and destroys it before anything the events go to: the
// destructor stops and joins the thread (the request under way is cancelled at once; its
// resume state lets the next start go on from the parts the store confirmed).
// Thread safety: GUI thread only; the uploader's callbacks run on its thread and only queue.
// Errors: depot settings that cannot be used give one red log row and no upload.
#include <memory>
#include <string>

#include <wx/event.h>

#include "base/thread_message.h"
#include "depot/depot_uploader.h"

class settings_store;

struct depot_status_update {
    std::wstring folder;  // the recording's folder name
    std::wstring text;    // what the list's "Депо" column shows
};

// Payload: depot_status_update.
wxDECLARE_EVENT(EVT_DEPOT_STATUS, wxThreadEvent);

class depot_link {
public:
    // `window` receives EVT_DEPOT_STATUS; `sink` the log rows. `tune` may change the uploader's
    // configuration before it starts (tests: short pauses, their own client).
    depot_link(wxEvtHandler* window, event_sink_ptr sink,
               std::function<void(depot_uploader_config&)> tune = nullptr);
    ~depot_link();
    depot_link(const depot_link&) = delete;
    depot_link& operator=(const depot_link&) = delete;

    // Reads the depot settings for the recordings in write_path: starts the upload, hands new
    // settings on, or idles it. True when upload is on.
    bool apply(const settings_store& store, const std::string& write_path);
    // A recording was closed: look for work now rather than at the next scan.
    void recording_closed();

private:
    wxEvtHandler* window_;
    event_sink_ptr sink_;
    std::function<void(depot_uploader_config&)> tune_;
    std::string target_;  // "endpoint/bucket" of the last apply that turned upload on; empty when off
    std::unique_ptr<depot_uploader> uploader_;
};
