#include "camera/continuous_grab_write.h"

#include <stdexcept>

continuous_grab_write::continuous_grab_write(event_sink_ptr sink, capture_config config, jai_camera_ptr camera,
                                             recorder_factory make_recorder, capture_thread::seconds_clock clock)
    : camera_(std::move(camera)), make_recorder_(std::move(make_recorder)) {
    if (!camera_) throw std::runtime_error("Не удалось открыть камеру.");
    frame_ = make_frame_buffer(camera_->handle());
    if (make_recorder_) queue_ = std::make_unique<recording_queue>(config.recording_queue_bytes);
    thread_ =
        std::make_unique<capture_thread>(sink, config, camera_->handle(), frame_.get(), std::move(clock), queue_.get());
    thread_->start();
    if (make_recorder_) recorder_ = make_recorder_(sink, std::string(), queue_.get());
}

continuous_grab_write::~continuous_grab_write() {
    recorder_.reset();
    if (thread_) {
        thread_->request_exit();
        thread_->join();
    }
    thread_.reset();
    queue_.reset();
    frame_.reset();
}

std::optional<recording_queue::levels> continuous_grab_write::queue_levels() {
    if (!recorder_ || !queue_) return std::nullopt;
    return queue_->snapshot();
}

std::string continuous_grab_write::session_code() { return recorder_ ? recorder_->session_code() : session_code_; }

void continuous_grab_write::set_session_code(const std::string& code) {
    if (recorder_)
        recorder_->set_session_code(code);
    else
        session_code_ = code;
}

void continuous_grab_write::restart_recording(event_sink_ptr sink, const std::string& session_code) {
    recorder_.reset();
    if (make_recorder_)
        recorder_ = make_recorder_(std::move(sink), session_code, queue_.get());
    else
        session_code_ = session_code;
}
