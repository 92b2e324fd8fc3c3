#pragma once
// A panel that shows one image on a black background, zoomed with the mouse wheel, dragged
// with the left button, with a millimetre ruler following the pointer: the picture of the
// viewer dialog and the live camera pane of the main window.
//
// The owner sets the image (set_image, or writes the panel's own buffer in place through
// image_pixels + image_changed) and refreshes the panel; `scale` and `show_scale` directly.
// The bitmap drawn holds only the part of the image inside the panel and is rebuilt only when
// the image or that part changed, not on every paint (pointer motion repaints for the ruler). While the ruler is on the cursor is blank over the panel:
// the ruler is the pointer. Right-button presses are passed on to the parent window (with
// this panel's id), so the parent can show its popup. Mouse handling does nothing while
// there is no image.
// Ownership: a child window, destroyed with its parent. Thread safety: GUI thread only.
#include <cstddef>

#include <wx/bitmap.h>
#include <wx/cursor.h>
#include <wx/image.h>
#include <wx/panel.h>

#include "viewer/panel_view.h"

class VImagePanel : public wxPanel {
public:
    VImagePanel(wxWindow* parent, wxWindowID id, const wxPoint& position = wxDefaultPosition,
                const wxSize& size = wxDefaultSize);

    // Replaces the image (shared, not copied).
    void set_image(const wxImage& image);
    const wxImage& image() const { return image_; }
    // The panel's own width x height RGB buffer (3 bytes a pixel, rows without padding), kept
    // while the size stays and no copy of image() shares it. Write it, then image_changed().
    unsigned char* image_pixels(int width, int height);
    void image_changed() { bitmap_stale_ = true; }

    double scale = 0.8;       // screen pixels per millimetre at zoom 1
    bool show_scale = true;   // whether the ruler is drawn
    panel_view view;          // zoom, offset, drag start and pointer

    // Bitmaps built from the image so far (tests, benchmarks).
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
    void set_ruler_cursor();

    wxImage image_;
    wxBitmap bitmap_;      // the visible part of image_; rebuilt when stale or the view moved
    wxRect bitmap_area_;   // which part, in image pixels
    bool bitmap_stale_ = true;
    std::size_t bitmap_builds_ = 0;
    wxCursor blank_cursor_;
};
