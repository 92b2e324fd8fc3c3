#pragma once
// compare_dialog "Сравнение баз": two runs over the same train, frame beside frame (or one
// above the other when that shows them larger), stepped together by odometer distance.
//
// On opening, the second run's offset in counts is looked for around the first frame's
// count ("Найти смещение" looks again around the current frame); the offset spin control
// nudges it by hand. Each pair is lined up (the second picture moved by the shift measured
// within the frame); "Различия" marks in red where the lined-up frames differ beyond noise.
// The caption gives the pair's match strength ("сходство 0,91"); a pair that does not show one
// place is left as it is and said so ("Проезды здесь не совпадают (сходство 0,23)").
// "Различия по проезду" lists every difference of the run (differences_dialog, a modeless
// child); choosing one shows its pair here.
// Zoom, drag and the ruler act on both pictures together. Keys: Left / Right (Shift: ten
// frames), PageUp / PageDown, Home / End, "0" fit, "1" 1:1, "N" / "P" next / previous
// difference of the list. "Закрыть" ends the modal run.
//
// Both databases are only read. Ownership: owns the run_comparison (both readers).
// Errors: the constructor throws std::runtime_error when either database cannot be opened.
// Thread safety: GUI thread only.
#include <memory>
#include <string>
#include <vector>

#include <wx/dialog.h>

#include "database/database_registry.h"
#include "viewer/run_comparison.h"

class VImagePanel;
class differences_dialog;
struct run_difference;
class wxBoxSizer;
class wxCheckBox;
class wxSpinCtrl;
class wxStaticText;

class compare_dialog : public wxDialog {
public:
    compare_dialog(wxWindow* parent, const std::wstring& first, const std::wstring& second,
                   reader_pool* readers = nullptr);
    ~compare_dialog() override;

    VImagePanel* first_panel() const { return panels_[0]; }
    VImagePanel* second_panel() const { return panels_[1]; }
    run_comparison& comparison() { return *runs_; }
    bool side_by_side() const;
    wxString first_caption() const;
    wxString second_caption() const;
    const run_comparison::pair& shown() const { return shown_; }

    // What the controls do (also callable directly).
    void find_offset();
    void set_offset(long offset);
    void show_differences(bool on);
    void step(long frames);
    // Opens (or raises) the list of every difference of the run.
    void list_differences();
    differences_dialog* differences_list() const { return list_; }
    // Shows this pair of counts (the first run's, the second's).
    void show_pair(std::uint32_t first_count, std::uint32_t second_count);
    // Every key the dialog handles; false for others.
    bool handle_key(int key_code, int modifiers);
    void set_scale(double scale, bool show_scale);

private:
    void show_current();
    void arrange();
    void on_char_hook(wxKeyEvent& event);

    std::unique_ptr<run_comparison> runs_;
    std::wstring paths_[2];
    reader_pool* readers_ = nullptr;
    differences_dialog* list_ = nullptr;  // a child window: destroyed with this one
    run_comparison::pair shown_;
    std::wstring names_[2];
    bool differences_ = false;
    bool refresh_pending_ = false;  // a redecode at another reduction is queued
    VImagePanel* panels_[2] = {nullptr, nullptr};
    wxStaticText* captions_[2] = {nullptr, nullptr};
    wxBoxSizer* pictures_ = nullptr;
    wxBoxSizer* controls_ = nullptr;
    wxSpinCtrl* offset_ = nullptr;
    wxCheckBox* differences_box_ = nullptr;
};

// The databases a run can be compared with: every listed one but itself, in list order.
std::vector<registry_entry> comparison_choices(const std::wstring& first, const std::vector<registry_entry>& rows);
// How a choice reads in the list: session code, side, times, odometer range, folder.
std::wstring comparison_choice_label(const registry_entry& entry);

// "Сравнить с…": asks which database to compare `first` with, then shows the comparison
// modally; scale and show_scale are the ruler's settings. Tells the operator when there is
// no other database. Lets std::runtime_error through when a database cannot be opened.
// readers: the process's shared read handles (null: read handles of their own).
void compare_with(wxWindow* parent, const std::wstring& first, const std::vector<registry_entry>& rows, double scale,
                  bool show_scale, reader_pool* readers = nullptr);
