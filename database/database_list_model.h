#pragma once
// database_list_model: the rows the "Данные" list draws, as plain texts, kept in step with
// the registry by its owner (database_loader): one append per added summary, a full copy
// only on reload or removal. GUI thread only; no locking of its own.
#include <cstddef>
#include <string>
#include <vector>

#include "database/database_registry.h"

class database_list_model {
public:
    static constexpr int column_count = 8;
    // "Код сеанса", "Борт", "Время начала", "Время окончания", "ДПП начала",
    // "ДПП окончания", "Размер", "Число записей"; empty for any other column.
    static std::wstring heading(int column);

    void clear() { rows_.clear(); }
    void append(registry_entry entry) { rows_.push_back(std::move(entry)); }
    void assign(std::vector<registry_entry> rows) { rows_ = std::move(rows); }

    std::size_t size() const { return rows_.size(); }
    const std::vector<registry_entry>& rows() const { return rows_; }

    // The text of one cell; empty for a row or column out of range. Odometer counts as
    // decimal ("-" for 4294967295), the size human-readable with one decimal in 1024-based
    // units ("Not available" for 0), the count as decimal.
    std::wstring cell(std::size_t row, int column) const;
    // The folder of a row, or empty when row is out of range (e.g. -1: nothing selected).
    std::wstring path(long row) const;

private:
    std::vector<registry_entry> rows_;
};
