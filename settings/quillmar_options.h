#pragma once
// The settings dialog "Настройка программы": the settings in a property grid.
//
// Construction builds the dialog and loads every property from the store. "ОК" refuses what
// settings_check refuses (an empty or unwritable "Каталог", a port outside 1-65535, text in a
// number field, ...): the message goes to the line under the grid and a message box, the
// field is selected, and the dialog stays open with every edit kept. Otherwise it writes all
// its keys to the store (not flushed: the caller flushes) and ends with wxID_OK.
// Escape in a cell being edited takes back that cell only. "Отмена", and Escape otherwise,
// end with wxID_CANCEL and write nothing. `exposure_mode` is not shown.
// Choice properties store their entry's text; a stored text that is not exactly one of the
// entries shows no selection.
//
// Ownership: created on the caller's stack; the store is shared, not owned.
// Thread safety: GUI thread only (the store itself is thread-safe).
#include "settings/settings_check.h"
#include "settings/settings_store.h"

#include <functional>
#include <vector>

#include <wx/dialog.h>

class wxPGProperty;
class wxPropertyGrid;
class wxStaticText;

class quillmar_options : public wxDialog {
public:
    quillmar_options(wxWindow* parent, settings_ptr settings);

    wxPropertyGrid* grid() const { return grid_; }

    // Writes the properties to the store, in dialog order (what "ОК" does before
    // ending the dialog).
    void save();

    // Shows why "ОК" was refused; the dialog stays open. The default is a message box;
    // tests record the text instead.
    std::function<void(const wxString& text)> show_error;

    // The message line under the grid (empty when nothing is wrong); for tests.
    wxString message() const;

private:
    void on_ok(wxCommandEvent& event);
    void on_char_hook(wxKeyEvent& event);
    // A field's text as the operator sees it: the open editor's text for the selected one.
    wxString field_text(const wxString& key) const;
    // The texts of every field that is typed (not chosen), in dialog order.
    std::vector<setting_text> typed_values() const;
    // Why what is typed into `property` cannot be stored; empty when it can, unless the grid
    // has `refused` it (then a general message).
    wxString refused_text_of(wxPGProperty* property, bool refused) const;
    void show_message(const wxString& text);
    // Takes back what is typed in the selected cell; false when it holds no edit.
    bool cancel_cell_edit();
    void on_cancel(wxCommandEvent& event);
    void finish(int code);

    wxPropertyGrid* grid_ = nullptr;
    wxStaticText* message_ = nullptr;
    settings_ptr settings_;

    wxDECLARE_EVENT_TABLE();
};
