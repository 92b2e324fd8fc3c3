#pragma once
// database_list: the "Данные" pane, a virtual single-selection report list (window id
// ID_DATABASE_LIST) over a database_list_model owned elsewhere (the window's
// database_loader). It holds no item objects: each cell is formatted by the model when drawn.
// Right-button presses are passed on to the parent window (the database popup menu).
// Columns are as wide as their widest text; the control asks its pane for no more width than
// a small screen leaves it, and scrolls sideways to the columns that do not fit.
// GUI thread only; the model must outlive the control.
#include <string>
#include <unordered_map>
#include <vector>

#include <wx/listctrl.h>

#include "database/database_list_model.h"

class database_list : public wxListCtrl {
public:
    database_list(wxWindow* parent, const database_list_model& model);

    // Shows the model's rows now: item count, then each column fitted to the larger of its
    // heading and its contents. The selected database stays selected, wherever its row moved.
    void refill();
    // The folder of the first selected row, or empty when none is selected.
    std::wstring selected_path() const;

protected:
    wxString OnGetItemText(long item, long column) const override;
    wxSize DoGetBestClientSize() const override;

private:
    void on_right_down(wxMouseEvent& event);

    int text_width(const std::wstring& text);

    const database_list_model& model_;
    // Measured text widths: the list is refitted for every added row, and measuring every
    // cell each time would grow with the square of the rows during a scan.
    std::unordered_map<std::wstring, int> widths_;
    // The folders of the rows as the last refill showed them: the model has already changed
    // when a refill comes, so the selected row's folder is looked up here.
    std::vector<std::wstring> shown_;
};
