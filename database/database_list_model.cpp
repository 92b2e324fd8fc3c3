#include "database/database_list_model.h"

#include "base/locale_text.h"

#include <algorithm>
#include <iterator>


namespace {

std::wstring odometer_text(std::uint32_t count) {
    return count == 4294967295u ? std::wstring(L"-") : std::to_wstring(count);
}

}  // namespace

std::wstring size_text(std::uint64_t bytes) {
    // Unknown (the folder could not be measured) rather than a made-up zero.
    if (bytes == 0) return L"—";
    if (bytes < 1024) return std::to_wstring(bytes) + L" Б";
    static const wchar_t* const units[] = {L"КБ", L"МБ", L"ГБ", L"ТБ"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    return one_decimal(value) + L" " + units[unit];
}

std::wstring database_list_model::heading(int column) {
    static const wchar_t* const headings[column_count] = {L"Код сеанса",      L"Борт",         L"Время начала",
                                                          L"Время окончания", L"ДПП начала",   L"ДПП окончания",
                                                          L"Размер",          L"Число записей", L"Депо"};
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
    case 6: return size_text(info.size);
    case 7: return std::to_wstring(info.count);
    case 8: {
        std::wstring name = rows_[row].path;
        while (!name.empty() && name.back() == L'/') name.pop_back();
        name = name.substr(name.rfind(L'/') + 1);  // npos + 1 == 0
        const auto it = depot_.find(name);
        return it == depot_.end() ? std::wstring(L"—") : it->second;
    }
    default: return {};
    }
}

void database_list_model::set_depot_text(const std::wstring& name, std::wstring text) { depot_[name] = std::move(text); }

std::wstring database_list_model::path(long row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) return {};
    return rows_[static_cast<std::size_t>(row)].path;
}

bool database_list_model::newer_first(const registry_entry& a, const registry_entry& b) {
    const std::wstring& ta = a.info.time_start;
    const std::wstring& tb = b.info.time_start;
    // "YYYY-MM-DD HH:MM:SS" compares as text; a row without a time goes after every dated one.
    if (ta.empty() != tb.empty()) return tb.empty();
    if (ta != tb) return ta > tb;
    return a.path > b.path;  // folders are named by time too
}

void database_list_model::append(registry_entry entry) {
    const auto at = std::upper_bound(rows_.begin(), rows_.end(), entry, newer_first);
    rows_.insert(at, std::move(entry));
}

void database_list_model::assign(std::vector<registry_entry> rows) {
    rows_ = std::move(rows);
    std::stable_sort(rows_.begin(), rows_.end(), newer_first);
}

long database_list_model::row_of(const std::wstring& folder) const {
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].path == folder) return static_cast<long>(i);
    return -1;
}

std::vector<int> database_list_model::column_widths(const std::function<int(const std::wstring&)>& measure,
                                                    int margin) const {
    std::vector<int> widths(column_count, 0);
    for (int column = 0; column < column_count; ++column) {
        int widest = measure(heading(column));
        for (std::size_t row = 0; row < rows_.size(); ++row) {
            const std::wstring text = cell(row, column);
            widest = std::max(widest, measure(text));
        }
        widths[static_cast<std::size_t>(column)] = widest + margin;
    }
    return widths;
}
