#include "viewer/viewer_dialog.h"

#include <filesystem>

#include <wx/button.h>
#include <wx/display.h>
#include <wx/filedlg.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include "base/locale_text.h"
#include "database/local_time.h"
#include "database/database_reader.h"
#include "viewer/VImagePanel.h"
#include "viewer/frame_index.h"

namespace {

wxSize seven_tenths_of_display() {
    const wxSize d = wxGetDisplaySize();
    return wxSize(static_cast<int>(d.x * 0.7), static_cast<int>(d.y * 0.7));
}

}  // namespace

viewer_dialog::viewer_dialog(wxWindow* parent, const wxString& folder, reader_pool* readers)
    : wxDialog(parent, wxID_ANY, L"Просмотр базы", wxDefaultPosition, seven_tenths_of_display(),
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      browser_(std::make_unique<frame_browser>(folder.ToStdWstring(), readers)),
      timer_(this) {
    const database_reader& reader = browser_->reader();
    place_.folder = std::filesystem::path(folder.ToStdWstring()).filename().wstring();
    place_.session = reader.session();
    place_.time_start = format_local_time(reader.time_start());
    place_.time_end = format_local_time(reader.time_end());

    panel_ = new VImagePanel(this, wxID_ANY, wxDefaultPosition, wxSize(320, 240));
    const double low = browser_->first_count(), high = browser_->last_count();
    spin_ = new wxSpinCtrlDouble(this, ID_FRAME_SPIN, wxString(), wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS,
                                 low, high, 0, 1, L"wxSpinCtrlDouble");
    spin_->SetIncrement(5);
    spin_->SetRange(low, high);
    spin_->SetValue(low);
    auto* save = new wxButton(this, ID_SAVE_FRAME, L"Сохранить кадр", wxDefaultPosition, wxDefaultSize, wxBORDER_NONE);
    auto* close = new wxButton(this, wxID_OK, L"Закрыть", wxDefaultPosition, wxDefaultSize, wxBORDER_NONE);
    // The cancel button has no place in the layout; it is what Escape presses.
    auto* cancel = new wxButton(this, wxID_CANCEL, L"Отмена", wxDefaultPosition, wxDefaultSize, wxBORDER_NONE);
    cancel->Hide();
    play_ = new wxButton(this, wxID_ANY, L"Пуск");
    rate_ = new wxSpinCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS,
                           playback::min_rate, playback::max_rate, playback::default_rate);
    auto* fit = new wxButton(this, wxID_ANY, L"Вписать (0)");
    auto* actual = new wxButton(this, wxID_ANY, L"1:1 (1)");
    caption_ = new wxStaticText(this, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, wxST_ELLIPSIZE_MIDDLE);

    auto* row = new wxBoxSizer(wxHORIZONTAL);
    auto* picture = new wxBoxSizer(wxVERTICAL);
    picture->Add(panel_, 1, wxEXPAND);
    picture->Add(caption_, 0, wxEXPAND | wxALL, 4);
    row->Add(picture, 1, wxEXPAND);
    auto* controls = new wxBoxSizer(wxVERTICAL);
    controls->Add(spin_, 0, wxALL, 5);
    controls->Add(save, 0, wxALL | wxEXPAND, 5);
    controls->Add(close, 0, wxALL | wxEXPAND, 5);
    controls->AddSpacer(10);
    controls->Add(play_, 0, wxALL | wxEXPAND, 5);
    controls->Add(new wxStaticText(this, wxID_ANY, L"кадров в секунду"), 0, wxLEFT | wxRIGHT, 5);
    controls->Add(rate_, 0, wxALL | wxEXPAND, 5);
    controls->AddSpacer(10);
    controls->Add(fit, 0, wxALL | wxEXPAND, 5);
    controls->Add(actual, 0, wxALL | wxEXPAND, 5);
    row->Add(controls, 0);
    SetSizer(row);
    SetMinSize(row->GetMinSize() + (GetSize() - GetClientSize()));
    Layout();

    show_current();
    Centre(wxBOTH);
    // The keys belong to the picture from the start: with the count box focused, "1" would
    // be typed into it instead of showing 1:1.
    panel_->SetFocus();
    Bind(wxEVT_SHOW, [this](wxShowEvent& e) {
        e.Skip();
        if (e.IsShown()) CallAfter([this] { panel_->SetFocus(); });
    });

    spin_->Bind(wxEVT_SPINCTRLDOUBLE, [this](wxSpinDoubleEvent& e) { spin_changed(e.GetValue()); });
    save->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        save_frame();
        panel_->SetFocus();
    });
    close->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (IsModal())
            EndModal(wxID_OK);
        else
            Hide();
    });
    play_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { toggle_playback(); });
    rate_->Bind(wxEVT_SPINCTRL, [this](wxSpinEvent& e) { player_.set_rate(e.GetPosition()); });
    fit->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        panel_->fit_picture();
        panel_->SetFocus();
    });
    actual->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        panel_->actual_size();
        panel_->SetFocus();
    });
    Bind(wxEVT_CHAR_HOOK, &viewer_dialog::on_char_hook, this);
    Bind(wxEVT_TIMER, [this](wxTimerEvent&) { playback_tick(); });
    Bind(wxEVT_THREAD, [this](wxThreadEvent&) {
        counts_ = index_->counts();
        update_caption();
    });

    choose_save_path = [this](const wxString& proposed) {
        wxFileDialog dialog(this, L"Сохранить файл", wxString(), proposed, L"Файлы jpg (*.jpg)|*.jpg",
                            wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
        return dialog.ShowModal() == wxID_OK ? dialog.GetPath() : wxString();
    };
    show_error = [this](const wxString& text) {
        wxMessageBox(text, wxMessageBoxCaptionStr, wxOK | wxICON_ERROR, this);
    };

    // Last: the thread's event needs the handlers above.
    index_ = std::make_unique<frame_index>(browser_->reader(), [this] { wxQueueEvent(this, new wxThreadEvent()); });
}

