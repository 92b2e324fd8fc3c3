#include "viewer/VImagePanel.h"

#include <cairo.h>

#include <opencv2/imgproc.hpp>

#include <wx/dcclient.h>
#include <wx/graphics.h>

#include "viewer/ruler_geometry.h"

namespace {

// All black with black as the mask colour: fully transparent.
wxCursor make_blank_cursor() {
    wxImage blank(32, 32, true);
    blank.SetMaskColour(0, 0, 0);
    return wxCursor(blank);
}

view_point at(const wxMouseEvent& e) { return {e.GetPosition().x, e.GetPosition().y}; }

bool drawable(const cv::Mat& m) { return !m.empty() && (m.type() == CV_8UC1 || m.type() == CV_8UC3); }

// The surface's pixels in place. Cairo's RGB24 is one 32-bit word a pixel, 0xXXRRGGBB:
// bytes B, G, R, unused.
cv::Mat pixels_of(cairo_surface_t* s) {
    return cv::Mat(cairo_image_surface_get_height(s), cairo_image_surface_get_width(s), CV_8UC4,
                   cairo_image_surface_get_data(s), static_cast<std::size_t>(cairo_image_surface_get_stride(s)));
}

}  // namespace

void VImagePanel::surface_deleter::operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }

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

VImagePanel::~VImagePanel() = default;

void VImagePanel::set_picture(const cv::Mat& picture) {
    picture_ = drawable(picture) ? picture : cv::Mat();
    stale_ = true;
}

cv::Mat& VImagePanel::picture_buffer() {
    // Writing a matrix someone else holds would change their pixels.
    if (picture_.u && picture_.u->refcount > 1) picture_ = cv::Mat();
    stale_ = true;
    return picture_;
}

void VImagePanel::picture_changed() {
    if (!drawable(picture_)) picture_ = cv::Mat();
    stale_ = true;
}

void VImagePanel::set_image(const wxImage& image) {
    if (!image.IsOk()) {
        set_picture(cv::Mat());
        return;
    }
    const cv::Mat rgb(image.GetHeight(), image.GetWidth(), CV_8UC3, image.GetData());
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    set_picture(bgr);
}

wxImage VImagePanel::image() const {
    if (!has_picture()) return wxImage();
    wxImage out(picture_.cols, picture_.rows, false);
    cv::Mat rgb(picture_.rows, picture_.cols, CV_8UC3, out.GetData());
    cv::cvtColor(picture_, rgb, picture_.channels() == 1 ? cv::COLOR_GRAY2RGB : cv::COLOR_BGR2RGB);
    return out;
}

bool VImagePanel::convert_area(const wxRect& area) {
    if (!surface_ || cairo_image_surface_get_width(surface_.get()) != area.width ||
        cairo_image_surface_get_height(surface_.get()) != area.height) {
        surface_.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, area.width, area.height));
        if (cairo_surface_status(surface_.get()) != CAIRO_STATUS_SUCCESS) {
            surface_.reset();
            return false;
        }
    }
    cairo_surface_flush(surface_.get());
    cv::Mat target = pixels_of(surface_.get());
    const cv::Mat part = picture_(cv::Rect(area.x, area.y, area.width, area.height));
    cv::cvtColor(part, target, part.channels() == 1 ? cv::COLOR_GRAY2BGRA : cv::COLOR_BGR2BGRA);
    cairo_surface_mark_dirty(surface_.get());
    area_ = area;
    stale_ = false;
    ++bitmap_builds_;
    return true;
}

void VImagePanel::draw_area(wxDC& dc, const wxRect& area) {
    const double zoom = view.zoom;
    const double x = view.offset.x + area.x, y = view.offset.y + area.y;
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    auto* cr = gc ? static_cast<cairo_t*>(gc->GetNativeContext()) : nullptr;
    if (cr) {
        cairo_save(cr);
        cairo_scale(cr, zoom, zoom);
        cairo_set_source_surface(cr, surface_.get(), x, y);
        // Zoomed pixels stay sharp squares, as a measuring view needs.
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
        cairo_rectangle(cr, x, y, area.width, area.height);
        cairo_fill(cr);
        cairo_restore(cr);
        return;
    }
    // A device context without cairo underneath: through a bitmap, the slow way.
    wxImage out(area.width, area.height, false);
    cv::Mat rgb(area.height, area.width, CV_8UC3, out.GetData());
    cv::cvtColor(pixels_of(surface_.get()), rgb, cv::COLOR_BGRA2RGB);
    dc.SetUserScale(zoom, zoom);
    dc.DrawBitmap(wxBitmap(out), static_cast<int>(x), static_cast<int>(y));
    dc.SetUserScale(1.0, 1.0);
}

void VImagePanel::on_paint(wxPaintEvent&) {
    wxPaintDC dc(this);
    dc.SetBackground(*wxBLACK_BRUSH);
    dc.Clear();
    if (!has_picture()) return;
    const double zoom = view.zoom;
    // Only the part of the picture inside the panel is converted: a camera frame is often
    // several times the pane's size.
    const wxSize client = GetClientSize();
    const wxRect seen = wxRect(-view.offset.x, -view.offset.y, static_cast<int>(client.x / zoom) + 2,
                               static_cast<int>(client.y / zoom) + 2)
                            .Intersect(wxRect(0, 0, picture_.cols, picture_.rows));
    if (!seen.IsEmpty() && ((!stale_ && surface_ && seen == area_) || convert_area(seen))) draw_area(dc, seen);
    if (!show_scale) return;

    const wxPen kept = dc.GetPen();
    // Red reads well on the grey frames, dark or bright.
    dc.SetPen(*wxRED_PEN);
    dc.SetTextForeground(*wxRED);
    const ruler_drawing ruler = make_ruler(scale, zoom, view.pointer.x, view.pointer.y);
    for (const auto& l : ruler.lines) dc.DrawLine(l.x1, l.y1, l.x2, l.y2);
    for (const auto& t : ruler.labels) dc.DrawText(t.text, t.x, t.y);
    dc.SetPen(kept);
}

void VImagePanel::set_ruler_cursor() { SetCursor(show_scale ? blank_cursor_ : *wxSTANDARD_CURSOR); }

void VImagePanel::on_enter(wxMouseEvent&) {
    if (!has_picture()) return;
    set_ruler_cursor();
}

void VImagePanel::on_leave(wxMouseEvent&) { SetCursor(*wxSTANDARD_CURSOR); }

void VImagePanel::on_left_down(wxMouseEvent& event) {
    if (!has_picture()) return;
    view.press(at(event));
    SetCursor(wxCursor(wxCURSOR_HAND));
    Refresh(true);
}

void VImagePanel::on_left_up(wxMouseEvent&) {
    if (!has_picture()) return;
    set_ruler_cursor();
    Refresh(true);
}

void VImagePanel::on_motion(wxMouseEvent& event) {
    if (!has_picture()) return;
    view.move(at(event), event.LeftIsDown());
    Refresh(true);
}

void VImagePanel::on_wheel(wxMouseEvent& event) {
    if (!has_picture()) return;
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
