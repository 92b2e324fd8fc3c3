#pragma once
// The recording health strip under the toolbar: one row of cells (see health_model), each a
// small caption over a large value, coloured by its level, readable from an arm's length.
// Thin: it only paints the cells it is given.
// Thread safety: GUI thread only.
#include "app/health_model.h"

#include <vector>

#include <wx/panel.h>

class health_strip : public wxPanel {
public:
    explicit health_strip(wxWindow* parent);

    // Repaints when the cells differ from the shown ones.
    void show(const std::vector<health_cell>& cells);
    const std::vector<health_cell>& cells() const { return cells_; }

    static constexpr int strip_height = 58;

private:
    void on_paint(wxPaintEvent& event);

    std::vector<health_cell> cells_;
};
