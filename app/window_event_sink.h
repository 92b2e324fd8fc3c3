#pragma once
// The event_sink the main window hands to its workers: it turns each thread_message into the
// matching wxThreadEvent and queues it to the window.
//
// The window detaches the sink at the start of its destruction; from then on messages are
// dropped. Workers that outlive the window (loading scan, network services) therefore never
// post to a destroyed window.
// Thread safety: post() from any thread; attach/detach on the GUI thread. A post that has
// started queueing finishes before detach() returns (both hold the same mutex).
#include "base/thread_message.h"

#include <cstdint>
#include <mutex>

class wxEvtHandler;

class window_event_sink : public event_sink {
public:
    explicit window_event_sink(wxEvtHandler* target) : target_(target) {}

    void post(thread_message message) override;
    // EVT_SOURCE_RETIRED for `run`, queued behind everything the source posted.
    void post_retired(std::uint64_t run);
    void detach();
    bool attached() const;

private:
    mutable std::mutex mutex_;        // guards target_
    wxEvtHandler* target_ = nullptr;  // not owned; null once the window is going away
};
