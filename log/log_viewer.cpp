#include "log/log_viewer.h"

#include <iostream>

log_viewer::log_viewer(wxWindow* parent, const wxString& log_file_path, wxWindowID id)
    : wxHtmlWindow(parent, id, wxDefaultPosition, wxDefaultSize, wxHW_SCROLLBAR_AUTO, "htmlWindow"),
      out_redirector_([this](const std::wstring& line) { on_line(line); }),
      err_redirector_([this](const std::wstring& line) { on_line(line); }) {
    old_out_ = std::wcout.rdbuf(&out_redirector_);
    old_err_ = std::wcerr.rdbuf(&err_redirector_);
    file_.open(static_cast<const char*>(log_file_path.fn_str()),
               std::ios::out | std::ios::trunc | std::ios::binary);
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
    if (!page_.add_line(line)) return;
    SetPage(page_.html());
    // Keep the newest row in view.
    int x_unit = 0, y_unit = 0;
    GetScrollPixelsPerUnit(&x_unit, &y_unit);
    if (y_unit > 0) Scroll(-1, GetVirtualSize().y / y_unit);
}
