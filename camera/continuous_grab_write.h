#pragma once
// continuous_grab_write: the capture-and-record frame source.
//
// Construction creates the frame_buffer from the open camera, starts the capture thread,
// then makes the recorder (the write thread) with an empty session code over the recording
// queue the capture thread feeds; a failure throws and leaves nothing running. An empty recorder_factory gives a
// source that captures and keeps its session code itself, with no recording done.
// Destruction ends the recorder first, then the capture thread, then frees the buffer.
// All operations on the GUI thread.
#include "camera/capture_thread.h"
#include "camera/frame_buffer.h"
#include "camera/frame_source.h"
#include "camera/jai_camera.h"

#include <memory>
#include <string>

class continuous_grab_write : public frame_source {
public:
    continuous_grab_write(event_sink_ptr sink, capture_config config, jai_camera_ptr camera,
                          recorder_factory make_recorder, capture_thread::seconds_clock clock = {});
    ~continuous_grab_write() override;

    frame_buffer* buffer() override { return frame_.get(); }
    std::string session_code() override;
    void set_session_code(const std::string& code) override;
    // Ends the current recorder (its end-of-run report happens then) and makes a new one
    // with `session_code`; the capture thread keeps running.
    void restart_recording(event_sink_ptr sink, const std::string& session_code) override;
    bool is_recording() override { return true; }
    std::optional<recording_queue::levels> queue_levels() override;

private:
    // Declared so that the members' own destruction order is also the required one.
    jai_camera_ptr camera_;
    std::unique_ptr<frame_buffer> frame_;
    std::unique_ptr<recording_queue> queue_;  // outlives the capture thread and every recorder
    std::unique_ptr<capture_thread> thread_;
    recorder_factory make_recorder_;
    std::unique_ptr<recorder> recorder_;
    std::string session_code_;  // used only without a recorder
};
