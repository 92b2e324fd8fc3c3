#pragma once
// A panel that shows one image on a black background: the live camera pane of the main
// window and the picture of the viewer dialog.
//
// The owner sets the image (set_image) and refreshes the panel. Right-button presses are
// passed on to the parent window (with this panel's id), so the parent can show its popup.
// Ownership: a child window, destroyed with its parent. Thread safety: GUI thread only.
#include <wx/image.h>
#include <wx/panel.h>

class VImagePanel : public wxPanel {
public:
    VImagePanel(wxWindow* parent, wxWindowID id, const wxPoint& position = wxDefaultPosition,
                const wxSize& size = wxDefaultSize);

    void set_image(const wxImage& image) { image_ = image; }
    const wxImage& image() const { return image_; }

    double scale = 0.8;       // screen pixels per millimetre at zoom 1
    double zoom = 1.0;        // magnification, never below 1
    wxPoint offset{0, 0};     // top-left corner of the image, in zoomed units
    bool show_scale = true;   // whether the ruler is drawn

private:
    void on_paint(wxPaintEvent& event);
    void on_right_down(wxMouseEvent& event);

    wxImage image_;
};
