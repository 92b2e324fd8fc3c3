#include "log/log_row.h"

#include <cwchar>

std::wstring html_escape(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
        case L'&': out += L"&amp;"; break;
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        case L'"': out += L"&quot;"; break;
        case L'\'': out += L"&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::wstring format_log_time(const std::tm& local_time) {
    wchar_t buffer[64];
    const std::size_t n = std::wcsftime(buffer, sizeof buffer / sizeof buffer[0], L"%d.%m.%Y %H:%M:%S", &local_time);
    return std::wstring(buffer, n);
}

std::wstring format_log_row(log_kind kind, const std::tm& local_time, const std::wstring& message) {
    std::wstring row = L"<tr>\n<td>";
    row += format_log_time(local_time);
    row += L"</td>\n";
    row += kind == log_kind::error ? L"<td> <font color='red'>" : L"<td> <font color='blue'>";
    row += html_escape(message);
    row += L"</font></td>\n</tr>\n";
    return row;
}
