#include "viewer/VImagePanel.h"

#include <wx/dcbuffer.h>

VImagePanel::VImagePanel(wxWindow* parent, wxWindowID id, const wxPoint& position, const wxSize& size)
    : wxPanel(parent, id, position, size, wxTAB_TRAVERSAL) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &VImagePanel::on_paint, this);
    Bind(wxEVT_RIGHT_DOWN, &VImagePanel::on_right_down, this);
}

void VImagePanel::on_paint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    dc.SetBackground(*wxBLACK_BRUSH);
    dc.Clear();
    if (!image_.IsOk()) return;
    dc.SetUserScale(zoom, zoom);
    dc.DrawBitmap(wxBitmap(image_), offset.x, offset.y);
    dc.SetUserScale(1.0, 1.0);
}

void VImagePanel::on_right_down(wxMouseEvent& event) {
    // The main window's camera popup is reachable only if we hand the press on.
    wxWindow* parent = GetParent();
    if (!parent) return;
    wxMouseEvent forwarded(event);
    forwarded.SetId(GetId());
    forwarded.SetEventObject(this);
    parent->GetEventHandler()->ProcessEvent(forwarded);
}
