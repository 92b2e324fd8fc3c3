#pragma once
// What worker threads report to the main window, without touching any window.
//
// Workers hold a std::shared_ptr<event_sink> and post thread_message values to it: one struct
// per kind, so each kind carries exactly its own fields. The main window's sink turns each
// into the matching wxThreadEvent (EVT_NEW_FRAME ... EVT_DATABASE_INFO) and queues it; once
// the window is gone its sink drops messages instead. Tests use a sink that records what was
// posted. A worker given a null sink posts nothing.
//
// Thread safety: post() may be called from any thread; implementations must allow that.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <type_traits>
#include <variant>

#include "base/ldb_info.h"

struct new_frame_message {  // the last frame's line (status field 1); live display
    std::wstring text;
};
struct grab_stats_message {  // acquisition statistics (status field 0)
    std::wstring text;
    std::uint64_t delivered = 0;  // the stream's counters since the capture started
    std::uint64_t lost = 0;
    std::uint64_t corrupt = 0;
};
// What a recording status reports besides its text, so the window follows the recording
// without reading texts back.
enum class recording_news {
    text,             // a status text only
    step,             // one odometer message handled: count, stored, frames, database
    odometer_silent,  // no odometer message for the silence time
    odometer_lost,    // the odometer line failed; it is being reopened
    odometer_back,    // messages arrive again after a silence or a loss
    stopped,          // the recording ended (the text says why); capture goes on
    draining,         // after Stop: frames still being saved (count = how many)
    queue_dropped,    // the recording queue dropped frames (count = how many in the episode)
};
struct record_status_message {  // recording status (status field 2)
    std::wstring text;
    recording_news news = recording_news::text;
    std::uint32_t count = 0;   // step: the odometer count
    bool stored = false;       // step: a new frame was stored under it
    std::uint64_t frames = 0;  // step: frames in the current database
    std::wstring database;     // step: the current database's folder
};
struct status_text_message {  // text into the given status field
    int field = 0;
    std::wstring text;
};
struct log_error_message {  // a red row
    std::wstring text;
};
struct log_info_message {  // a blue row
    std::wstring text;
};
struct rc_command_message {  // a remote-control command for the window
    int code = 0;
    std::wstring text;  // its argument (the session code of code 3)
    // From the browser service's token-guarded commands, which alone may ask for capture only
    // (code 4): the remote-control socket's clients keep every other code meaning nothing.
    bool from_browser = false;
};
struct database_info_message {  // one database's summary for the list and the registry
    std::wstring folder;
    ldb_info summary;
    int generation = 0;  // the scan that read it; 0 for the write thread's reports
};

// Built field by field: brace initialisation that leaves fields out is warned about.
inline record_status_message make_record_status(recording_news news, std::wstring text) {
    record_status_message m;
    m.text = std::move(text);
    m.news = news;
    return m;
}
inline grab_stats_message make_grab_stats(std::wstring text, std::uint64_t delivered = 0, std::uint64_t lost = 0,
                                          std::uint64_t corrupt = 0) {
    grab_stats_message m;
    m.text = std::move(text);
    m.delivered = delivered;
    m.lost = lost;
    m.corrupt = corrupt;
    return m;
}

using thread_message = std::variant<new_frame_message, grab_stats_message, record_status_message, status_text_message,
                                    log_error_message, log_info_message, rc_command_message, database_info_message>;

// The kinds in the variant's order, for code that filters or maps messages by kind.
enum class thread_event {
    new_frame,
    grab_stats,
    record_status,
    status_text,
    log_error,
    log_info,
    rc_command,
    database_info,
};

inline thread_event kind_of(const thread_message& message) { return static_cast<thread_event>(message.index()); }
// The message's text; a database report's folder.
inline const std::wstring& text_of(const thread_message& message) {
    return std::visit(
        [](const auto& m) -> const std::wstring& {
            if constexpr (std::is_same_v<std::decay_t<decltype(m)>, database_info_message>)
                return m.folder;
            else
                return m.text;
        },
        message);
}

class event_sink {
public:
    virtual ~event_sink() = default;
    virtual void post(thread_message message) = 0;
};

using event_sink_ptr = std::shared_ptr<event_sink>;

// Posting helpers; each does nothing when sink is null.
inline void post_message(const event_sink_ptr& sink, thread_message message) {
    if (sink) sink->post(std::move(message));
}
inline void post_log_error(const event_sink_ptr& sink, std::wstring text) {
    post_message(sink, log_error_message{std::move(text)});
}
inline void post_log_info(const event_sink_ptr& sink, std::wstring text) {
    post_message(sink, log_info_message{std::move(text)});
}
