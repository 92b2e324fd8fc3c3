#pragma once
// The settings dialog "Настройка программы": fifteen settings in a property grid.
//
// Construction builds the dialog and loads every property from the store. "Ok" writes all
// fifteen keys to the store (not flushed: the caller flushes) and ends with wxID_OK;
// "Отмена" and closing end with wxID_CANCEL and write nothing. `exposure_mode` is not shown.
// Choice properties store their entry's text; a stored text that is not exactly one of the
// entries shows no selection.
//
// Ownership: created on the caller's stack; the store is shared, not owned.
// Thread safety: GUI thread only (the store itself is thread-safe).
#include "settings/settings_store.h"

#include <wx/dialog.h>

class wxPropertyGrid;

class quillmar_options : public wxDialog {
public:
    quillmar_options(wxWindow* parent, settings_ptr settings);

    wxPropertyGrid* grid() const { return grid_; }

    // Writes the fifteen properties to the store, in dialog order (what "Ok" does before
    // ending the dialog).
    void save();

private:
    void on_ok(wxCommandEvent& event);
    void on_cancel(wxCommandEvent& event);
    void finish(int code);

    wxPropertyGrid* grid_ = nullptr;
    settings_ptr settings_;

    wxDECLARE_EVENT_TABLE();
};
