#include "viewer/VImagePanel.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

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
    Bind(wxEVT_SIZE, &VImagePanel::on_size, this);
}

VImagePanel::~VImagePanel() = default;

void VImagePanel::set_picture(const cv::Mat& picture, int reduction) {
    picture_ = drawable(picture) ? picture : cv::Mat();
    reduction_ = std::max(1, reduction);
    picture_replaced();
}

view_size VImagePanel::client_view_size() const {
    const wxSize c = GetClientSize();
    return {c.x, c.y};
}

void VImagePanel::picture_replaced() {
    stale_ = true;
    if (!has_picture() || picture_size() == shown_size_) return;
    // Another size (or the first picture): show it whole.
    shown_size_ = picture_size();
    view.fit(client_view_size(), shown_size_);
}

void VImagePanel::notify_view() {
    if (view_changed) view_changed(view);
}

void VImagePanel::fit_picture() {
    if (!has_picture()) return;
    view.fit(client_view_size(), picture_size());
    notify_view();
    Refresh(true);
}

void VImagePanel::actual_size() {
    if (!has_picture()) return;
    view.actual_size(client_view_size(), picture_size());
    notify_view();
    Refresh(true);
}

void VImagePanel::set_view(const panel_view& v) {
    view = v;
    if (has_picture()) view.min_zoom = fit_zoom(client_view_size(), picture_size());
    Refresh(true);
}

void VImagePanel::on_size(wxSizeEvent& event) {
    if (has_picture()) {
        view.resized(client_view_size(), picture_size());
        notify_view();
    }
    Refresh(true);
    event.Skip();
}

panel_view VImagePanel::picture_view() const {
    panel_view v = view;
    v.zoom *= reduction_;
    v.offset.x /= reduction_;
    v.offset.y /= reduction_;
    return v;
}

cv::Mat& VImagePanel::picture_buffer() {
    reduction_ = 1;
    // Writing a matrix someone else holds would change their pixels.
    if (picture_.u && picture_.u->refcount > 1) picture_ = cv::Mat();
    stale_ = true;
    return picture_;
}

void VImagePanel::picture_changed() {
    if (!drawable(picture_)) picture_ = cv::Mat();
    picture_replaced();
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

bool VImagePanel::convert_area(const wxRect& area, const wxSize& out) {
    if (!surface_ || cairo_image_surface_get_width(surface_.get()) != out.x ||
        cairo_image_surface_get_height(surface_.get()) != out.y) {
        surface_.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, out.x, out.y));
        if (cairo_surface_status(surface_.get()) != CAIRO_STATUS_SUCCESS) {
            surface_.reset();
            return false;
        }
    }
    cairo_surface_flush(surface_.get());
    cv::Mat target = pixels_of(surface_.get());
    cv::Mat part = picture_(cv::Rect(area.x, area.y, area.width, area.height));
    if (out != area.GetSize()) {
        // Linear is enough for an overview and costs a fraction of an area average.
        cv::resize(part, reduced_, cv::Size(out.x, out.y), 0, 0, cv::INTER_LINEAR);
        part = reduced_;
    }
    cv::cvtColor(part, target, part.channels() == 1 ? cv::COLOR_GRAY2BGRA : cv::COLOR_BGR2BGRA);
    cairo_surface_mark_dirty(surface_.get());
    area_ = area;
    stale_ = false;
    ++bitmap_builds_;
    return true;
}

void VImagePanel::draw_area(wxDC& dc, const wxRect& area) {
    const panel_view view = picture_view();
    const double zoom = view.zoom;
    const int sw = cairo_image_surface_get_width(surface_.get()), sh = cairo_image_surface_get_height(surface_.get());
    // The surface holds `area` at its own resolution; it covers zoom * area on the panel.
    const double sx = zoom * area.width / sw, sy = zoom * area.height / sh;
    double x0 = view.screen_x(area.x), y0 = view.screen_y(area.y);
    if (zoom < 1.0) {  // reduced: whole screen pixels keep the copy unfiltered
        x0 = std::round(x0);
        y0 = std::round(y0);
    }
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    auto* cr = gc ? static_cast<cairo_t*>(gc->GetNativeContext()) : nullptr;
    if (cr) {
        cairo_save(cr);
        cairo_translate(cr, x0, y0);
        cairo_scale(cr, sx, sy);
        cairo_set_source_surface(cr, surface_.get(), 0, 0);
        // Zoomed pixels stay sharp squares, as a measuring view needs.
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
        cairo_rectangle(cr, 0, 0, sw, sh);
        cairo_fill(cr);
        cairo_restore(cr);
        return;
    }
    // A device context without cairo underneath: through a bitmap, the slow way.
    wxImage out(sw, sh, false);
    cv::Mat rgb(sh, sw, CV_8UC3, out.GetData());
    cv::cvtColor(pixels_of(surface_.get()), rgb, cv::COLOR_BGRA2RGB);
    dc.SetUserScale(sx, sy);
    dc.DrawBitmap(wxBitmap(out), static_cast<int>(x0 / sx), static_cast<int>(y0 / sy));
    dc.SetUserScale(1.0, 1.0);
}

