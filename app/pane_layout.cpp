#include "app/pane_layout.h"

#include <algorithm>

int top_row_height(int client_height, int strip_height, int caption_height, int row_height, int log_rows) {
    // The log's header row counts too, and a few pixels of sash and border.
    const int log_height = (log_rows + 1) * row_height + caption_height + 8;
    return std::clamp(client_height - strip_height - caption_height - log_height, 240, 480);
}

void pane_manager::fit_top_row(std::initializer_list<wxWindow*> top, int client_height, int height) {
    if (client_height == fitted_client_height_) return;
    fitted_client_height_ = client_height;
    for (wxWindow* window : top) {
        wxAuiPaneInfo& pane = GetPane(window);
        if (pane.IsOk()) pane.BestSize(pane.best_size.x, height);
    }
    // A dock keeps the size it was laid out (or dragged) to; forget the top one's so that
    // the new best heights apply.
    for (std::size_t i = 0; i < m_docks.GetCount(); ++i) {
        wxAuiDockInfo& dock = m_docks.Item(i);
        if (dock.dock_direction == wxAUI_DOCK_TOP && dock.dock_layer == 0) dock.size = 0;
    }
    Update();
}
