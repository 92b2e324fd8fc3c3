#pragma once
// database_list: the "Данные" pane, a virtual single-selection report list (window id 3,
// ID_DATABASE_LIST) over a database_list_model owned elsewhere (the window's
// database_loader). It holds no item objects: each cell is formatted by the model when drawn.
// Right-button presses are passed on to the parent window (the database popup menu).
// GUI thread only; the model must outlive the control.
#include <string>

#include <wx/listctrl.h>

#include "database/database_list_model.h"

class database_list : public wxListCtrl {
public:
    static constexpr int window_id = 3;

    database_list(wxWindow* parent, const database_list_model& model);

    // Shows the model's rows now: item count, then each column fitted to the larger of its
    // heading and its contents.
    void refill();
    // The folder of the first selected row, or empty when none is selected.
    std::wstring selected_path() const;

protected:
    wxString OnGetItemText(long item, long column) const override;

private:
    void on_right_down(wxMouseEvent& event);

    const database_list_model& model_;
};
