#include "app/health_strip.h"

#include <numeric>

#include <wx/control.h>
#include <wx/dcbuffer.h>
#include <wx/settings.h>

namespace {

// Share of the width per cell, in health_model's order, from the widths of their usual texts
// at 1366 pixels: the folder name, the queue and the disk line are the longest.
const double cell_weights[] = {1.5, 1.12, 0.8, 2.4, 0.78, 1.28, 1.0, 0.78, 1.9, 2.0};

// A value too wide for its cell is drawn smaller before it is cut: a number read whole at a
// smaller size beats a large one cut short.
const int value_points[] = {15, 13, 11};

struct colours {
    wxColour back, text;
};

colours colours_of(health_level level) {
    switch (level) {
    case health_level::off: return {wxColour(120, 120, 120), *wxWHITE};
    case health_level::good: return {wxColour(30, 130, 50), *wxWHITE};
    case health_level::amber: return {wxColour(255, 180, 0), *wxBLACK};
    case health_level::red: return {wxColour(200, 30, 30), *wxWHITE};
    case health_level::normal: break;
    }
    return {wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW), wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT)};
}

}  // namespace

health_strip::health_strip(wxWindow* parent)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxSize(-1, strip_height), wxFULL_REPAINT_ON_RESIZE) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    SetMinSize(wxSize(-1, strip_height));
    Bind(wxEVT_PAINT, &health_strip::on_paint, this);
}

void health_strip::show(const std::vector<health_cell>& cells) {
    if (cells == cells_) return;
    cells_ = cells;
    Refresh(false);
}

void health_strip::on_paint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    dc.SetBackground(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE)));
    dc.Clear();
    if (cells_.empty()) return;

    wxFont caption = GetFont();
    caption.SetPointSize(9);
    wxFont value = GetFont();
    value.SetWeight(wxFONTWEIGHT_BOLD);

    const std::size_t n = std::min(cells_.size(), std::size(cell_weights));
    const double total = std::accumulate(cell_weights, cell_weights + n, 0.0);
    double x = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int left = static_cast<int>(x);
        x += size.x * cell_weights[i] / total;
        const wxRect cell(left + 1, 1, static_cast<int>(x) - left - 2, size.y - 2);
        const health_cell& c = cells_[i];
        const colours col = colours_of(c.level);
        dc.SetPen(wxPen(wxColour(160, 160, 160)));
        dc.SetBrush(wxBrush(col.back));
        dc.DrawRectangle(cell);
        dc.SetTextForeground(col.text);
        const wxRect inner = cell.Deflate(6, 3);
        for (int points : value_points) {
            value.SetPointSize(points);
            dc.SetFont(value);
            if (dc.GetTextExtent(c.value).x <= inner.width) break;
        }
        const wxString text = wxControl::Ellipsize(c.value, dc, wxELLIPSIZE_END, inner.width);
        if (c.label.empty()) {
            dc.DrawLabel(text, inner, wxALIGN_CENTER);
            continue;
        }
        dc.DrawLabel(text, inner, wxALIGN_LEFT | wxALIGN_BOTTOM);
        dc.SetFont(caption);
        dc.DrawLabel(wxControl::Ellipsize(c.label, dc, wxELLIPSIZE_END, inner.width), inner,
                     wxALIGN_LEFT | wxALIGN_TOP);
    }
}
