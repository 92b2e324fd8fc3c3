#include "log/log_viewer.h"

#include <iostream>

#include <wx/dcclient.h>
#include <wx/html/htmlcell.h>
#include <wx/html/winpars.h>

log_viewer::log_viewer(wxWindow* parent, const wxString& log_file_path, wxWindowID id,
                       std::chrono::milliseconds tick)
    : wxHtmlWindow(parent, id, wxDefaultPosition, wxDefaultSize, wxHW_SCROLLBAR_AUTO, "htmlWindow"),
      out_redirector_([this](const std::wstring& line) { on_line(line); }),
      err_redirector_([this](const std::wstring& line) { on_line(line); }),
      tick_(this),
      tick_length_(tick) {
    Bind(wxEVT_TIMER, &log_viewer::on_tick, this, tick_.GetId());
    old_out_ = std::wcout.rdbuf(&out_redirector_);
    old_err_ = std::wcerr.rdbuf(&err_redirector_);
    file_.open(static_cast<const char*>(log_file_path.fn_str()), std::ios::out | std::ios::trunc | std::ios::binary);
    std::wcout << L"<html>" << std::endl << L"<table>" << std::endl << L"<tbody>" << std::endl;
}

log_viewer::~log_viewer() {
    tick_.Stop();
    std::wcerr.rdbuf(old_err_);
    std::wcout.rdbuf(old_out_);
    // The pane goes; the file keeps what was still waiting.
    while (!backlog_.empty()) write_to_file(backlog_.take(backlog_rows));
    file_.close();
}

void log_viewer::on_line(const std::wstring& line) {
    backlog_.add_line(line);
    const auto now = std::chrono::steady_clock::now();
    if (now - tick_start_ >= tick_length_) {
        tick_start_ = now;
        delivered_this_tick_ = 0;
    }
    if (delivered_this_tick_ < batch_rows) deliver(batch_rows - delivered_this_tick_);
    if (!backlog_.empty() && !tick_.IsRunning()) tick_.StartOnce(static_cast<int>(tick_length_.count()));
}

void log_viewer::on_tick(wxTimerEvent&) {
    tick_start_ = std::chrono::steady_clock::now();
    delivered_this_tick_ = 0;
    deliver(batch_rows);
    if (!backlog_.empty()) tick_.StartOnce(static_cast<int>(tick_length_.count()));
}

void log_viewer::catch_up() {
    while (!backlog_.empty()) deliver(backlog_rows);
    tick_.Stop();
    tick_start_ = std::chrono::steady_clock::now();
    delivered_this_tick_ = 0;
}

void log_viewer::deliver(std::size_t max) {
    const std::vector<std::wstring> rows = backlog_.take(max);
    if (rows.empty()) return;
    delivered_this_tick_ += rows.size();
    write_to_file(rows);
    show_rows(rows);
}

void log_viewer::write_to_file(const std::vector<std::wstring>& rows) {
    if (!file_.is_open() || rows.empty()) return;
    for (const auto& row : rows) {
        const wxString text(row);  // must outlive the converted buffer, which may point into it
        const wxScopedCharBuffer utf8 = text.utf8_str();
        file_.write(utf8.data(), static_cast<std::streamsize>(utf8.length()));
    }
    file_.flush();  // once a batch: a crash loses at most the rows of one tick
}

void log_viewer::show_rows(const std::vector<std::wstring>& rows) {
    std::size_t added = 0;
    for (const auto& row : rows) {
        std::size_t start = 0;
        while (start < row.size()) {
            std::size_t end = row.find(L'\n', start);
            if (end == std::wstring::npos) end = row.size();
            const std::wstring line = row.substr(start, end - start);
            start = end + 1;
            const std::size_t rows_before = page_.row_count() + page_.dropped_rows();
            if (!page_.add_line(line)) continue;
            if (page_.row_count() + page_.dropped_rows() == rows_before || !m_Cell) {
                // The page head (shown before any row), or no page yet.
                SetPage(page_.html());
                row_cells_.clear();
                continue;
            }
            add_row_cell();
            ++added;
        }
    }
    if (added) finish_rows();
}

void log_viewer::add_row_cell() {
    // Parse only the new row, as a table of its own, and add it below the others; the same
    // steps SetPage takes for a whole page.
    wxClientDC dc(this);
    dc.SetMapMode(wxMM_TEXT);
    m_Parser->SetDC(&dc);
    auto* cell = static_cast<wxHtmlContainerCell*>(m_Parser->Parse(L"<table>" + page_.last_row() + L"</table>"));
    m_Cell->InsertCell(cell);
    row_cells_.push_back(cell);
}

void log_viewer::finish_rows() {
    // While the operator drags a selection the window keeps a pointer to the cell where it
    // began; dropping rows then would leave it dangling. The rows wait until the button is up.
    while (row_cells_.size() > page_.row_count() && !m_makingSelection) {
        // A finished selection may point into the row being dropped.
        if (m_selection) {
            delete m_selection;
            m_selection = nullptr;
        }
        wxHtmlCell* oldest = row_cells_.front();
        row_cells_.pop_front();
        m_Cell->Detach(oldest);
        delete oldest;
    }
    // One layout for the whole batch: a layout costs as much as all shown rows.
    CreateLayout();
    scroll_to_end();
    Refresh(false);
}

void log_viewer::scroll_to_end() {
    int x_unit = 0, y_unit = 0;
    GetScrollPixelsPerUnit(&x_unit, &y_unit);
    if (y_unit > 0) Scroll(-1, GetVirtualSize().y / y_unit);
}
