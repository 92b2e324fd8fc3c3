#include "viewer/ruler_geometry.h"

#include <algorithm>

namespace {
int trunc_px(double v) { return static_cast<int>(v); }  // toward zero
}  // namespace

ruler_drawing make_ruler(double scale, double zoom, int x, int y, int label_height) {
    const double k = scale * zoom;
    ruler_drawing r;
    r.lines.reserve(105);
    r.lines.push_back({x, y, x, trunc_px(y - 100 * k)});
    // Millimetres between labels: the first of 10, 20, 50, 100 that leaves room for a text.
    int every = 0;
    for (int step : {10, 20, 50, 100})
        if (label_height == 0 || step * k >= label_height + 1) {  // +1: both ends are truncated
            every = step;
            break;
        }
    int top_label = y - 10;
    for (int i = 0; i <= 100; ++i) {
        const int yi = trunc_px(y - i * k);
        if (i % 10 == 0) {
            r.lines.push_back({x - 30, yi, x, yi});
            if (i == 0 || (every && i % every == 0)) {
                top_label = trunc_px(y - i * k - 10);
                r.labels.push_back({std::to_wstring(i), x + 5, top_label});
            }
        } else if (i % 5 == 0) {
            r.lines.push_back({x - 10, yi, x, yi});
        } else if (zoom > 2.0) {
            r.lines.push_back({x - 5, yi, x, yi});
        }
    }
    r.labels.push_back({L"мм", x + 5, std::min(trunc_px(y - 110 * k - 10), top_label - label_height)});
    const int left = trunc_px(x - 75 * k);
    r.lines.push_back({x, y + 20, x, y + 40});
    r.lines.push_back({left, y + 20, left, y + 40});
    r.lines.push_back({x, y + 40, left, y + 40});
    r.labels.push_back({L"75 мм", trunc_px(x - 55 * k), y + 20});
    return r;
}
