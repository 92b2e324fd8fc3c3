#include "app/camera_discovery.h"

#include "base/thread_name.h"
#include "camera/jai_factory.h"

#include <exception>

namespace {
// Private to this handler.
wxDEFINE_EVENT(EVT_CAMERAS_FOUND, wxThreadEvent);
}  // namespace

camera_discovery::camera_discovery(found_callback found) : found_(std::move(found)) {
    Bind(EVT_CAMERAS_FOUND, [this](wxThreadEvent& event) {
        busy_ = false;
        if (found_) found_(event.GetPayload<camera_refresh>());
    });
}

camera_discovery::~camera_discovery() {
    // A result queued meanwhile goes with this handler.
    if (thread_.joinable()) thread_.join();
}

bool camera_discovery::start(jai_factory& factory) {
    if (busy_) return false;
    if (thread_.joinable()) thread_.join();  // ended: its result was handled
    busy_ = true;
    thread_ = std::thread([this, &factory] {
        name_this_thread("qm-cameras");
        camera_refresh found;
        try {
            found = refresh_camera_list(factory);
        } catch (const std::exception& e) {
            // refresh_camera_list reports its own failures as rows; anything else says so too.
            found.rows.push_back({true, wxString::FromUTF8(e.what()).ToStdWstring()});
        }
        auto* event = new wxThreadEvent(EVT_CAMERAS_FOUND);
        event->SetPayload(found);
        wxQueueEvent(this, event);
    });
    return true;
}
