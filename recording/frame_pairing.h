#pragma once
// frame_pairing: which frame each odometer message gets, decided by arrival times alone.
//
// Arrivals come in the order they arrived (recording_queue). A message gets the newest frame
// that arrived before it and has not been given to a message yet; a message with no such frame
// is a position without a new frame. A frame that a newer frame replaces before any message
// came was never due: it is handed back at once. When the newest frame before a message was
// dropped by the queue, the message's frame is lost (marked on its job; the position keeps
// no frame). A session code passes through in its place, so it applies from the first message
// after it.
//
// Plain object; one thread (the pairing stage's).
#include "camera/recording_queue.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// What the pairing stage hands on, in arrival order.
struct recording_job {
    enum class kind { step, session };
    kind what = kind::step;
    std::uint32_t count = 0;                     // step: the message's count
    int format = 7;                              // step
    std::time_t wall = 0;                        // step: the message's arrival, seconds since the epoch
    std::chrono::steady_clock::time_point at{};  // the message's arrival
    queued_frame* frame = nullptr;               // step: its frame, lent by the queue; null: none
    bool frame_lost = false;                     // step: its frame was dropped by the queue
    std::string code;                            // session
};

class frame_pairing {
public:
    using discard = std::function<void(queued_frame*)>;

    explicit frame_pairing(discard give_back) : give_back_(std::move(give_back)) {}

    // The job an arrival makes, if any.
    std::optional<recording_job> take(arrival a);
    // The end of a run: a frame still waiting for a message is given back.
    void finish();

private:
    discard give_back_;
    queued_frame* waiting_ = nullptr;  // the newest frame not given to a message
    bool waiting_dropped_ = false;     // the newest frame was dropped
};
