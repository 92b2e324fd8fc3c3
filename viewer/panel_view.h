#pragma once
// The image panel's view arithmetic, without a window: fit to the panel, zoom by the wheel
// about the pointer, pan by dragging with the left button, and the pointer the ruler is
// drawn at.
//
// A picture pixel (px, py) appears on the panel at zoom * (offset + (px, py)): `offset` is
// in picture pixels and the drawing is scaled by `zoom`. Dragging moves the picture with
// the pointer at every zoom. One wheel notch (rotation equal to the wheel delta) changes the
// zoom by 1 about the pointer; the zoom never goes below the fitted zoom when the picture
// is larger than the panel, nor below 1 otherwise (small pictures are not enlarged to fit),
// and a notch from below 1 up, or from above 1 down, stops at 1 first.
// While `fitted`, the view follows the panel's and the picture's size (refits on every
// change); zooming or dragging ends that until fit() is asked for again.
// Plain value type; no thread safety of its own.
struct view_point {
    int x = 0;
    int y = 0;
    bool operator==(const view_point&) const = default;
};

struct view_offset {
    double x = 0;
    double y = 0;
    bool operator==(const view_offset&) const = default;
};

struct view_size {
    int width = 0;
    int height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
    bool operator==(const view_size&) const = default;
};

// The zoom at which the whole picture just fits the panel, but never above 1; 1 when either
// size is empty.
double fit_zoom(view_size panel, view_size picture);

struct panel_view {
    double zoom = 1.0;
    view_point drag_start;  // pointer position at the last drag step
    view_offset offset;     // picture pixels; see above
    view_point pointer;     // where the ruler is drawn
    double min_zoom = 1.0;  // the wheel's floor: fit_zoom of the current sizes
    bool fitted = true;     // follows size changes by refitting

    // Left button down at p.
    void press(view_point p) { drag_start = p; }
    // Pointer motion to p; with the left button down the picture follows the pointer.
    void move(view_point p, bool left_down);
    // Wheel turned by rotation with the given delta per notch, about the panel point at
    // (a delta of 0 changes nothing); the overload turns it about the pointer.
    void wheel(int rotation, int delta, view_point at);
    void wheel(int rotation, int delta) { wheel(rotation, delta, pointer); }
    // Sets the zoom (not below min_zoom) keeping the picture point under the panel point at
    // (px, py) where it is.
    void zoom_about(double new_zoom, double px, double py);

    // The whole picture, centred, at fit_zoom; fitted from now on.
    void fit(view_size panel, view_size picture);
    // Zoom 1 about the panel's centre.
    void actual_size(view_size panel, view_size picture);
    // The panel or the picture changed size: refit when fitted, else only the floor moves
    // (and the zoom with it, if it now lies below).
    void resized(view_size panel, view_size picture);

    // Where the picture point (px, py) appears on the panel, and the reverse.
    double screen_x(double px) const { return zoom * (offset.x + px); }
    double screen_y(double py) const { return zoom * (offset.y + py); }
    double picture_x(double sx) const { return sx / zoom - offset.x; }
    double picture_y(double sy) const { return sy / zoom - offset.y; }
};
