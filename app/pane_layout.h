#pragma once
// The main window's panes on the screen it has. The camera and the "Данные" list share the
// top row, the log ("Журнал") takes the rest. On a car's 1366 × 768 screen a full 480-pixel
// camera row leaves the log two rows; the row gives way so that the log shows at least
// `log_rows` rows, and its lower edge stays draggable.
//
// Ownership: pane_manager is the window's wxAuiManager; it owns no pane.
// Thread safety: GUI thread only.
#include <wx/aui/framemanager.h>

// The top row's height for a client area `client_height` high, after the strip, two pane
// captions and `log_rows` log rows of `row_height`: between 240 and 480 pixels.
int top_row_height(int client_height, int strip_height, int caption_height, int row_height, int log_rows = 6);

class pane_manager : public wxAuiManager {
public:
    using wxAuiManager::wxAuiManager;

    // Gives the top row's panes (`top`) the height for `client_height`, when it differs from
    // the one last fitted, and lays out again. A height the operator dragged stays until the
    // window's own height changes.
    void fit_top_row(std::initializer_list<wxWindow*> top, int client_height, int height);

private:
    int fitted_client_height_ = -1;
};
