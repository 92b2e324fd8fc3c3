#include "viewer/VImagePanel.h"

#include <wx/dcbuffer.h>

#include "viewer/ruler_geometry.h"

namespace {

// All black with black as the mask colour: fully transparent.
wxCursor make_blank_cursor() {
    wxImage blank(32, 32, true);
    blank.SetMaskColour(0, 0, 0);
    return wxCursor(blank);
}

view_point at(const wxMouseEvent& e) { return {e.GetPosition().x, e.GetPosition().y}; }

}  // namespace

VImagePanel::VImagePanel(wxWindow* parent, wxWindowID id, const wxPoint& position, const wxSize& size)
    : wxPanel(parent, id, position, size, wxTAB_TRAVERSAL), blank_cursor_(make_blank_cursor()) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &VImagePanel::on_paint, this);
    Bind(wxEVT_ENTER_WINDOW, &VImagePanel::on_enter, this);
    Bind(wxEVT_LEAVE_WINDOW, &VImagePanel::on_leave, this);
    Bind(wxEVT_LEFT_DOWN, &VImagePanel::on_left_down, this);
    Bind(wxEVT_LEFT_UP, &VImagePanel::on_left_up, this);
    Bind(wxEVT_MOTION, &VImagePanel::on_motion, this);
    Bind(wxEVT_MOUSEWHEEL, &VImagePanel::on_wheel, this);
    Bind(wxEVT_RIGHT_DOWN, &VImagePanel::on_right_down, this);
}

void VImagePanel::set_image(const wxImage& image) {
    image_ = image;
    bitmap_stale_ = true;
}

unsigned char* VImagePanel::image_pixels(int width, int height) {
    const bool shared = image_.IsOk() && image_.GetRefData()->GetRefCount() > 1;
    if (!image_.IsOk() || shared || image_.GetWidth() != width || image_.GetHeight() != height ||
        image_.HasAlpha())
        image_ = wxImage(width, height, false);
    bitmap_stale_ = true;
    return image_.GetData();
}

void VImagePanel::on_paint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    dc.SetBackground(*wxBLACK_BRUSH);
    dc.Clear();
    if (!image_.IsOk()) return;
    const double zoom = view.zoom;
    // Only the part of the image inside the panel becomes a bitmap: a camera frame is often
    // several times the pane's size.
    const wxSize client = GetClientSize();
    const wxRect seen = wxRect(-view.offset.x, -view.offset.y, static_cast<int>(client.x / zoom) + 2,
                               static_cast<int>(client.y / zoom) + 2)
                            .Intersect(wxRect(image_.GetSize()));
    if (!seen.IsEmpty() && (bitmap_stale_ || !bitmap_.IsOk() || seen != bitmap_area_)) {
        bitmap_ = seen == wxRect(image_.GetSize()) ? wxBitmap(image_) : wxBitmap(image_.GetSubImage(seen));
        bitmap_area_ = seen;
        bitmap_stale_ = false;
        ++bitmap_builds_;
    }
    dc.SetUserScale(zoom, zoom);
    if (!seen.IsEmpty()) dc.DrawBitmap(bitmap_, view.offset.x + seen.x, view.offset.y + seen.y);
    if (!show_scale) return;

    const wxPen kept = dc.GetPen();
    // Red reads well on the grey frames, dark or bright.
    dc.SetPen(*wxRED_PEN);
    dc.SetTextForeground(*wxRED);
    dc.SetUserScale(1.0, 1.0);
    const ruler_drawing ruler = make_ruler(scale, zoom, view.pointer.x, view.pointer.y);
    for (const auto& l : ruler.lines) dc.DrawLine(l.x1, l.y1, l.x2, l.y2);
    for (const auto& t : ruler.labels) dc.DrawText(t.text, t.x, t.y);
    dc.SetPen(kept);
    dc.SetUserScale(zoom, zoom);
}

void VImagePanel::set_ruler_cursor() { SetCursor(show_scale ? blank_cursor_ : *wxSTANDARD_CURSOR); }

void VImagePanel::on_enter(wxMouseEvent&) {
    if (!image_.IsOk()) return;
    set_ruler_cursor();
}

void VImagePanel::on_leave(wxMouseEvent&) { SetCursor(*wxSTANDARD_CURSOR); }

void VImagePanel::on_left_down(wxMouseEvent& event) {
    if (!image_.IsOk()) return;
    view.press(at(event));
    SetCursor(wxCursor(wxCURSOR_HAND));
    Refresh(true);
}

void VImagePanel::on_left_up(wxMouseEvent&) {
    if (!image_.IsOk()) return;
    set_ruler_cursor();
    Refresh(true);
}

void VImagePanel::on_motion(wxMouseEvent& event) {
    if (!image_.IsOk()) return;
    view.move(at(event), event.LeftIsDown());
    Refresh(true);
}

void VImagePanel::on_wheel(wxMouseEvent& event) {
    if (!image_.IsOk()) return;
    view.wheel(event.GetWheelRotation(), event.GetWheelDelta());
    Refresh(true);
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
