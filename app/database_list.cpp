#include "app/database_list.h"

#include "app/window_ids.h"

database_list::database_list(wxWindow* parent, const database_list_model& model)
    : wxListCtrl(parent, ID_DATABASE_LIST, wxDefaultPosition, wxDefaultSize,
                 wxLC_REPORT | wxLC_VIRTUAL | wxLC_SINGLE_SEL),
      model_(model) {
    for (int column = 0; column < database_list_model::column_count; ++column)
        InsertColumn(column, wxString(database_list_model::heading(column)), wxLIST_FORMAT_LEFT);
    Bind(wxEVT_RIGHT_DOWN, &database_list::on_right_down, this);
}

namespace {
// Room around a cell's text: the list's own padding and the heading's separator.
constexpr int column_margin = 16;
}  // namespace

void database_list::refill() {
    // The model may have put rows above the selected one: follow its folder, never its row
    // number, or a delete would take another recording.
    const long selected_before = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
    const std::wstring selected = selected_before >= 0 && static_cast<std::size_t>(selected_before) < shown_.size()
                                      ? shown_[static_cast<std::size_t>(selected_before)]
                                      : std::wstring();
    shown_.clear();
    for (const auto& row : model_.rows()) shown_.push_back(row.path);
    SetItemCount(static_cast<long>(model_.size()));
    const long selected_now = model_.row_of(selected);
    if (selected_now != selected_before) {
        if (selected_before >= 0 && selected_before < GetItemCount())
            SetItemState(selected_before, 0, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
        if (selected_now >= 0) SetItemState(selected_now, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    }
    // The toolkit's own fitting sees only the rows on screen in a virtual list.
    if (widths_.size() > 16 * (model_.size() + 1) * database_list_model::column_count) widths_.clear();
    const auto widths =
        model_.column_widths([this](const std::wstring& text) { return text_width(text); }, column_margin);
    for (int column = 0; column < database_list_model::column_count; ++column)
        if (GetColumnWidth(column) != widths[static_cast<std::size_t>(column)])
            SetColumnWidth(column, widths[static_cast<std::size_t>(column)]);
    Refresh();
}

int database_list::text_width(const std::wstring& text) {
    const auto [at, added] = widths_.try_emplace(text, 0);
    if (added) at->second = GetTextExtent(wxString(text)).x;
    return at->second;
}

wxSize database_list::DoGetBestClientSize() const {
    // Asking for the width of all columns would push the pane off a 1366-pixel screen beside
    // the camera pane; what does not fit is scrolled to.
    return wxSize(400, 200);
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
