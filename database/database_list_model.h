#pragma once
// database_list_model: the rows the "Данные" list draws, as plain texts, kept in step with
// the registry by its owner (database_loader): one insertion per added summary, a full copy
// only on reload or removal. Rows are ordered newest first (by start time, the folder path
// breaking ties; rows without a start time last), whatever order the registry holds them in:
// the recording just made is the one the operator looks for.
// GUI thread only; no locking of its own.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "database/database_registry.h"

class database_list_model {
public:
    static constexpr int column_count = 9;
    // "Код сеанса", "Борт", "Время начала", "Время окончания", "ДПП начала",
    // "ДПП окончания", "Размер", "Число записей", "Депо"; empty for any other column.
    static std::wstring heading(int column);

    void clear() { rows_.clear(); }
    // Inserts the row at its place (after rows that sort equal to it).
    void append(registry_entry entry);
    void assign(std::vector<registry_entry> rows);

    std::size_t size() const { return rows_.size(); }
    const std::vector<registry_entry>& rows() const { return rows_; }

    // The depot column of the recording whose folder is named `name` (its last component):
    // what the uploader last said of it. Kept across reloads; "—" for a folder never named.
    void set_depot_text(const std::wstring& name, std::wstring text);
    void clear_depot_texts() { depot_.clear(); }

    // The text of one cell; empty for a row or column out of range. Odometer counts as
    // decimal ("-" for 4294967295), the size as size_text writes it, the count as decimal.
    std::wstring cell(std::size_t row, int column) const;
    // The folder of a row, or empty when row is out of range (e.g. -1: nothing selected).
    std::wstring path(long row) const;
    // The row showing folder, or -1.
    long row_of(const std::wstring& folder) const;

    // Widths that show every column's heading and cells whole: the widest of them as
    // `measure` gives it (text width in pixels), plus `margin`.
    std::vector<int> column_widths(const std::function<int(const std::wstring&)>& measure, int margin) const;
    // Whether row a sorts before row b (newer first).
    static bool newer_first(const registry_entry& a, const registry_entry& b);

private:
    std::vector<registry_entry> rows_;
    std::map<std::wstring, std::wstring> depot_;  // folder name -> the depot column's text
};

// A size as the list shows it: one decimal with a comma in 1024-based Russian units
// ("1,5 КБ", "412,3 МБ"), bytes below 1 КБ ("512 Б"), "—" for 0 (not measured).
std::wstring size_text(std::uint64_t bytes);
