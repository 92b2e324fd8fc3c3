#pragma once
// A panel that shows one picture on a black background, zoomed with the mouse wheel, dragged
// with the left button, with a millimetre ruler following the pointer: the picture of the
// viewer dialog and the live camera pane of the main window.
//
// The owner hands over the picture (set_picture shares an 8-bit grey or BGR matrix, or the
// owner writes the panel's own matrix through picture_buffer + picture_changed) and refreshes
// the panel; `scale` and `show_scale` directly. A paint converts only the part of the picture
// inside the panel, straight into a reused drawing surface, and only when the picture or that
// part changed; pointer motion (the ruler) repaints without converting. While the ruler is
// on, the cursor is blank over the panel: the ruler is the pointer. Right-button presses are
// passed on to the parent window (with this panel's id), so the parent can show its popup.
// Mouse handling does nothing while there is no picture, except that a left click takes the
// keyboard focus (the panel accepts it, so its owner's keys work while it has it).
// A new picture of another size opens fitted: whole and centred, shrunk (never enlarged) to
// the panel; while the view stays fitted it follows the panel's size. Below zoom 1 the
// visible part is reduced before conversion, so a fitted camera frame costs about one
// panel's worth of pixels.
// Ownership: a child window, destroyed with its parent. Thread safety: GUI thread only.
#include <cstddef>
#include <functional>
#include <memory>

#include <opencv2/core/mat.hpp>

#include <wx/cursor.h>
#include <wx/image.h>
#include <wx/panel.h>

#include "viewer/panel_view.h"

class wxDC;
typedef struct _cairo_surface cairo_surface_t;

class VImagePanel : public wxPanel {
public:
    VImagePanel(wxWindow* parent, wxWindowID id, const wxPoint& position = wxDefaultPosition,
                const wxSize& size = wxDefaultSize);
    ~VImagePanel() override;

    // Takes the focus though it has no text to type into: the owner's keys go to it.
    bool AcceptsFocus() const override { return true; }
    bool AcceptsFocusFromKeyboard() const override { return true; }

    // Replaces the picture, shared, not copied: CV_8UC1 (grey) or CV_8UC3 (BGR); any other
    // type, or an empty matrix, leaves the panel without a picture. A picture decoded reduced
    // (by 2, 4 or 8) says so: the view, the zoom and the ruler stay in the frame's own
    // pixels, so a reduced picture shows exactly where the whole one would.
    void set_picture(const cv::Mat& picture, int reduction = 1);
    int reduction() const { return reduction_; }
    const cv::Mat& picture() const { return picture_; }
    // The panel's own matrix, not shared with anyone: write it (its size and type may change,
    // as by cv::Mat::create), then call picture_changed().
    cv::Mat& picture_buffer();
    void picture_changed();

    // For callers holding a wxImage (RGB): set_image converts it; image() is an RGB copy of
    // the picture, !IsOk() when there is none.
    void set_image(const wxImage& image);
    wxImage image() const;

    double scale = 0.8;      // screen pixels per millimetre at zoom 1
    bool show_scale = true;  // whether the ruler is drawn
    panel_view view;         // zoom, offset, drag start and pointer

    // A mask over the whole picture (CV_8U, any size: it is stretched over the picture):
    // its non-zero places are tinted half red. Empty: no tint. Kept across pictures until
    // replaced.
    void set_overlay(const cv::Mat& mask);
    bool has_overlay() const { return overlay_ != nullptr; }

    // Back to the fitted view / to 1:1 about the panel's centre (then refreshes).
    void fit_picture();
    void actual_size();
    // Replaces the view (zoom, offset, pointer), e.g. to follow a twin panel, and refreshes.
    void set_view(const panel_view& v);
    // Called after the operator changed the view with the mouse or fit_picture/actual_size.
    std::function<void(const panel_view&)> view_changed;

    // Conversions of a visible part into the drawing surface so far (tests, benchmarks).
    std::size_t bitmap_builds() const { return bitmap_builds_; }

private:
    void on_paint(wxPaintEvent& event);
    void on_enter(wxMouseEvent& event);
    void on_leave(wxMouseEvent& event);
    void on_left_down(wxMouseEvent& event);
    void on_left_up(wxMouseEvent& event);
    void on_motion(wxMouseEvent& event);
    void on_wheel(wxMouseEvent& event);
    void on_right_down(wxMouseEvent& event);
    void on_size(wxSizeEvent& event);
    void picture_replaced();
    void notify_view();
    view_size client_view_size() const;
    // The frame's size: the picture's times its reduction.
    view_size picture_size() const { return {picture_.cols * reduction_, picture_.rows * reduction_}; }
    // The view over the picture's own pixels.
    panel_view picture_view() const;
    void set_ruler_cursor();
    bool has_picture() const { return !picture_.empty(); }
    // Converts the part `area` of the picture into surface_ (made or remade to its size).
    // Converts the part `area` of the picture, resized to `out`, into surface_.
    bool convert_area(const wxRect& area, const wxSize& out);
    void draw_area(wxDC& dc, const wxRect& area);

    struct surface_deleter {
        void operator()(cairo_surface_t* s) const;
    };

    void draw_overlay(wxDC& dc);

    cv::Mat picture_;
    int reduction_ = 1;
    std::unique_ptr<cairo_surface_t, surface_deleter> overlay_;  // premultiplied ARGB, the mask's size
    std::unique_ptr<cairo_surface_t, surface_deleter> surface_;  // area_ of picture_, 4 bytes a pixel
    wxRect area_;                                                // which part, in picture pixels
    view_size shown_size_;                                       // the picture size the view was last fitted to
    cv::Mat reduced_;                                            // the visible part below zoom 1, reused
    bool stale_ = true;                                          // picture_ changed since surface_ was filled
    std::size_t bitmap_builds_ = 0;
    wxCursor blank_cursor_;
};
