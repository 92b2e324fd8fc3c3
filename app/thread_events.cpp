#include "app/thread_events.h"

wxDEFINE_EVENT(EVT_NEW_FRAME, wxThreadEvent);
wxDEFINE_EVENT(EVT_GRAB_STATS, wxThreadEvent);
wxDEFINE_EVENT(EVT_RECORD_STATUS, wxThreadEvent);
wxDEFINE_EVENT(EVT_STATUS_TEXT, wxThreadEvent);
wxDEFINE_EVENT(EVT_LOG_ERROR, wxThreadEvent);
wxDEFINE_EVENT(EVT_LOG_INFO, wxThreadEvent);
wxDEFINE_EVENT(EVT_RC_COMMAND, wxThreadEvent);
wxDEFINE_EVENT(EVT_DATABASE_INFO, wxThreadEvent);
wxDEFINE_EVENT(EVT_SOURCE_RETIRED, wxThreadEvent);

namespace {

template <class... F>
struct overloaded : F... {
    using F::operator()...;
};
template <class... F>
overloaded(F...) -> overloaded<F...>;

}  // namespace

wxEventType event_type_of(thread_event kind) {
    switch (kind) {
    case thread_event::new_frame: return EVT_NEW_FRAME;
    case thread_event::grab_stats: return EVT_GRAB_STATS;
    case thread_event::record_status: return EVT_RECORD_STATUS;
    case thread_event::status_text: return EVT_STATUS_TEXT;
    case thread_event::log_error: return EVT_LOG_ERROR;
    case thread_event::log_info: return EVT_LOG_INFO;
    case thread_event::rc_command: return EVT_RC_COMMAND;
    case thread_event::database_info: return EVT_DATABASE_INFO;
    }
    return EVT_LOG_INFO;
}

wxThreadEvent* make_thread_event(thread_message message) {
    auto* event = new wxThreadEvent(event_type_of(kind_of(message)), wxID_ANY);
    event->SetString(wxString(text_of(message)));
    event->SetInt(std::visit(
        overloaded{[](const status_text_message& m) { return m.field; },
                   [](const rc_command_message& m) { return m.code; },
                   [](const database_info_message& m) { return m.generation; }, [](const auto&) { return 0; }},
        message));
    event->SetPayload(std::move(message));
    return event;
}
