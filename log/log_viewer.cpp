#include "log/log_viewer.h"

#include <iostream>

#include <wx/dcclient.h>
#include <wx/html/htmlcell.h>
#include <wx/html/winpars.h>

log_viewer::log_viewer(wxWindow* parent, const wxString& log_file_path, wxWindowID id)
    : wxHtmlWindow(parent, id, wxDefaultPosition, wxDefaultSize, wxHW_SCROLLBAR_AUTO, "htmlWindow"),
      out_redirector_([this](const std::wstring& line) { on_line(line); }),
      err_redirector_([this](const std::wstring& line) { on_line(line); }) {
    old_out_ = std::wcout.rdbuf(&out_redirector_);
    old_err_ = std::wcerr.rdbuf(&err_redirector_);
    file_.open(static_cast<const char*>(log_file_path.fn_str()), std::ios::out | std::ios::trunc | std::ios::binary);
    std::wcout << L"<html>" << std::endl << L"<table>" << std::endl << L"<tbody>" << std::endl;
}

log_viewer::~log_viewer() {
    file_.close();
    std::wcerr.rdbuf(old_err_);
    std::wcout.rdbuf(old_out_);
}

void log_viewer::on_line(const std::wstring& line) {
    if (file_.is_open()) {
        const wxString text(line);  // must outlive the converted buffer, which may point into it
        const wxScopedCharBuffer utf8 = text.utf8_str();
        file_.write(utf8.data(), static_cast<std::streamsize>(utf8.length()));
        file_.put('\n');
        file_.flush();
    }
    const std::size_t rows_before = page_.row_count() + page_.dropped_rows();
    if (!page_.add_line(line)) return;
    if (page_.row_count() + page_.dropped_rows() == rows_before) {
        // The page head: shown before any row.
        SetPage(page_.html());
        row_cells_.clear();
        return;
    }
    show_new_row();
}

void log_viewer::show_new_row() {
    if (!m_Cell) {
        SetPage(page_.html());
        row_cells_.clear();
        return;
    }
    // Parse only the new row, as a table of its own, and add it below the others; the same
    // steps SetPage takes for a whole page.
    wxClientDC dc(this);
    dc.SetMapMode(wxMM_TEXT);
    m_Parser->SetDC(&dc);
    auto* cell = static_cast<wxHtmlContainerCell*>(m_Parser->Parse(L"<table>" + page_.last_row() + L"</table>"));
    m_Cell->InsertCell(cell);
    row_cells_.push_back(cell);
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
    CreateLayout();
    scroll_to_end();
    Refresh(false);
}

void log_viewer::scroll_to_end() {
    int x_unit = 0, y_unit = 0;
    GetScrollPixelsPerUnit(&x_unit, &y_unit);
    if (y_unit > 0) Scroll(-1, GetVirtualSize().y / y_unit);
}
