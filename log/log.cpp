#include "log/log.h"

#include "log/log_row.h"

#include <ctime>
#include <iostream>

namespace {

void write_row(std::wostream& stream, log_kind kind, const wxString& message) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::wstring row = format_log_row(kind, local, message.ToStdWstring());
    // Line by line with std::endl, so each line is flushed to the file as it is written.
    std::size_t start = 0;
    while (start < row.size()) {
        const std::size_t end = row.find(L'\n', start);
        stream << row.substr(start, end - start) << std::endl;
        start = end + 1;
    }
}

}  // namespace

void log_info(const wxString& message) { write_row(std::wcout, log_kind::info, message); }

void log_error(const wxString& message) { write_row(std::wcerr, log_kind::error, message); }

void log_exception(const std::exception& error) {
    const char* what = error.what();
    wxString text(what, wxConvLibc);
    if (text.empty() && what[0] != '\0') text = wxString(what, wxConvISO8859_1);
    log_error(text);
}
