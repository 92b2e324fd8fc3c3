#include "viewer/compare_dialog.h"

#include <filesystem>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choicdlg.h>
#include <wx/display.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/utils.h>

#include "viewer/VImagePanel.h"
#include "viewer/differences_dialog.h"
#include "viewer/run_alignment.h"
#include "viewer/run_differences.h"

namespace {

wxSize seven_tenths_of_display() {
    const wxSize d = wxGetDisplaySize();
    return wxSize(static_cast<int>(d.x * 0.7), static_cast<int>(d.y * 0.7));
}

std::wstring folder_name(const std::wstring& path) { return std::filesystem::path(path).filename().wstring(); }

std::wstring signed_text(long v) { return (v > 0 ? L"+" : L"") + std::to_wstring(v); }

}  // namespace

compare_dialog::compare_dialog(wxWindow* parent, const std::wstring& first, const std::wstring& second,
                               reader_pool* readers)
    : wxDialog(parent, wxID_ANY, L"Сравнение баз", wxDefaultPosition, seven_tenths_of_display(),
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      runs_(std::make_unique<run_comparison>(first, second, readers)),
      paths_{first, second},
      readers_(readers),
      names_{folder_name(first), folder_name(second)} {
    pictures_ = new wxBoxSizer(wxHORIZONTAL);
    for (int i = 0; i < 2; ++i) {
        panels_[i] = new VImagePanel(this, wxID_ANY, wxDefaultPosition, wxSize(240, 160));
        captions_[i] =
            new wxStaticText(this, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, wxST_ELLIPSIZE_MIDDLE);
        auto* column = new wxBoxSizer(wxVERTICAL);
        column->Add(panels_[i], 1, wxEXPAND);
        column->Add(captions_[i], 0, wxEXPAND | wxALL, 4);
        pictures_->Add(column, 1, wxEXPAND | wxALL, 2);
    }
    // Zoom, drag and the ruler move both pictures.
    for (int i = 0; i < 2; ++i)
        panels_[i]->view_changed = [this, other = panels_[1 - i]](const panel_view& v) {
            other->set_view(v);
            // Zoomed out far enough, the frames decode reduced; zoomed in again, whole.
            if (decode_reduction(v.zoom) != shown_.reduction && !refresh_pending_) {
                refresh_pending_ = true;
                CallAfter([this] {
                    refresh_pending_ = false;
                    show_current();
                });
            }
        };

    auto* find = new wxButton(this, wxID_ANY, L"Найти смещение");
    offset_ = new wxSpinCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS, -1000000,
                             1000000, 0);
    differences_box_ = new wxCheckBox(this, wxID_ANY, L"Различия");
    auto* whole_run = new wxButton(this, wxID_ANY, L"Различия по проезду");
    auto* close = new wxButton(this, wxID_OK, L"Закрыть");
    auto* cancel = new wxButton(this, wxID_CANCEL, L"Отмена");
    cancel->Hide();

    auto* controls = controls_ = new wxBoxSizer(wxVERTICAL);
    controls->Add(find, 0, wxALL | wxEXPAND, 5);
    controls->Add(new wxStaticText(this, wxID_ANY, L"Смещение, отсчётов"), 0, wxLEFT | wxRIGHT | wxTOP, 5);
    controls->Add(offset_, 0, wxALL | wxEXPAND, 5);
    controls->Add(differences_box_, 0, wxALL, 5);
    controls->Add(whole_run, 0, wxALL | wxEXPAND, 5);
    controls->AddStretchSpacer();
    controls->Add(close, 0, wxALL | wxEXPAND, 5);
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    row->Add(pictures_, 1, wxEXPAND);
    row->Add(controls, 0, wxEXPAND);
    SetSizer(row);
    SetMinSize(row->GetMinSize() + (GetSize() - GetClientSize()));

    find->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { find_offset(); });
    offset_->Bind(wxEVT_SPINCTRL, [this](wxSpinEvent& e) { set_offset(e.GetPosition()); });
    whole_run->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { list_differences(); });
    differences_box_->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent& e) { show_differences(e.IsChecked()); });
    close->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (IsModal())
            EndModal(wxID_OK);
        else
            Hide();
    });
    Bind(wxEVT_CHAR_HOOK, &compare_dialog::on_char_hook, this);
    Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
        arrange();
        e.Skip();
    });

    find_offset();
    arrange();
    Centre(wxBOTH);
}