viewer_dialog::~viewer_dialog() {
    timer_.Stop();
    index_.reset();  // joins the counting thread while the reader still exists
}

bool viewer_dialog::frames_counted() const { return !counts_.empty(); }

wxString viewer_dialog::caption() const { return caption_->GetLabel(); }

void viewer_dialog::update_caption() {
    place_.count = browser_->current_count();
    place_.index = place_.total = 0;
    if (place_.count) {
        if (const auto at = position_among(counts_, *place_.count)) std::tie(place_.index, place_.total) = *at;
    }
    const std::wstring text = frame_caption(place_);
    // The label holds markup characters literally only when asked not to interpret them.
    if (caption_->GetLabel() != text) caption_->SetLabelText(text);
}

void viewer_dialog::show_current() {
    // The decoded frame itself: the panel converts only the part it shows when it paints.
    panel_->set_picture(browser_->current_picture());
    panel_->Refresh(true);
    update_caption();
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

void viewer_dialog::step(long frames) {
    const auto here = browser_->current_count();
    std::optional<std::uint32_t> target;
    if (here) target = count_steps_away(counts_, *here, frames);
    if (target) {
        browser_->go_to(*target);
    } else {  // not counted yet: one frame at a time
        for (long i = 0; i < std::labs(frames); ++i)
            if (!(frames > 0 ? browser_->next() : browser_->previous())) break;
    }
    follow_with_spin();
    show_current();
}

bool viewer_dialog::handle_key(int key_code, int modifiers) {
    if (modifiers == wxMOD_SHIFT) {
        if (key_code == WXK_LEFT || key_code == WXK_NUMPAD_LEFT)
            step(-10);
        else if (key_code == WXK_RIGHT || key_code == WXK_NUMPAD_RIGHT)
            step(10);
        else
            return false;
        return true;
    }
    if (modifiers != wxMOD_NONE) return false;
    if (navigate(key_code)) return true;
    // Typing a count into a spin control needs its digits.
    const wxWindow* focus = wxWindow::FindFocus();
    const bool typing =
        focus && (focus == spin_ || focus == rate_ || focus->GetParent() == spin_ || focus->GetParent() == rate_);
    if (typing) return false;
    switch (key_code) {
    case '0':
    case WXK_NUMPAD0: panel_->fit_picture(); return true;
    case '1':
    case WXK_NUMPAD1: panel_->actual_size(); return true;
    case WXK_SPACE: toggle_playback(); return true;
    default: return false;
    }
}

void viewer_dialog::on_char_hook(wxKeyEvent& event) {
    if (handle_key(event.GetKeyCode(), event.GetModifiers())) return;
    event.Skip();
}

void viewer_dialog::arm_timer() {
    if (!player_.running()) return;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(player_.wait());
    timer_.StartOnce(std::max(1, static_cast<int>(wait.count())));
}

void viewer_dialog::toggle_playback() {
    player_.toggle();
    play_->SetLabel(player_.running() ? L"Пауза" : L"Пуск");
    if (player_.running())
        arm_timer();
    else
        timer_.Stop();
}

void viewer_dialog::playback_tick() {
    if (!player_.running()) return;
    if (player_.step_due()) {
        if (!browser_->next()) {  // the last frame: stop there
            toggle_playback();
            return;
        }
        follow_with_spin();
        show_current();
        panel_->Update();  // paint now, so the rate is what the operator sees
    }
    arm_timer();
}

void viewer_dialog::save_frame() {
    // The frame on the screen: the one the engineer chose to keep. Nothing moves afterwards,
    // so a second save writes the same frame and the next key goes to the next frame.
    const std::string key = browser_->current_key();
    if (!browser_->current_count()) return;  // past the frames: nothing shown to save
    const std::string bytes = browser_->current_bytes();
    const wxString chosen = choose_save_path(wxString::Format(L"%s.jpg", wxString(key)));
    if (chosen.empty()) return;
    const std::filesystem::path target = saved_frame_path(std::filesystem::path(to_narrow(chosen.ToStdWstring())));
    if (!write_frame_file(target, bytes))
        show_error(wxString::Format(L"Не удалось сохранить кадр в файл %s", wxString(to_wide(target.string()))));
}
