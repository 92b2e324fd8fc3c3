#include "export/scale_bar.h"

#include <cmath>
#include <string>

#include <opencv2/imgproc.hpp>

#include "viewer/ruler_geometry.h"

namespace {

constexpr int font = cv::FONT_HERSHEY_PLAIN;
constexpr double font_scale = 0.9;
constexpr int glyph_height = 8;  // matches the digits' height at font_scale
static_assert(scale_label_gap > glyph_height + 2);

// Lower-case Cyrillic "м": two stems joined by a V, the height of a small letter.
int draw_em(cv::Mat& grey, cv::Point at, int thickness, int colour) {
    const int w = 7, h = glyph_height - 2;
    const cv::Point pts[] = {
        {at.x, at.y}, {at.x, at.y - h}, {at.x + w / 2, at.y - h / 3}, {at.x + w, at.y - h}, {at.x + w, at.y}};
    cv::polylines(grey, std::vector<cv::Point>(std::begin(pts), std::end(pts)), false, colour, thickness, cv::LINE_8);
    return w + 3;
}

// Draws text whose top-left corner is at (x, y); "мм" parts are stroked by hand.
void draw_label(cv::Mat& grey, const std::wstring& text, int x, int y, int thickness, int colour) {
    cv::Point at(x, y + glyph_height + 2);
    std::string ascii;
    auto flush = [&] {
        if (ascii.empty()) return;
        cv::putText(grey, ascii, at, font, font_scale, colour, thickness, cv::LINE_8);
        int base = 0;
        at.x += cv::getTextSize(ascii, font, font_scale, 1, &base).width;
        ascii.clear();
    };
    for (wchar_t c : text) {
        if (c == L'м') {
            flush();
            at.x += draw_em(grey, at, thickness, colour);
        } else {
            ascii += static_cast<char>(c < 128 ? c : '?');
        }
    }
    flush();
}

}  // namespace

void thin_scale_labels(std::vector<ruler_label>& labels) {
    if (labels.size() < 2) return;
    // The vertical scale's labels come first, bottom up, then the unit, then the bar's label.
    const ruler_label bar = labels.back();
    ruler_label unit = labels[labels.size() - 2];
    std::vector<ruler_label> kept;
    for (std::size_t i = 0; i + 2 < labels.size(); ++i)
        if (kept.empty() || kept.back().y - labels[i].y >= scale_label_gap) kept.push_back(labels[i]);
    // The unit always shows, moved up when it would sit on the top number.
    if (!kept.empty() && kept.back().y - unit.y < scale_label_gap) unit.y = kept.back().y - scale_label_gap;
    kept.push_back(unit);
    kept.push_back(bar);
    labels = std::move(kept);
}

void burn_scale_bar(cv::Mat& grey, double scale) {
    if (grey.empty() || !(scale > 0) || !std::isfinite(scale)) return;
    // The pointer of the viewer's ruler: the bar reaches 75 mm to its left, the labels sit to
    // its right, the bar 20 to 40 pixels below it.
    const int x = static_cast<int>(75 * scale) + 12;
    const int y = grey.rows - 48;
    ruler_drawing ruler = make_ruler(scale, 1.0, x, y);
    thin_scale_labels(ruler.labels);
    for (const auto& [thickness, colour] : {std::pair{3, 0}, std::pair{1, 255}}) {
        for (const auto& l : ruler.lines) cv::line(grey, {l.x1, l.y1}, {l.x2, l.y2}, colour, thickness, cv::LINE_8);
        for (const auto& label : ruler.labels) draw_label(grey, label.text, label.x, label.y, thickness, colour);
    }
}
