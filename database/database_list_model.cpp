#include "database/database_list_model.h"

#include <wx/filename.h>

namespace {

std::wstring odometer_text(std::uint32_t count) {
    return count == 4294967295u ? std::wstring(L"-") : std::to_wstring(count);
}

}  // namespace

std::wstring database_list_model::heading(int column) {
    static const wchar_t* const headings[column_count] = {
        L"Код сеанса", L"Борт", L"Время начала", L"Время окончания",
        L"ДПП начала", L"ДПП окончания", L"Размер", L"Число записей"};
    if (column < 0 || column >= column_count) return {};
    return headings[column];
}

std::wstring database_list_model::cell(std::size_t row, int column) const {
    if (row >= rows_.size()) return {};
    const ldb_info& info = rows_[row].info;
    switch (column) {
    case 0: return info.session;
    case 1: return info.side;
    case 2: return info.time_start;
    case 3: return info.time_end;
    case 4: return odometer_text(info.dpp_start);
    case 5: return odometer_text(info.dpp_end);
    case 6: return wxFileName::GetHumanReadableSize(wxULongLong(info.size)).ToStdWstring();
    case 7: return std::to_wstring(info.count);
    default: return {};
    }
}

std::wstring database_list_model::path(long row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) return {};
    return rows_[static_cast<std::size_t>(row)].path;
}
