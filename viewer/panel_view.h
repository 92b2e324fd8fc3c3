#pragma once
// The image panel's view arithmetic, without a window: zoom by the wheel, pan by dragging
// with the left button, and the pointer the ruler is drawn at.
//
// The image's top-left corner is drawn at `offset` in zoomed units (the drawing context is
// scaled by `zoom`), while drags add screen-pixel movements to it: at zoom 2 the image moves
// twice as far as the pointer. One wheel notch (rotation equal to the wheel delta) changes
// the zoom by 1; it never goes below 1.
// Plain value type; no thread safety of its own.
struct view_point {
    int x = 0;
    int y = 0;
    bool operator==(const view_point&) const = default;
};

struct panel_view {
    double zoom = 1.0;
    view_point drag_start;  // pointer position at the last drag step
    view_point offset;      // image top-left, zoomed units
    view_point pointer;     // where the ruler is drawn

    // Left button down at p.
    void press(view_point p) { drag_start = p; }
    // Pointer motion to p; with the left button down the image follows.
    void move(view_point p, bool left_down);
    // Wheel turned by rotation with the given delta per notch (a delta of 0 changes nothing).
    void wheel(int rotation, int delta);
};
