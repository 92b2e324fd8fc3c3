#include "camera/continuous_grab.h"

#include <stdexcept>

continuous_grab::continuous_grab(event_sink_ptr sink, capture_config config, jai_camera_ptr camera,
                                 capture_thread::seconds_clock clock)
    : camera_(std::move(camera)) {
    if (!camera_) throw std::runtime_error("Не удалось открыть камеру.");
    frame_ = make_frame_buffer(camera_->handle());
    thread_ =
        std::make_unique<capture_thread>(std::move(sink), config, camera_->handle(), frame_.get(), std::move(clock));
    thread_->start();
}

continuous_grab::~continuous_grab() {
    stop_and_join();
    thread_.reset();
    frame_.reset();
}

int continuous_grab::stop_and_join() {
    if (!thread_) return 0;
    thread_->request_exit();
    return thread_->join();
}
