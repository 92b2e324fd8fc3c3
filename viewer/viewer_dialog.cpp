#include "viewer/viewer_dialog.h"

#include <wx/button.h>
#include <wx/display.h>
#include <wx/filedlg.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>

#include <opencv2/imgproc.hpp>

#include "base/locale_text.h"
#include "viewer/VImagePanel.h"

namespace {

wxSize seven_tenths_of_display() {
    const wxSize d = wxGetDisplaySize();
    return wxSize(static_cast<int>(d.x * 0.7), static_cast<int>(d.y * 0.7));
}

}  // namespace

viewer_dialog::viewer_dialog(wxWindow* parent, const wxString& folder)
    : wxDialog(parent, wxID_ANY, L"Просмотр базы", wxDefaultPosition, seven_tenths_of_display()),
      browser_(std::make_unique<frame_browser>(folder.ToStdWstring())) {
    panel_ = new VImagePanel(this, wxID_ANY, wxDefaultPosition, wxSize(640, 480));
    const double low = browser_->first_count(), high = browser_->last_count();
    spin_ = new wxSpinCtrlDouble(this, ID_FRAME_SPIN, wxString(), wxDefaultPosition, wxDefaultSize,
                                 wxSP_ARROW_KEYS, low, high, 0, 1, L"wxSpinCtrlDouble");
    spin_->SetIncrement(5);
    spin_->SetRange(low, high);
    spin_->SetValue(low);
    auto* save = new wxButton(this, ID_SAVE_FRAME, L"Сохранить кадр", wxDefaultPosition, wxDefaultSize,
                              wxBORDER_NONE);
    auto* close = new wxButton(this, wxID_OK, L"Закрыть", wxDefaultPosition, wxDefaultSize, wxBORDER_NONE);
    // The cancel button has no place in the layout; it is what Escape presses.
    auto* cancel = new wxButton(this, wxID_CANCEL, L"Отмена", wxDefaultPosition, wxDefaultSize, wxBORDER_NONE);
    cancel->Hide();

    auto* row = new wxBoxSizer(wxHORIZONTAL);
    row->Add(panel_, 1, wxEXPAND);
    auto* controls = new wxBoxSizer(wxVERTICAL);
    controls->Add(spin_, 0, wxALL, 5);
    controls->Add(save, 0, wxALL | wxEXPAND, 5);
    controls->Add(close, 0, wxALL | wxEXPAND, 5);
    row->Add(controls, 0);
    SetSizer(row);

    show_current();
    row->SetSizeHints(this);
    Centre(wxBOTH);

    spin_->Bind(wxEVT_SPINCTRLDOUBLE, [this](wxSpinDoubleEvent& e) { spin_changed(e.GetValue()); });
    save->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { save_frame(); });
    close->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (IsModal()) EndModal(wxID_OK);
        else Hide();
    });
    Bind(wxEVT_CHAR_HOOK, &viewer_dialog::on_char_hook, this);

    choose_save_path = [this](const wxString& proposed) {
        wxFileDialog dialog(this, L"Сохранить файл", wxString(), proposed, L"Файлы jpg (*.jpg)|*.jpg",
                            wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
        return dialog.ShowModal() == wxID_OK ? dialog.GetPath() : wxString();
    };
    show_error = [this](const wxString& text) { wxMessageBox(text, wxMessageBoxCaptionStr, wxOK | wxICON_ERROR, this); };
}

viewer_dialog::~viewer_dialog() = default;

void viewer_dialog::show_current() {
    // The decoded frame itself: the panel converts only the part it shows when it paints.
    panel_->set_picture(browser_->current_frame());
    panel_->Refresh(true);
}

void viewer_dialog::follow_with_spin() {
    if (const auto count = browser_->current_count()) spin_->SetValue(*count);
}

void viewer_dialog::spin_changed(double value) {
    browser_->go_to(value);
    show_current();
}

bool viewer_dialog::navigate(int key_code) {
    switch (key_code) {
    case WXK_LEFT:
    case WXK_PAGEUP:
    case WXK_NUMPAD_LEFT:
    case WXK_NUMPAD_PAGEUP: browser_->previous(); break;
    case WXK_RIGHT:
    case WXK_PAGEDOWN:
    case WXK_NUMPAD_RIGHT:
    case WXK_NUMPAD_PAGEDOWN: browser_->next(); break;
    case WXK_HOME:
    case WXK_NUMPAD_HOME: browser_->first(); break;
    case WXK_END:
    case WXK_NUMPAD_END: browser_->last(); break;
    default: return false;
    }
    follow_with_spin();
    show_current();
    return true;
}

void viewer_dialog::on_char_hook(wxKeyEvent& event) {
    if (event.GetModifiers() == wxMOD_NONE && navigate(event.GetKeyCode())) return;
    event.Skip();
}

void viewer_dialog::save_frame() {
    const std::string key = browser_->current_key();
    const wxString chosen = choose_save_path(wxString::Format(L"%s.jpg", wxString(key)));
    if (chosen.empty()) return;
    const std::filesystem::path target = saved_frame_path(std::filesystem::path(to_narrow(chosen.ToStdWstring())), key);
    if (!write_frame_file(target, browser_->current_bytes())) {
        show_error(wxString::Format(L"Не удалось сохранить кадр в файл %s", wxString(to_wide(target.string()))));
        return;
    }
    browser_->advance();
}
