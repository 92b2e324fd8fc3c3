#pragma once
// The recording health strip under the toolbar: one row of cells (see health_model), each a
// small caption over a large value, coloured by its level, readable from an arm's length.
// Thin: it only lays out and paints the cells it is given. A value too wide for its cell is
// drawn smaller or on two lines (split at a " · ") before anything is cut; the cell under the
// mouse shows its tip (tip_of) as the tool tip.
// Thread safety: GUI thread only.
#include "app/health_model.h"

#include <vector>

#include <wx/dc.h>
#include <wx/panel.h>

class health_strip : public wxPanel {
public:
    explicit health_strip(wxWindow* parent);

    // Repaints when the cells differ from the shown ones.
    void show(const std::vector<health_cell>& cells);
    const std::vector<health_cell>& cells() const { return cells_; }

    static constexpr int strip_height = 58;

    // Where and how one cell's texts go.
    struct cell_layout {
        wxRect box;                   // the cell's frame
        wxRect inner;                 // its texts' room
        int value_points = 0;         // the value's font size
        std::vector<wxString> lines;  // the value as drawn: one line, or two
        bool fits = true;             // caption and value whole; false: cut with "..."
    };
    // The layout of `cells` in a strip of `size`, measured with `dc` in fonts made from `base`.
    static std::vector<cell_layout> layout(const std::vector<health_cell>& cells, wxSize size, wxDC& dc,
                                           const wxFont& base);
    // The layout of the shown cells at the strip's size and font.
    std::vector<cell_layout> layout() const;
    // Paints the shown cells on `dc` as a strip of `size` (the paint handler; screenshots).
    void draw(wxDC& dc, wxSize size) const;
    // The tip of the cell at `point` (client coordinates), or empty.
    wxString tip_at(wxPoint point) const;

private:
    void on_paint(wxPaintEvent& event);
    void on_motion(wxMouseEvent& event);
    void update_tip();

    std::vector<health_cell> cells_;
    wxPoint mouse_{-1, -1};  // the last position the mouse was seen at, inside the strip
};
