#pragma once
// The settings dialog "Настройка программы": fifteen settings in a property grid.
//
// Construction builds the dialog and loads every property from the store. "ОК" with text
// that is no number in the integer or floating-point field refuses (a message, the dialog
// stays open); otherwise it writes all fifteen keys to the store (not flushed: the caller flushes) and ends with wxID_OK;
// "Отмена" and closing end with wxID_CANCEL and write nothing. `exposure_mode` is not shown.
// Choice properties store their entry's text; a stored text that is not exactly one of the
// entries shows no selection.
//
// Ownership: created on the caller's stack; the store is shared, not owned.
// Thread safety: GUI thread only (the store itself is thread-safe).
#include "settings/settings_store.h"

#include <functional>

#include <wx/dialog.h>

class wxPropertyGrid;

class quillmar_options : public wxDialog {
public:
    quillmar_options(wxWindow* parent, settings_ptr settings);

    wxPropertyGrid* grid() const { return grid_; }

    // Writes the fifteen properties to the store, in dialog order (what "ОК" does before
    // ending the dialog).
    void save();

    // Shows why "ОК" was refused (a number field holding text that is no number); the
    // dialog stays open. The default is a message box; tests record the text instead.
    std::function<void(const wxString& text)> show_error;

private:
    void on_ok(wxCommandEvent& event);
    void on_char_hook(wxKeyEvent& event);
    // The message for the selected number field's editor text when it is no number, or empty.
    wxString refused_editor_text() const;
    void on_cancel(wxCommandEvent& event);
    void finish(int code);

    wxPropertyGrid* grid_ = nullptr;
    settings_ptr settings_;

    wxDECLARE_EVENT_TABLE();
};
