#pragma once
// The main window's answers for the maintenance commands: message boxes without a parent,
// the archive's save-file dialog and the text-entry dialog over the main window, the busy
// window, the archive's progress window, and rows of the log. GUI thread only; the parent
// must outlive it.
#include <memory>

#include <wx/dialog.h>
#include <wx/weakref.h>

#include "database/database_maintenance.h"

class wxBusyInfo;
class wxWindow;

class maintenance_prompts : public maintenance_ui {
public:
    explicit maintenance_prompts(wxWindow* parent);
    ~maintenance_prompts() override;

    bool confirm(const std::wstring& text, const std::wstring& caption) override;
    std::optional<std::wstring> choose_archive_path(const std::wstring& default_name) override;
    std::optional<std::wstring> enter_text(const std::wstring& message, const std::wstring& caption,
                                           const std::wstring& initial) override;
    void message(const std::wstring& text) override;
    void log_error(const std::wstring& text) override;
    void log_info(const std::wstring& text) override;
    void begin_busy(const std::wstring& text) override;
    void end_busy() override;
    // A modeless dialog over the parent: the text, a gauge and "Отмена", which calls on_cancel
    // once and then greys out until end_progress. The parent stays usable meanwhile.
    void begin_progress(const std::wstring& caption, const std::wstring& text, std::function<void()> on_cancel) override;
    void show_progress(double fraction) override;
    void end_progress() override;
    // The progress dialog while it is up, else null (for tests).
    wxDialog* progress_window() const;

private:
    wxWindow* parent_;
    std::unique_ptr<wxBusyInfo> busy_;
    wxWeakRef<wxDialog> progress_;  // owned by the window tree; null once destroyed
};

// "Выход": while a recording runs, asks whether to stop it and quit (No being the default);
// true when the program may close.
bool may_exit(bool recording, maintenance_ui& ui);
