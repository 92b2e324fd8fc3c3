#include "viewer/panel_view.h"
#include "viewer/ruler_geometry.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// The tick drawn at height y (the vertical line excluded), or nullptr.
const ruler_line* tick_at(const ruler_drawing& r, int y) {
    auto it = std::find_if(r.lines.begin() + 1, r.lines.end() - 3,
                           [&](const ruler_line& l) { return l.y1 == y && l.y2 == y; });
    return it == r.lines.end() - 3 ? nullptr : &*it;
}

struct ruler_case {
    double scale, zoom;
    std::size_t lines;
    int top;                  // upper end of the vertical line (100 mm)
    int y35, len35;           // the 35 mm tick: height and length
    int y_fine, len_fine;     // a 1 mm-only tick (1 or 99 mm); len 0 = not drawn
    int label10_y, mm_y;      // "10" and "мм" label heights
    int bar_left, bar_label;  // 75 mm bar's left end, its label's left edge
};

TEST(ruler_geometry, ticks_labels_and_the_75_mm_bar_at_each_zoom_and_scale) {
    const int x = 200, y = 300;
    // k = scale * zoom pixels per millimetre; coordinates truncated toward zero.
    const ruler_case cases[] = {
        {0.8, 1, 25, 220, 272, 10, 299, 0, 282, 202, 140, 156},
        {0.8, 2, 25, 140, 244, 10, 298, 0, 274, 114, 80, 112},   // zoom 2: still no 1 mm ticks
        {0.8, 4, 105, -20, 188, 10, -16, 5, 258, -62, -40, 24},  // 99 mm: -16.8 truncates to -16
        {1.0, 1, 25, 200, 265, 10, 299, 0, 280, 180, 125, 145},
        {1.0, 4, 105, -100, 160, 10, -96, 5, 250, -150, -100, -20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "scale " << c.scale << " zoom " << c.zoom);
        const ruler_drawing r = make_ruler(c.scale, c.zoom, x, y);
        ASSERT_EQ(r.lines.size(), c.lines);
        EXPECT_EQ(r.lines.front(), (ruler_line{x, y, x, c.top}));
        EXPECT_EQ(*tick_at(r, y), (ruler_line{x - 30, y, x, y}));  // 0 mm
        ASSERT_NE(tick_at(r, c.y35), nullptr);
        EXPECT_EQ(tick_at(r, c.y35)->x1, x - c.len35);
        if (c.len_fine) {
            ASSERT_NE(tick_at(r, c.y_fine), nullptr);
            EXPECT_EQ(*tick_at(r, c.y_fine), (ruler_line{x - c.len_fine, c.y_fine, x, c.y_fine}));
        } else {
            EXPECT_EQ(tick_at(r, c.y_fine), nullptr);
        }
        EXPECT_EQ(*tick_at(r, c.top), (ruler_line{x - 30, c.top, x, c.top}));  // 100 mm
        // The bar: right end tick, left end tick, the bar itself.
        EXPECT_EQ(r.lines[c.lines - 3], (ruler_line{x, y + 20, x, y + 40}));
        EXPECT_EQ(r.lines[c.lines - 2], (ruler_line{c.bar_left, y + 20, c.bar_left, y + 40}));
        EXPECT_EQ(r.lines[c.lines - 1], (ruler_line{x, y + 40, c.bar_left, y + 40}));

        ASSERT_EQ(r.labels.size(), 13u);
        EXPECT_EQ(r.labels[0], (ruler_label{L"0", x + 5, y - 10}));
        EXPECT_EQ(r.labels[1], (ruler_label{L"10", x + 5, c.label10_y}));
        EXPECT_EQ(r.labels[10].text, L"100");
        EXPECT_EQ(r.labels[11], (ruler_label{L"мм", x + 5, c.mm_y}));
        EXPECT_EQ(r.labels[12], (ruler_label{L"75 мм", c.bar_label, y + 20}));
    }
}

TEST(panel_view, wheel_notches_change_the_zoom_by_one_and_never_below_one) {
    panel_view v;
    v.wheel(-120, 120);
    EXPECT_DOUBLE_EQ(v.zoom, 1.0);
    for (int i = 0; i < 3; ++i) v.wheel(120, 120);
    EXPECT_DOUBLE_EQ(v.zoom, 4.0);
    v.wheel(-60, 120);  // half a notch (fine-grained wheels)
    EXPECT_DOUBLE_EQ(v.zoom, 3.5);
    v.wheel(-600, 120);
    EXPECT_DOUBLE_EQ(v.zoom, 1.0);
    v.wheel(120, 0);
    EXPECT_DOUBLE_EQ(v.zoom, 1.0);
}

TEST(panel_view, dragging_moves_the_picture_with_the_pointer_and_motion_moves_the_pointer) {
    panel_view v;
    v.zoom = 2;
    v.press({10, 10});
    v.move({15, 12}, true);
    EXPECT_EQ(v.offset, (view_offset{2.5, 1}));  // picture pixels: 5 screen pixels at zoom 2
    v.move({5, 30}, true);
    EXPECT_EQ(v.offset, (view_offset{-2.5, 10}));
    EXPECT_EQ(v.drag_start, (view_point{5, 30}));
    EXPECT_FALSE(v.fitted);
    v.move({100, 100}, false);  // button up: only the ruler moves
    EXPECT_EQ(v.offset, (view_offset{-2.5, 10}));
    EXPECT_EQ(v.pointer, (view_point{100, 100}));
    EXPECT_DOUBLE_EQ(v.zoom, 2.0);
}

}  // namespace
