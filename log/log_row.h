#pragma once
// The text of one log row, shared by the pane and the log file of a run.
//
// A row is four lines, each ending in '\n':
//   <tr>
//   <td>DD.MM.YYYY HH:MM:SS</td>
//   <td> <font color='blue'>MESSAGE</font></td>     (red for errors)
//   </tr>
// The message is HTML-escaped, so a text that arrived from the network can never add markup
// (or end the row early); the shown text is unchanged. Pure functions, thread-safe.
#include <ctime>
#include <string>

enum class log_kind { info, error };

// "&", "<", ">", '"' and "'" replaced by their character references.
std::wstring html_escape(const std::wstring& text);

// "%d.%m.%Y %H:%M:%S" of a broken-down local time.
std::wstring format_log_time(const std::tm& local_time);

// The four lines of one row for the given local time; `message` is escaped here.
std::wstring format_log_row(log_kind kind, const std::tm& local_time, const std::wstring& message);
