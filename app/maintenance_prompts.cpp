#include "app/maintenance_prompts.h"

#include <wx/busyinfo.h>
#include <wx/filedlg.h>
#include <wx/msgdlg.h>
#include <wx/textdlg.h>

#include "log/log.h"

maintenance_prompts::maintenance_prompts(wxWindow* parent) : parent_(parent) {}
maintenance_prompts::~maintenance_prompts() = default;

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

bool may_exit(bool recording, maintenance_ui& ui) {
    return !recording || ui.confirm(L"Идет запись. Остановить запись и выйти из программы?", L"Выход");
}
