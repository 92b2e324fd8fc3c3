#pragma once
// The eight thread event types through which workers reach the main window, and the
// conversion of a worker's thread_message into one of them.
//
// Each event is a wxThreadEvent with id -1 carrying the message itself (GetPayload<thread_message>()),
// and for convenience its text (GetString) and its number, if it has one (GetInt: the status
// field, the command code or the scan generation; 0 otherwise).
// make_thread_event may be called on any thread; the event it returns is owned by the caller
// until queued (wxQueueEvent takes ownership).
#include "base/thread_message.h"

#include <wx/event.h>

wxDECLARE_EVENT(EVT_NEW_FRAME, wxThreadEvent);
wxDECLARE_EVENT(EVT_GRAB_STATS, wxThreadEvent);
wxDECLARE_EVENT(EVT_RECORD_STATUS, wxThreadEvent);
wxDECLARE_EVENT(EVT_STATUS_TEXT, wxThreadEvent);
wxDECLARE_EVENT(EVT_LOG_ERROR, wxThreadEvent);
wxDECLARE_EVENT(EVT_LOG_INFO, wxThreadEvent);
wxDECLARE_EVENT(EVT_RC_COMMAND, wxThreadEvent);
wxDECLARE_EVENT(EVT_DATABASE_INFO, wxThreadEvent);

// Not a worker's message but the window's own source_retirer: a stopped frame source is gone.
// GetPayload<std::uint64_t>() is the run it belonged to.
wxDECLARE_EVENT(EVT_SOURCE_RETIRED, wxThreadEvent);

wxEventType event_type_of(thread_event kind);

// A new heap event of the message's type; the caller hands it to wxQueueEvent.
wxThreadEvent* make_thread_event(thread_message message);