void VImagePanel::set_overlay(const cv::Mat& mask) {
    overlay_.reset();
    if (mask.empty() || mask.type() != CV_8UC1 || cv::countNonZero(mask) == 0) return;
    overlay_.reset(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, mask.cols, mask.rows));
    if (cairo_surface_status(overlay_.get()) != CAIRO_STATUS_SUCCESS) {
        overlay_.reset();
        return;
    }
    cairo_surface_flush(overlay_.get());
    cv::Mat argb = pixels_of(overlay_.get());
    argb.setTo(cv::Scalar::all(0));
    argb.setTo(cv::Scalar(0, 0, 128, 128), mask);  // half-transparent red, premultiplied
    cairo_surface_mark_dirty(overlay_.get());
}

void VImagePanel::draw_overlay(wxDC& dc) {
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    auto* cr = gc ? static_cast<cairo_t*>(gc->GetNativeContext()) : nullptr;
    if (!cr) return;  // without cairo underneath the picture goes without its marks
    const panel_view view = picture_view();
    const int w = cairo_image_surface_get_width(overlay_.get()), h = cairo_image_surface_get_height(overlay_.get());
    cairo_save(cr);
    cairo_translate(cr, view.screen_x(0), view.screen_y(0));
    cairo_scale(cr, view.zoom * picture_.cols / w, view.zoom * picture_.rows / h);
    cairo_set_source_surface(cr, overlay_.get(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
    cairo_rectangle(cr, 0, 0, w, h);
    cairo_fill(cr);
    cairo_restore(cr);
}

void VImagePanel::on_paint(wxPaintEvent&) {
    wxPaintDC dc(this);
    dc.SetBackground(*wxBLACK_BRUSH);
    dc.Clear();
    if (!has_picture()) return;
    const panel_view view = picture_view();
    const double zoom = view.zoom;
    // Only the part of the picture inside the panel is converted: a camera frame is often
    // several times the pane's size.
    const wxSize client = GetClientSize();
    const int left = static_cast<int>(std::floor(view.picture_x(0))),
              top = static_cast<int>(std::floor(view.picture_y(0)));
    const int right = static_cast<int>(std::ceil(view.picture_x(client.x))) + 1;
    const int bottom = static_cast<int>(std::ceil(view.picture_y(client.y))) + 1;
    const wxRect seen =
        wxRect(wxPoint(left, top), wxPoint(right, bottom)).Intersect(wxRect(0, 0, picture_.cols, picture_.rows));
    if (!seen.IsEmpty()) {
        const wxSize out = zoom < 1.0 ? wxSize(std::max(1, static_cast<int>(std::lround(seen.width * zoom))),
                                               std::max(1, static_cast<int>(std::lround(seen.height * zoom))))
                                      : seen.GetSize();
        const bool ready = !stale_ && surface_ && seen == area_ &&
                           cairo_image_surface_get_width(surface_.get()) == out.x &&
                           cairo_image_surface_get_height(surface_.get()) == out.y;
        if (ready || convert_area(seen, out)) draw_area(dc, seen);
        if (overlay_) draw_overlay(dc);
    }
    if (!show_scale) return;

    const wxPen kept = dc.GetPen();
    // Red reads well on the grey frames, dark or bright.
    dc.SetPen(*wxRED_PEN);
    dc.SetTextForeground(*wxRED);
    // The ruler measures in the frame's pixels, whatever the picture's reduction.
    const ruler_drawing ruler = make_ruler(scale, this->view.zoom, view.pointer.x, view.pointer.y, dc.GetCharHeight());
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
    // A click on the picture takes the keyboard from whatever text box had it, so the
    // owner's keys (zoom, stepping) act at once.
    SetFocus();
    if (!has_picture()) return;
    view.press(at(event));
    SetCursor(wxCursor(wxCURSOR_HAND));
    notify_view();
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
    notify_view();
    Refresh(true);
}

void VImagePanel::on_wheel(wxMouseEvent& event) {
    if (!has_picture()) return;
    view.wheel(event.GetWheelRotation(), event.GetWheelDelta(), at(event));
    notify_view();
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
