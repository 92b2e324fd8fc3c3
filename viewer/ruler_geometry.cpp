#include "viewer/ruler_geometry.h"

namespace {
int trunc_px(double v) { return static_cast<int>(v); }  // toward zero
}  // namespace

ruler_drawing make_ruler(double scale, double zoom, int x, int y) {
    const double k = scale * zoom;
    ruler_drawing r;
    r.lines.reserve(105);
    r.lines.push_back({x, y, x, trunc_px(y - 100 * k)});
    for (int i = 0; i <= 100; ++i) {
        const int yi = trunc_px(y - i * k);
        if (i % 10 == 0) {
            r.lines.push_back({x - 30, yi, x, yi});
            r.labels.push_back({std::to_wstring(i), x + 5, trunc_px(y - i * k - 10)});
        } else if (i % 5 == 0) {
            r.lines.push_back({x - 10, yi, x, yi});
        } else if (zoom > 2.0) {
            r.lines.push_back({x - 5, yi, x, yi});
        }
    }
    r.labels.push_back({L"мм", x + 5, trunc_px(y - 110 * k - 10)});
    const int left = trunc_px(x - 75 * k);
    r.lines.push_back({x, y + 20, x, y + 40});
    r.lines.push_back({left, y + 20, left, y + 40});
    r.lines.push_back({x, y + 40, left, y + 40});
    r.labels.push_back({L"75 мм", trunc_px(x - 55 * k), y + 20});
    return r;
}
