#include "log/log_backlog.h"

#include <algorithm>

#include "log/log_row.h"

log_backlog::log_backlog(std::size_t max_rows, std::size_t max_chars, std::function<std::tm()> now)
    : max_rows_(std::max<std::size_t>(max_rows, 1)), max_chars_(max_chars), now_(std::move(now)) {}

void log_backlog::push(std::wstring row) {
    if (rows_.size() >= max_rows_ || chars_ + row.size() > max_chars_) {
        // The newest rows go: the start of a flood says what it was.
        ++unreported_;
        ++left_out_;
        return;
    }
    chars_ += row.size();
    rows_.push_back(std::move(row));
}

void log_backlog::add_line(const std::wstring& line) {
    if (in_row_) {
        // A row longer than the whole backlog can never be taken: stop gathering it.
        if (open_row_.size() <= max_chars_) {
            open_row_ += line;
            open_row_ += L'\n';
        }
        if (line == L"</tr>") {
            in_row_ = false;
            push(std::move(open_row_));
            open_row_.clear();
        }
        return;
    }
    if (line == L"<tr>") {
        in_row_ = true;
        open_row_ = line + L'\n';
        return;
    }
    push(line + L'\n');
}

std::vector<std::wstring> log_backlog::take(std::size_t max) {
    std::vector<std::wstring> out;
    while (out.size() < max && !rows_.empty()) {
        chars_ -= rows_.front().size();
        out.push_back(std::move(rows_.front()));
        rows_.pop_front();
    }
    if (rows_.empty() && unreported_ > 0 && out.size() < max) {
        std::tm local{};
        if (now_) {
            local = now_();
        } else {
            const std::time_t t = std::time(nullptr);
            localtime_r(&t, &local);
        }
        out.push_back(format_log_row(log_kind::error, local, left_out_message(unreported_)));
        unreported_ = 0;
    }
    return out;
}

std::wstring log_backlog::left_out_message(std::size_t n) {
    return L"Слишком много строк журнала: пропущено строк: " + std::to_wstring(n);
}
