#pragma once
// The "Журнал" pane: the HTML log of this run, shown in the window and written to a file.
//
// Construction installs ui_redirector_cout / ui_redirector_cerr into std::wcout / std::wcerr,
// opens (creates or truncates) the log file and writes the page head through std::wcout.
// Every complete row then waits in a bounded backlog (log_backlog) and goes to the file (UTF-8,
// flushed per batch) and to the pane, which shows the most recent rows only (see log_page).
// Up to batch_rows rows a tick (tick_ms) go at once, as they come; rows beyond that wait for
// the next tick, so a flood costs the window one layout a tick instead of one a row, and a
// flood larger than the backlog is cut short: what was left out is counted in one row once
// the backlog has drained (the file keeps every row otherwise). A new row is parsed on its own
// and added to the shown page, and the oldest shown row is dropped, so a row costs the same
// however long the run is. While a selection is being dragged no shown row is dropped; they go
// with the next batch after.
// Destruction writes what still waits to the file, closes it and gives the streams their own
// buffers back.
//
// Ownership: a child window of the main window, destroyed with it; owns its tick timer.
// Thread safety: GUI thread only.
// Errors: a log file that cannot be opened loses file output silently; the pane still works.
#include "log/log_backlog.h"
#include "log/log_page.h"
#include "log/ui_redirector.h"

#include <chrono>
#include <deque>
#include <fstream>
#include <streambuf>
#include <vector>

#include <wx/html/htmlwin.h>
#include <wx/timer.h>

class log_viewer : public wxHtmlWindow {
public:
    // Rows the pane keeps; older rows remain in the file only.
    static constexpr std::size_t pane_rows = 1000;
    // Rows written and shown per tick at most, and the tick. A batch is one layout of the
    // pane; 2,000 rows a second keep up with anything but a flood.
    static constexpr std::size_t batch_rows = 100;
    static constexpr int tick_ms = 50;
    // What may wait at most: about a second of batches, and 4 MB of text.
    static constexpr std::size_t backlog_rows = 2000;
    static constexpr std::size_t backlog_chars = 1u << 20;

    // `tick` other than tick_ms only for tests that need rows to wait whatever the machine's speed.
    log_viewer(wxWindow* parent, const wxString& log_file_path, wxWindowID id = 1,
               std::chrono::milliseconds tick = std::chrono::milliseconds(tick_ms));
    ~log_viewer() override;

    // Rows shown in the pane now, and rows dropped from it so far.
    std::size_t shown_rows() const { return page_.row_count(); }
    std::size_t dropped_rows() const { return page_.dropped_rows(); }
    bool file_ok() const { return file_.good(); }
    // Rows waiting for the pane and the file, their characters, and rows left out so far.
    std::size_t pending_rows() const { return backlog_.pending_rows(); }
    std::size_t pending_chars() const { return backlog_.pending_chars(); }
    std::size_t left_out_rows() const { return backlog_.left_out(); }
    // Writes and shows every waiting row now, and starts a new tick.
    void catch_up();

private:
    void on_line(const std::wstring& line);
    void on_tick(wxTimerEvent&);
    // Takes up to max rows from the backlog into the file and the pane.
    void deliver(std::size_t max);
    void write_to_file(const std::vector<std::wstring>& rows);
    void show_rows(const std::vector<std::wstring>& rows);
    void add_row_cell();
    void finish_rows();
    void scroll_to_end();

    log_page page_{pane_rows};
    log_backlog backlog_{backlog_rows, backlog_chars};
    ui_redirector_cout out_redirector_;
    ui_redirector_cerr err_redirector_;
    std::wstreambuf* old_out_ = nullptr;
    std::wstreambuf* old_err_ = nullptr;
    std::ofstream file_;
    std::deque<wxHtmlCell*> row_cells_;  // the shown rows' cells, oldest first; owned by the page
    wxTimer tick_;
    const std::chrono::milliseconds tick_length_;
    std::chrono::steady_clock::time_point tick_start_{};
    std::size_t delivered_this_tick_ = 0;
};
