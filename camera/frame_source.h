#pragma once
// What the main window holds while the camera runs: the capture (and, when recording, the
// write) thread plus the frame_buffer they share. Dropping the last reference stops and
// joins the threads — the write thread before the capture thread — and then frees the buffer.
//
// Implementations: continuous_grab (capture only), continuous_grab_write (capture and record).
// All operations are called on the GUI thread.
#include "base/thread_message.h"
#include "camera/recording_queue.h"

#include <functional>
#include <memory>
#include <string>

struct frame_buffer;

class frame_source {
public:
    virtual ~frame_source() = default;

    virtual frame_buffer* buffer() = 0;
    // The current session code of the recording (narrow, locale encoding); empty when not recording.
    virtual std::string session_code() = 0;
    virtual void set_session_code(const std::string& code) = 0;
    // Replaces the write thread by a new one with the given code (recording sources only).
    virtual void restart_recording(event_sink_ptr sink, const std::string& session_code) = 0;
    virtual bool is_recording() = 0;
    // The recording queue's levels while a recording runs; none otherwise.
    virtual std::optional<recording_queue::levels> queue_levels() { return std::nullopt; }
};

using frame_source_ptr = std::shared_ptr<frame_source>;

// The recording half of a capture-and-record source, implemented by the write thread.
// Created running; destroying it stops its I/O loop and joins the thread (its end-of-run
// work — closing and reporting the database — happens before the destructor returns).
class recorder {
public:
    virtual ~recorder() = default;
    virtual std::string session_code() = 0;
    virtual void set_session_code(const std::string& code) = 0;
    // Frames paired with a message and not yet stored (a stop's remaining work).
    virtual std::size_t frames_to_save() { return 0; }
};

// Makes a running recorder: (event receiver, initial session code, the recording queue the
// capture thread feeds). The factory brings whatever configuration the recorder needs.
using recorder_factory =
    std::function<std::unique_ptr<recorder>(event_sink_ptr, const std::string&, recording_queue*)>;
