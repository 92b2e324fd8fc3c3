#pragma once
// camera_discovery: the camera list searched on a thread of its own, "qm-cameras". A real
// search (GigE Vision discovery) waits for answers on every interface; on the window's thread
// it froze the window at start and at "Обновить список камер".
//
// Ownership: the window owns it and destroys it before the camera factory it searches with;
// the destructor joins a running search. One search at a time.
// Threads: start(), busy() and the handler on the GUI thread. The search itself only calls
// refresh_camera_list on the worker; its result comes back as a queued thread event to this
// handler, which calls `found` on the GUI thread.
#include "camera/camera_list.h"

#include <functional>
#include <thread>

#include <wx/event.h>

class jai_factory;

class camera_discovery : public wxEvtHandler {
public:
    using found_callback = std::function<void(const camera_refresh&)>;

    explicit camera_discovery(found_callback found);
    ~camera_discovery() override;
    camera_discovery(const camera_discovery&) = delete;
    camera_discovery& operator=(const camera_discovery&) = delete;

    // Starts a search with `factory` (which must not be used elsewhere until it ends);
    // false while one runs.
    bool start(jai_factory& factory);
    // From start() until its result has been handed to `found`.
    bool busy() const { return busy_; }

private:
    found_callback found_;
    bool busy_ = false;   // GUI thread only
    std::thread thread_;  // the last search; joined before the next and at the end
};
