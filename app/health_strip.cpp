#include "app/health_strip.h"

#include <algorithm>
#include <numeric>
#include <optional>
#include <utility>

#include <wx/control.h>
#include <wx/dcbuffer.h>
#include <wx/dcclient.h>
#include <wx/settings.h>
#include <wx/tooltip.h>

namespace {

// Share of the width per cell, in health_model's order: the pixels each gets at 1366, where
// the longest text each can show just fits at the smallest size (the lamp's "запись
// остановлена", the folder name, the queue's caption and "100,0 из 120,0" set the widths).
const double cell_weights[] = {182, 106, 110, 202, 94, 144, 134, 84, 180, 130};

const int caption_points = 9;

// How a value is tried, best read first: large on one line, large on two split at a " · ",
// then smaller, and last split at a space. A number read whole at a smaller size beats a
// large one cut short.
enum class split { none, parts, words };
const struct attempt {
    int points;
    split lines;
} attempts[] = {{15, split::none}, {13, split::none},  {15, split::parts}, {13, split::parts},
                {11, split::none}, {11, split::parts}, {11, split::words}};

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

// The frames of n cells across a strip of `size`.
std::vector<wxRect> boxes(std::size_t n, wxSize size) {
    n = std::min(n, std::size(cell_weights));
    const double total = std::accumulate(cell_weights, cell_weights + n, 0.0);
    std::vector<wxRect> out;
    double x = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int left = static_cast<int>(x);
        x += size.x * cell_weights[i] / total;
        out.emplace_back(left + 1, 1, static_cast<int>(x) - left - 2, size.y - 2);
    }
    return out;
}

// The value on two lines, split at the `separator` nearest its middle; none without one.
std::optional<std::vector<wxString>> halves(const wxString& text, const wxString& separator) {
    std::optional<std::size_t> best;
    const auto off_middle = [&](std::size_t at) {
        return std::abs(static_cast<long>(2 * at + separator.size()) - static_cast<long>(text.size()));
    };
    for (std::size_t at = text.find(separator); at != wxString::npos; at = text.find(separator, at + 1))
        if (!best || off_middle(at) < off_middle(*best)) best = at;
    if (!best) return std::nullopt;
    return std::vector<wxString>{text.substr(0, *best), text.substr(*best + separator.size())};
}

}  // namespace

health_strip::health_strip(wxWindow* parent)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxSize(-1, strip_height), wxFULL_REPAINT_ON_RESIZE) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    SetMinSize(wxSize(-1, strip_height));
    Bind(wxEVT_PAINT, &health_strip::on_paint, this);
    Bind(wxEVT_MOTION, &health_strip::on_motion, this);
    Bind(wxEVT_LEAVE_WINDOW, [this](wxMouseEvent& event) {
        mouse_ = wxPoint(-1, -1);
        event.Skip();
    });
}

void health_strip::show(const std::vector<health_cell>& cells) {
    if (cells == cells_) return;
    cells_ = cells;
    // A tip open over a cell follows what the cell says now.
    if (mouse_.x >= 0) update_tip();
    Refresh(false);
}

