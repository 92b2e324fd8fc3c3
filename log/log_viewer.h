#pragma once
// The "Журнал" pane: the HTML log of this run, shown in the window and written to a file.
//
// Construction installs ui_redirector_cout / ui_redirector_cerr into std::wcout / std::wcerr,
// opens (creates or truncates) the log file and writes the page head through std::wcout.
// Every complete line then goes to the file at once (UTF-8, flushed per line, every row kept)
// and to the pane, which shows the most recent rows only (see log_page). A new row is parsed
// on its own and added to the shown page, and the oldest shown row is dropped, so a row costs
// the same however long the run is (re-rendering the whole page per row grows without bound).
// While a selection is being dragged no shown row is dropped; they go with the next row after.
// Destruction closes the file and gives the streams their own buffers back.
//
// Ownership: a child window of the main window, destroyed with it.
// Thread safety: GUI thread only.
// Errors: a log file that cannot be opened loses file output silently; the pane still works.
#include "log/log_page.h"
#include "log/ui_redirector.h"

#include <deque>
#include <fstream>
#include <streambuf>

#include <wx/html/htmlwin.h>

class log_viewer : public wxHtmlWindow {
public:
    // Rows the pane keeps; older rows remain in the file only.
    static constexpr std::size_t pane_rows = 1000;

    log_viewer(wxWindow* parent, const wxString& log_file_path, wxWindowID id = 1);
    ~log_viewer() override;

    // Rows shown in the pane now, and rows dropped from it so far.
    std::size_t shown_rows() const { return page_.row_count(); }
    std::size_t dropped_rows() const { return page_.dropped_rows(); }
    bool file_ok() const { return file_.good(); }

private:
    void on_line(const std::wstring& line);
    void show_new_row();
    void scroll_to_end();

    log_page page_{pane_rows};
    ui_redirector_cout out_redirector_;
    ui_redirector_cerr err_redirector_;
    std::wstreambuf* old_out_ = nullptr;
    std::wstreambuf* old_err_ = nullptr;
    std::ofstream file_;
    std::deque<wxHtmlCell*> row_cells_;  // the shown rows' cells, oldest first; owned by the page
};
