#include "database/database_list.h"

database_list::database_list(wxWindow* parent, const database_list_model& model)
    : wxListCtrl(parent, window_id, wxDefaultPosition, wxDefaultSize,
                 wxLC_REPORT | wxLC_VIRTUAL | wxLC_SINGLE_SEL),
      model_(model) {
    for (int column = 0; column < database_list_model::column_count; ++column)
        InsertColumn(column, wxString(database_list_model::heading(column)), wxLIST_FORMAT_LEFT);
    Bind(wxEVT_RIGHT_DOWN, &database_list::on_right_down, this);
}

void database_list::refill() {
    SetItemCount(static_cast<long>(model_.size()));
    for (int column = 0; column < database_list_model::column_count; ++column)
        SetColumnWidth(column, wxLIST_AUTOSIZE_USEHEADER);
    Refresh();
}

std::wstring database_list::selected_path() const {
    long row = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
    return model_.path(row);
}

wxString database_list::OnGetItemText(long item, long column) const {
    if (item < 0) return wxString();
    return wxString(model_.cell(static_cast<std::size_t>(item), static_cast<int>(column)));
}

void database_list::on_right_down(wxMouseEvent& event) {
    // The window shows the database popup for presses coming from this control's id.
    if (wxWindow* parent = GetParent()) {
        wxMouseEvent forwarded(event);
        forwarded.SetEventObject(this);
        forwarded.SetId(GetId());
        parent->GetEventHandler()->ProcessEvent(forwarded);
    }
    event.Skip();
}
