#include "app/window_event_sink.h"

#include "app/thread_events.h"

void window_event_sink::post(thread_message message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!target_) return;
    wxQueueEvent(target_, make_thread_event(std::move(message)));
}

void window_event_sink::post_retired(std::uint64_t run) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!target_) return;
    auto* event = new wxThreadEvent(EVT_SOURCE_RETIRED, wxID_ANY);
    event->SetPayload(run);
    wxQueueEvent(target_, event);
}

void window_event_sink::detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = nullptr;
}

bool window_event_sink::attached() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_ != nullptr;
}
