#include "viewer/panel_view.h"

#include <algorithm>

double fit_zoom(view_size panel, view_size picture) {
    if (panel.empty() || picture.empty()) return 1.0;
    const double z =
        std::min(static_cast<double>(panel.width) / picture.width, static_cast<double>(panel.height) / picture.height);
    return std::min(1.0, z);
}

void panel_view::move(view_point p, bool left_down) {
    if (left_down) {
        offset.x += (p.x - drag_start.x) / zoom;
        offset.y += (p.y - drag_start.y) / zoom;
        drag_start = p;
        fitted = false;
    }
    pointer = p;
}

void panel_view::zoom_about(double new_zoom, double px, double py) {
    new_zoom = std::max(new_zoom, min_zoom);
    const double x = picture_x(px), y = picture_y(py);
    zoom = new_zoom;
    offset.x = px / zoom - x;
    offset.y = py / zoom - y;
}

void panel_view::wheel(int rotation, int delta, view_point at) {
    if (delta == 0 || rotation == 0) return;
    double z = zoom + static_cast<double>(rotation) / delta;
    // Pass through 1:1 on the way: the one zoom where a picture pixel is a screen pixel.
    if ((zoom < 1.0 && z > 1.0) || (zoom > 1.0 && z < 1.0)) z = 1.0;
    zoom_about(z, at.x, at.y);
    fitted = false;
}

void panel_view::fit(view_size panel, view_size picture) {
    min_zoom = fit_zoom(panel, picture);
    zoom = min_zoom;
    offset.x = (panel.width / zoom - picture.width) / 2;
    offset.y = (panel.height / zoom - picture.height) / 2;
    fitted = true;
}

void panel_view::actual_size(view_size panel, view_size) {
    zoom_about(1.0, panel.width / 2.0, panel.height / 2.0);
    fitted = false;
}

void panel_view::resized(view_size panel, view_size picture) {
    if (fitted) {
        fit(panel, picture);
        return;
    }
    min_zoom = fit_zoom(panel, picture);
    if (zoom < min_zoom) zoom_about(min_zoom, panel.width / 2.0, panel.height / 2.0);
}
