#pragma once
// continuous_grab: the capture-only frame source (live display, no recording).
//
// Construction creates the frame_buffer from the open camera and
// starts the capture thread; it throws std::runtime_error (the frame_buffer texts) and then
// leaves nothing running. Destruction asks the thread's wait condition to exit, joins the
// thread, then frees the buffer. The camera is held until then, so it stays open while
// captured from. All operations on the GUI thread.
#include "camera/capture_thread.h"
#include "camera/frame_buffer.h"
#include "camera/frame_source.h"
#include "camera/jai_camera.h"

#include <memory>
#include <string>

class continuous_grab : public frame_source {
public:
    continuous_grab(event_sink_ptr sink, capture_config config, jai_camera_ptr camera,
                    capture_thread::seconds_clock clock = {});
    ~continuous_grab() override;

    frame_buffer* buffer() override { return frame_.get(); }
    std::string session_code() override { return {}; }
    void set_session_code(const std::string&) override {}
    void restart_recording(event_sink_ptr, const std::string&) override {}
    bool is_recording() override { return false; }

    // Stops the capture thread and returns its result (tests; the destructor does the same).
    int stop_and_join();
    std::uint64_t frames_copied() const { return thread_ ? thread_->frames_copied() : 0; }

private:
    jai_camera_ptr camera_;                // released last
    std::unique_ptr<frame_buffer> frame_;  // outlives the thread
    std::unique_ptr<capture_thread> thread_;
};
