#pragma once
// log_backlog: the log rows waiting for the "Журнал" pane and the HTML file, bounded.
//
// A flood of rows (a peer sending thousands of commands a second) must neither grow the
// program's memory nor keep the window busy long after it ends: rows wait here, at most
// max_rows of them and max_chars characters in all, and the pane and the file take them in
// batches. A row that does not fit is left out and counted; once the backlog has drained, one
// error row says how many were left out (so each flood costs one such row).
//
// Lines between "<tr>" and "</tr>" form one row; any other line (the page head, a stray line
// written to the standard streams) is a row of its own.
// Not thread-safe: used on the GUI thread only, like the pane.
#include <cstddef>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <vector>

class log_backlog {
public:
    // now: the local time of the "left out" row (empty: the clock's).
    log_backlog(std::size_t max_rows, std::size_t max_chars, std::function<std::tm()> now = {});

    // One line, without its '\n'.
    void add_line(const std::wstring& line);

    // Up to max rows, oldest first, each as its lines with '\n' after each; when they empty the
    // backlog and rows were left out since the last report, the "left out" row follows.
    std::vector<std::wstring> take(std::size_t max);

    // Rows waiting (the "left out" row included once due), and their characters.
    std::size_t pending_rows() const { return rows_.size() + (unreported_ > 0 ? 1 : 0); }
    std::size_t pending_chars() const { return chars_; }
    bool empty() const { return pending_rows() == 0; }
    // Rows left out since construction.
    std::size_t left_out() const { return left_out_; }

    // The text of the row that reports n rows left out.
    static std::wstring left_out_message(std::size_t n);

private:
    void push(std::wstring row);

    std::size_t max_rows_;
    std::size_t max_chars_;
    std::function<std::tm()> now_;
    std::deque<std::wstring> rows_;
    std::size_t chars_ = 0;  // characters in rows_
    std::wstring open_row_;  // lines of a row whose "</tr>" has not come yet
    bool in_row_ = false;
    std::size_t unreported_ = 0;  // left out since the last "left out" row
    std::size_t left_out_ = 0;
};