compare_dialog::~compare_dialog() {
    // Now, not with the other children: its worker is joined before anything it reads goes.
    delete list_;
}

void compare_dialog::set_scale(double scale, bool show_scale) {
    for (VImagePanel* p : panels_) {
        p->scale = scale;
        p->show_scale = show_scale;
    }
}

bool compare_dialog::side_by_side() const { return pictures_->GetOrientation() == wxHORIZONTAL; }

wxString compare_dialog::first_caption() const { return captions_[0]->GetLabel(); }
wxString compare_dialog::second_caption() const { return captions_[1]->GetLabel(); }

void compare_dialog::arrange() {
    if (shown_.first.empty()) return;
    const wxSize area = GetClientSize() - wxSize(controls_->GetMinSize().x, 0);
    const int orientation =
        ::side_by_side(cv::Size(area.x, area.y), shown_.first.size() * shown_.reduction) ? wxHORIZONTAL : wxVERTICAL;
    if (orientation == pictures_->GetOrientation()) return;
    pictures_->SetOrientation(orientation);
    Layout();
}

void compare_dialog::find_offset() {
    wxBusyCursor busy;
    runs_->find_offset();
    offset_->SetValue(static_cast<int>(runs_->offset()));
    show_current();
}

void compare_dialog::set_offset(long offset) {
    runs_->set_offset(offset);
    if (offset_->GetValue() != offset) offset_->SetValue(static_cast<int>(offset));
    show_current();
}

void compare_dialog::show_differences(bool on) {
    differences_ = on;
    differences_box_->SetValue(on);
    show_current();
}

void compare_dialog::step(long frames) {
    runs_->step(frames);
    show_current();
}

void compare_dialog::list_differences() {
    if (!list_)
        list_ = new differences_dialog(this, paths_[0], paths_[1], runs_->offset(), readers_,
                                       [this](const run_difference& d) { show_pair(d.count_a, d.count_b); });
    list_->Show();
    list_->Raise();
}

void compare_dialog::show_pair(std::uint32_t first_count, std::uint32_t second_count) {
    runs_->first().go_to(first_count);
    runs_->set_offset(static_cast<std::int64_t>(second_count) - static_cast<std::int64_t>(first_count));
    show_current();
}

void compare_dialog::show_current() {
    shown_ = runs_->current(differences_, decode_reduction(panels_[0]->view.zoom));
    const bool marked = differences_ && !shown_.differences.empty();
    panels_[0]->set_picture(shown_.first, shown_.reduction);
    panels_[1]->set_picture(shown_.second, shown_.reduction);
    for (VImagePanel* p : panels_) p->set_overlay(marked ? shown_.differences : cv::Mat());
    // The second follows the first's view, whatever size it was fitted to.
    panels_[1]->set_view(panels_[0]->view);
    const auto c1 = runs_->count(), c2 = runs_->second_count();
    std::wstring first = L"1: " + names_[0] + L" · " + (c1 ? L"ДПП " + std::to_wstring(*c1) : L"нет кадра");
    std::wstring second = L"2: " + names_[1] + L" · " + (c2 ? L"ДПП " + std::to_wstring(*c2) : L"нет кадра") +
                          L" · смещение " + signed_text(static_cast<long>(runs_->offset()));
    const std::wstring strength = wxString::FromUTF8(match_text(shown_.match, ',')).ToStdWstring();
    if (c2 && !shown_.second.empty() && !shown_.first.empty()) {
        if (shown_.matched) {
            second += L" · сдвиг " + signed_text(shown_.shift.x) + L", " + signed_text(shown_.shift.y) +
                      L" пикс. · сходство " + strength;
            if (marked) second += shown_.differing ? L" · есть различия" : L" · различий нет";
        } else {
            second += L" · Проезды здесь не совпадают (сходство " + strength + L")";
        }
    }
    // Following a drift may have moved the offset.
    if (offset_->GetValue() != runs_->offset()) offset_->SetValue(static_cast<int>(runs_->offset()));
    captions_[0]->SetLabelText(first);
    captions_[1]->SetLabelText(second);
    panels_[0]->Refresh(true);
    panels_[1]->Refresh(true);
    arrange();
}

