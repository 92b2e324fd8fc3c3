#include "log/log_page.h"

log_page::log_page(std::size_t max_rows) : max_rows_(max_rows == 0 ? 1 : max_rows) {}

void log_page::push_row(std::wstring row) {
    rows_.push_back(std::move(row));
    while (rows_.size() > max_rows_) {
        rows_.pop_front();
        ++dropped_;
    }
}

bool log_page::add_line(const std::wstring& line) {
    if (in_row_) {
        open_row_ += line;
        open_row_ += L'\n';
        if (line == L"</tr>") {
            in_row_ = false;
            push_row(std::move(open_row_));
            open_row_.clear();
            return true;
        }
        return false;
    }
    if (line == L"<tr>") {
        in_row_ = true;
        open_row_ = line + L'\n';
        return false;
    }
    if (rows_.empty() && dropped_ == 0 && (line == L"<html>" || line == L"<table>" || line == L"<tbody>")) {
        head_ += line;
        head_ += L'\n';
        return true;
    }
    push_row(line + L'\n');
    return true;
}

std::wstring log_page::html() const {
    std::size_t size = head_.size() + open_row_.size();
    for (const auto& r : rows_) size += r.size();
    std::wstring out;
    out.reserve(size);
    out += head_;
    for (const auto& r : rows_) out += r;
    return out;
}

const std::wstring& log_page::last_row() const {
    static const std::wstring none;
    return rows_.empty() ? none : rows_.back();
}
