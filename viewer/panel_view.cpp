#include "viewer/panel_view.h"

#include <algorithm>

void panel_view::move(view_point p, bool left_down) {
    if (left_down) {
        offset.x += p.x - drag_start.x;
        offset.y += p.y - drag_start.y;
        drag_start = p;
    }
    pointer = p;
}

void panel_view::wheel(int rotation, int delta) {
    if (delta == 0) return;
    zoom = std::max(1.0, zoom + static_cast<double>(rotation) / delta);
}
