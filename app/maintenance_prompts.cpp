#include "app/maintenance_prompts.h"

#include <algorithm>

#include <wx/busyinfo.h>
#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/filedlg.h>
#include <wx/gauge.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textdlg.h>

#include "log/log.h"

namespace {

// Not wxProgressDialog: that one disables its parent (or the whole program) while it is up,
// and the main window must go on answering its menu during a long archive.
class archive_progress_dialog : public wxDialog {
public:
    archive_progress_dialog(wxWindow* parent, const std::wstring& caption, const std::wstring& text,
                    std::function<void()> on_cancel)
        : wxDialog(parent, wxID_ANY, caption, wxDefaultPosition, wxDefaultSize, wxCAPTION | wxCLOSE_BOX),
          on_cancel_(std::move(on_cancel)) {
        auto* sizer = new wxBoxSizer(wxVERTICAL);
        sizer->Add(new wxStaticText(this, wxID_ANY, text), 0, wxALL, 10);
        gauge_ = new wxGauge(this, wxID_ANY, range, wxDefaultPosition, wxSize(360, -1));
        sizer->Add(gauge_, 0, wxLEFT | wxRIGHT | wxEXPAND, 10);
        cancel_ = new wxButton(this, wxID_CANCEL, L"Отмена");
        sizer->Add(cancel_, 0, wxALL | wxALIGN_RIGHT, 10);
        SetSizerAndFit(sizer);
        CentreOnParent();
        Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { cancel(); }, wxID_CANCEL);
        // The title bar's close box and Escape cancel as well; the dialog goes at the job's end.
        Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { cancel(); });
    }

    void set(double fraction) { gauge_->SetValue(static_cast<int>(std::clamp(fraction, 0.0, 1.0) * range)); }

private:
    static constexpr int range = 1000;

    void cancel() {
        if (!cancel_->IsEnabled()) return;
        cancel_->Disable();
        if (on_cancel_) on_cancel_();
    }

    std::function<void()> on_cancel_;
    wxGauge* gauge_ = nullptr;
    wxButton* cancel_ = nullptr;
};

}  // namespace

maintenance_prompts::maintenance_prompts(wxWindow* parent) : parent_(parent) {}

maintenance_prompts::~maintenance_prompts() {
    // Not Destroy(): the parent may be going away as well, and must not meet it pending.
    delete progress_.get();
}

bool maintenance_prompts::confirm(const std::wstring& text, const std::wstring& caption) {
    wxMessageDialog dialog(nullptr, text, caption, wxYES_NO | wxNO_DEFAULT | wxICON_WARNING);
    dialog.SetYesNoLabels(L"Да", L"Нет");
    return dialog.ShowModal() == wxID_YES;
}

std::optional<std::wstring> maintenance_prompts::choose_archive_path(const std::wstring& default_name) {
    wxFileDialog dialog(parent_, L"Имя архивного файла", wxString(), default_name, L"Архивы (*.zip)|*.zip",
                        wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dialog.ShowModal() != wxID_OK) return std::nullopt;
    return dialog.GetPath().ToStdWstring();
}

std::optional<std::wstring> maintenance_prompts::enter_text(const std::wstring& message, const std::wstring& caption,
                                                            const std::wstring& initial) {
    wxTextEntryDialog dialog(parent_, message, caption, initial, wxOK | wxCANCEL | wxCENTRE);
    if (dialog.ShowModal() != wxID_OK) return std::nullopt;
    return dialog.GetValue().ToStdWstring();
}

void maintenance_prompts::message(const std::wstring& text) {
    wxMessageDialog dialog(nullptr, text, wxMessageBoxCaptionStr, wxOK | wxCENTRE);
    dialog.SetOKLabel(L"ОК");
    dialog.ShowModal();
}

void maintenance_prompts::log_error(const std::wstring& text) { ::log_error(text); }

void maintenance_prompts::log_info(const std::wstring& text) { ::log_info(text); }

void maintenance_prompts::begin_busy(const std::wstring& text) { busy_ = std::make_unique<wxBusyInfo>(text); }

void maintenance_prompts::end_busy() { busy_.reset(); }

void maintenance_prompts::begin_progress(const std::wstring& caption, const std::wstring& text,
                                         std::function<void()> on_cancel) {
    end_progress();
    auto* window = new archive_progress_dialog(parent_, caption, text, std::move(on_cancel));
    progress_ = window;
    window->Show();
}

void maintenance_prompts::show_progress(double fraction) {
    if (progress_) static_cast<archive_progress_dialog*>(progress_.get())->set(fraction);
}

void maintenance_prompts::end_progress() {
    if (progress_) progress_->Destroy();
    progress_ = nullptr;
}

wxDialog* maintenance_prompts::progress_window() const { return progress_.get(); }

bool may_exit(bool recording, maintenance_ui& ui) {
    return !recording || ui.confirm(L"Идет запись. Остановить запись и выйти из программы?", L"Выход");
}