std::vector<health_strip::cell_layout> health_strip::layout(const std::vector<health_cell>& cells, wxSize size,
                                                            wxDC& dc, const wxFont& base) {
    wxFont caption = base;
    caption.SetPointSize(caption_points);
    wxFont value = base;
    value.SetWeight(wxFONTWEIGHT_BOLD);

    std::vector<cell_layout> out;
    const std::vector<wxRect> frames = boxes(cells.size(), size);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const health_cell& c = cells[i];
        cell_layout l;
        l.box = frames[i];
        l.inner = l.box.Deflate(3, 2);
        int room = l.inner.height;
        if (!c.label.empty()) {
            dc.SetFont(caption);
            const wxSize extent = dc.GetTextExtent(c.label);
            l.fits = extent.x <= l.inner.width;
            room -= extent.y;
        }
        const auto parts = halves(c.value, L" · ");
        const auto words = halves(c.value, L" ");
        bool placed = false;
        for (const attempt& a : attempts) {
            const std::optional<std::vector<wxString>> lines = a.lines == split::none ? std::vector<wxString>{c.value}
                                                               : a.lines == split::parts ? parts
                                                                                         : words;
            if (!lines) continue;
            value.SetPointSize(a.points);
            dc.SetFont(value);
            int width = 0, height = 0;
            for (const wxString& line : *lines) {
                const wxSize extent = dc.GetTextExtent(line);
                width = std::max(width, extent.x);
                height += extent.y;
            }
            if (width <= l.inner.width && height <= room) {
                l.value_points = a.points;
                l.lines = *lines;
                placed = true;
                break;
            }
        }
        if (!placed) {
            l.value_points = attempts[std::size(attempts) - 1].points;
            value.SetPointSize(l.value_points);
            dc.SetFont(value);
            l.lines = {wxControl::Ellipsize(c.value, dc, wxELLIPSIZE_END, l.inner.width)};
            l.fits = false;
        }
        out.push_back(std::move(l));
    }
    return out;
}

std::vector<health_strip::cell_layout> health_strip::layout() const {
    wxClientDC dc(const_cast<health_strip*>(this));
    return layout(cells_, GetClientSize(), dc, GetFont());
}

wxString health_strip::tip_at(wxPoint point) const {
    const std::vector<wxRect> frames = boxes(cells_.size(), GetClientSize());
    for (std::size_t i = 0; i < frames.size(); ++i)
        if (point.x >= frames[i].GetLeft() - 1 && point.x <= frames[i].GetRight() + 1) return tip_of(cells_[i]);
    return {};
}

void health_strip::on_motion(wxMouseEvent& event) {
    mouse_ = event.GetPosition();
    update_tip();
    event.Skip();
}

void health_strip::update_tip() {
    const wxString tip = tip_at(mouse_);
    // Setting the same tip again would restart its timer and make it flicker.
    if (tip == GetToolTipText()) return;
    if (tip.empty())
        UnsetToolTip();
    else
        SetToolTip(tip);
}

void health_strip::on_paint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    draw(dc, GetClientSize());
}

void health_strip::draw(wxDC& dc, wxSize size) const {
    dc.SetBackground(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE)));
    dc.Clear();
    if (cells_.empty()) return;

    wxFont caption = GetFont();
    caption.SetPointSize(caption_points);
    wxFont value = GetFont();
    value.SetWeight(wxFONTWEIGHT_BOLD);

    const std::vector<cell_layout> cells = layout(cells_, size, dc, GetFont());
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const cell_layout& l = cells[i];
        const health_cell& c = cells_[i];
        const colours col = colours_of(c.level);
        dc.SetPen(wxPen(wxColour(160, 160, 160)));
        dc.SetBrush(wxBrush(col.back));
        dc.DrawRectangle(l.box);
        dc.SetTextForeground(col.text);

        value.SetPointSize(l.value_points);
        dc.SetFont(value);
        int height = 0;
        for (const wxString& line : l.lines) height += dc.GetTextExtent(line).y;
        // The lamp's words sit in the middle; a value sits on the cell's bottom under its caption.
        int y = c.label.empty() ? l.inner.y + (l.inner.height - height) / 2 : l.inner.GetBottom() + 1 - height;
        for (const wxString& line : l.lines) {
            const wxSize extent = dc.GetTextExtent(line);
            const int x = c.label.empty() ? l.inner.x + (l.inner.width - extent.x) / 2 : l.inner.x;
            dc.DrawText(line, x, y);
            y += extent.y;
        }
        if (!c.label.empty()) {
            dc.SetFont(caption);
            dc.DrawText(wxControl::Ellipsize(c.label, dc, wxELLIPSIZE_END, l.inner.width), l.inner.x, l.inner.y);
        }
    }
}
