#pragma once
// Writing rows into the log of this run.
//
// log_info writes an information (blue) row to std::wcout, log_error and log_exception an
// error (red) row to std::wcerr. While the log_viewer exists both streams end up in the
// "Журнал" pane and in the run's HTML log file; before and after they are the process's own
// streams. GUI thread only: workers post EVT_LOG_INFO / EVT_LOG_ERROR instead.
#include <exception>

#include <wx/string.h>

void log_info(const wxString& message);
void log_error(const wxString& message);
// An error row with the exception's message, decoded with the locale's multibyte conversion
// (bytes that do not decode are taken one byte per character).
void log_exception(const std::exception& error);
