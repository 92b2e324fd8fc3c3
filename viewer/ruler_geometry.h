#pragma once
// The millimetre ruler drawn over the image panel at the pointer, as plain geometry: which
// lines and labels, at which screen pixels. The panel only draws what this returns.
//
// With k = scale * zoom screen pixels per millimetre and (x, y) the pointer: a vertical
// scale from 0 mm at the pointer up to 100 mm, a tick every 1 mm (only above zoom 2), 5 mm
// and 10 mm with a label every 10 mm, the unit label "мм" above it, and a 75 mm bar to the
// left of the pointer, 20 to 40 pixels below it, labelled "75 мм". Every coordinate that
// involves k is computed in double precision and truncated toward zero.
// Labels never overlap: given the text's height, the scale labels are thinned to every 20,
// 50 or 100 mm (whichever first leaves a text height between them; only "0" when none
// does) and "мм" moves up to clear the top label. A height of 0 keeps every label.
// No state; safe from any thread.
#include <string>
#include <vector>

struct ruler_line {
    int x1, y1, x2, y2;
    bool operator==(const ruler_line&) const = default;
};

struct ruler_label {
    std::wstring text;
    int x, y;  // top-left corner of the text
    bool operator==(const ruler_label&) const = default;
};

struct ruler_drawing {
    // In drawing order: the vertical line, the ticks from 0 mm upwards, the bar's right and
    // left end ticks, the bar.
    std::vector<ruler_line> lines;
    // "0", "10", ... "100" (or the thinned subset), then "мм", then "75 мм".
    std::vector<ruler_label> labels;
};

ruler_drawing make_ruler(double scale, double zoom, int x, int y, int label_height = 0);
