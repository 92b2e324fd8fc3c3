#pragma once
// differences_dialog "Различия по проезду": every place where two runs differ (run_differences),
// found on a worker thread while the list fills, with progress and "Остановить"; each entry is
// the pair's counts, the size of the changed area and a thumbnail (both frames, the change
// in red). Choosing an entry shows the pair in the comparison (through `show`). Keys, here and
// in the comparison: "N" next difference, "P" previous. "Экспорт CSV…" writes the list as CSV
// with the two frames of each difference beside it (JPEG as stored), also on the worker.
//
// Ownership: owns its one worker thread, "qm-differences" (one job at a time: the walk, then
// any export), which opens readers of its own (through the pool when given), talks to the
// window only through queued wxThreadEvents and the inbox below, and is cancelled and joined
// by the destructor (a walk stops before its next frame pair).
// Errors: a database that cannot be read ends the walk with its text shown; a failed export is
// shown likewise. Thread safety: the window's thread only.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <wx/dialog.h>

#include "viewer/run_differences.h"

class reader_pool;
class wxButton;
class wxGauge;
class wxImageList;
class wxListCtrl;
class wxListEvent;
class wxStaticText;
class wxThreadEvent;

class differences_dialog : public wxDialog {
public:
    differences_dialog(wxWindow* parent, const std::wstring& first, const std::wstring& second,
                       std::int64_t offset_hint, reader_pool* readers, std::function<void(const run_difference&)> show);
    ~differences_dialog() override;

    bool running() const { return worker_busy_; }
    const std::vector<run_difference>& differences() const { return differences_; }
    // -1 when none is selected.
    int selected() const { return selected_; }
    wxString status() const;
    // Selects the entry and shows its pair; false when there is no such entry.
    bool select(int index);
    bool next();
    bool previous();
    // Stops the walk before its next pair.
    void cancel();
    // Writes the list (see above) on the worker once the walk has ended; false while it runs.
    bool export_csv(const std::filesystem::path& csv_file);
    // "N" / "P"; false for other keys.
    bool handle_key(int key_code, int modifiers);

private:
    void start(std::function<void()> job);
    void on_worker(wxThreadEvent& event);
    void add_row(const run_difference& d);
    void finish_walk(const differences_outcome& outcome);
    void choose_export_file();

    std::wstring paths_[2];
    reader_pool* readers_ = nullptr;
    std::int64_t offset_hint_ = 0;
    std::function<void(const run_difference&)> show_;
    std::vector<run_difference> differences_;
    int selected_ = -1;
    bool worker_busy_ = false;
    bool walked_ = false;  // the walk ended (done or not)

    wxListCtrl* list_ = nullptr;
    wxImageList* images_ = nullptr;  // owned by the list
    wxGauge* gauge_ = nullptr;
    wxStaticText* status_ = nullptr;
    wxButton* stop_ = nullptr;
    wxButton* export_ = nullptr;

    // What the worker hands over; the window takes it on the queued event.
    struct inbox {
        std::vector<run_difference> found;
        double done = 0;
        std::size_t pairs = 0;
        std::optional<differences_outcome> finished;  // the walk ended
        std::optional<std::string> exported;          // an export ended: "" done, else why not
        bool event_queued = false;                    // one wake-up at a time
    };
    std::mutex inbox_lock_;  // guards inbox_
    inbox inbox_;
    std::filesystem::path export_file_;  // set on the window's thread before the export starts
    std::atomic<bool> cancel_{false};
    std::thread worker_;  // last: joined in the destructor before the members above go
};
