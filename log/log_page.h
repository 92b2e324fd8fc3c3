#pragma once
// What the "Журнал" pane shows: the page head ("<html>", "<table>", "<tbody>") and the most
// recent rows, assembled from the lines the stream redirectors deliver.
//
// The pane keeps at most `max_rows` rows so that re-rendering it after a row costs the same
// however long the run is; the log file keeps every row. Lines between "<tr>" and "</tr>" form
// one row; lines before the first row form the head; a stray line outside a row (someone
// writing to the wide standard streams directly) is kept as a row of its own.
// Not thread-safe: used on the GUI thread only, like the pane.
#include <cstddef>
#include <deque>
#include <string>

class log_page {
public:
    explicit log_page(std::size_t max_rows);

    // Adds one line (without its '\n'); true when a row was completed or the head grew,
    // i.e. the page should be shown again.
    bool add_line(const std::wstring& line);

    // The page source: head, then the kept rows, oldest first.
    std::wstring html() const;

    std::size_t row_count() const { return rows_.size(); }
    // The newest row (empty when there is none).
    const std::wstring& last_row() const;
    std::size_t dropped_rows() const { return dropped_; }

private:
    std::size_t max_rows_;
    std::wstring head_;
    std::deque<std::wstring> rows_;
    std::wstring open_row_;  // lines of a row whose "</tr>" has not come yet
    bool in_row_ = false;
    std::size_t dropped_ = 0;

    void push_row(std::wstring row);
};