bool compare_dialog::handle_key(int key_code, int modifiers) {
    if (list_ && modifiers == wxMOD_NONE && (key_code == 'N' || key_code == 'P')) {
        const wxWindow* focus = wxWindow::FindFocus();
        if (!(focus && (focus == offset_ || focus->GetParent() == offset_)))
            return list_->handle_key(key_code, modifiers);
    }
    if (modifiers == wxMOD_SHIFT && (key_code == WXK_LEFT || key_code == WXK_RIGHT)) {
        step(key_code == WXK_RIGHT ? 10 : -10);
        return true;
    }
    if (modifiers != wxMOD_NONE) return false;
    switch (key_code) {
    case WXK_LEFT:
    case WXK_PAGEUP: step(-1); return true;
    case WXK_RIGHT:
    case WXK_PAGEDOWN: step(1); return true;
    case WXK_HOME:
        runs_->first().first();
        show_current();
        return true;
    case WXK_END:
        runs_->first().last();
        show_current();
        return true;
    default: break;
    }
    const wxWindow* focus = wxWindow::FindFocus();
    if (focus && (focus == offset_ || focus->GetParent() == offset_)) return false;  // typing an offset
    if (key_code == '0' || key_code == WXK_NUMPAD0)
        panels_[0]->fit_picture();
    else if (key_code == '1' || key_code == WXK_NUMPAD1)
        panels_[0]->actual_size();
    else
        return false;
    return true;
}

void compare_dialog::on_char_hook(wxKeyEvent& event) {
    if (handle_key(event.GetKeyCode(), event.GetModifiers())) return;
    event.Skip();
}

std::vector<registry_entry> comparison_choices(const std::wstring& first, const std::vector<registry_entry>& rows) {
    std::vector<registry_entry> out;
    for (const auto& r : rows)
        if (r.path != first) out.push_back(r);
    return out;
}

std::wstring comparison_choice_label(const registry_entry& e) {
    return e.info.session + L" · " + e.info.side + L" · " + e.info.time_start + L" — " + e.info.time_end + L" · ДПП " +
           std::to_wstring(e.info.dpp_start) + L"–" + std::to_wstring(e.info.dpp_end) + L" · " + folder_name(e.path);
}

void compare_with(wxWindow* parent, const std::wstring& first, const std::vector<registry_entry>& rows, double scale,
                  bool show_scale, reader_pool* readers) {
    const std::vector<registry_entry> choices = comparison_choices(first, rows);
    if (choices.empty()) {
        wxMessageBox(L"Нет другой базы для сравнения", L"Сравнить с…", wxOK | wxICON_INFORMATION, parent);
        return;
    }
    wxArrayString labels;
    for (const auto& c : choices) labels.Add(comparison_choice_label(c));
    wxSingleChoiceDialog choose(parent, L"Вторая база (первая — выбранная в списке):", L"Сравнить с…", labels);
    if (choose.ShowModal() != wxID_OK) return;
    compare_dialog dialog(parent, first, choices[static_cast<std::size_t>(choose.GetSelection())].path, readers);
    dialog.set_scale(scale, show_scale);
    dialog.ShowModal();
}
