#pragma once
// What worker threads report to the main window, without touching any window.
//
// Workers hold a std::shared_ptr<event_sink> and post thread_message values to it. The main
// window's sink turns each into the matching wxThreadEvent (EVT_NEW_FRAME ... EVT_DATABASE_INFO)
// and queues it; once the window is gone its sink drops messages instead. Tests use a sink
// that records what was posted. A worker given a null sink posts nothing.
//
// Thread safety: post() may be called from any thread; implementations must allow that.
#include <any>
#include <memory>
#include <string>
#include <utility>

enum class thread_event {
    new_frame,      // text: the last frame's line (status field 1); live display
    grab_stats,     // text: acquisition statistics (status field 0)
    record_status,  // text: recording status (status field 2)
    status_text,    // text into the status field given by number
    log_error,      // text: error row
    log_info,       // text: information row
    rc_command,     // text: argument, number: command code
    database_info,  // text: database folder path, payload: ldb_info
};

struct thread_message {
    thread_event kind = thread_event::log_info;
    std::wstring text;
    int number = 0;
    std::any payload;
};

class event_sink {
public:
    virtual ~event_sink() = default;
    virtual void post(thread_message message) = 0;
};

using event_sink_ptr = std::shared_ptr<event_sink>;

// Posting helpers; each does nothing when sink is null.
inline void post_event(const event_sink_ptr& sink, thread_event kind, std::wstring text,
                       int number = 0, std::any payload = {}) {
    if (sink) sink->post(thread_message{kind, std::move(text), number, std::move(payload)});
}
inline void post_log_error(const event_sink_ptr& sink, std::wstring text) {
    post_event(sink, thread_event::log_error, std::move(text));
}
inline void post_log_info(const event_sink_ptr& sink, std::wstring text) {
    post_event(sink, thread_event::log_info, std::move(text));
}
