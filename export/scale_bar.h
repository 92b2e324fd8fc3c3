#pragma once
// The viewer's millimetre ruler (the same geometry, at 1:1) burned into a grey picture near its
// bottom-left corner: the 0 to 100 mm vertical scale and the 75 mm bar, white on a dark rim
// so it reads on light and dark ground. Labels are digits and "мм" drawn as strokes (the
// built-in Hershey fonts have no Cyrillic). No state; safe from any thread.
#include <vector>

#include <opencv2/core.hpp>

#include "viewer/ruler_geometry.h"

// Labels of the scale closer than this many pixels apart would run into each other.
inline constexpr int scale_label_gap = 12;

// Drops the vertical scale's labels that would overlap the one below (bottom up, so 0 always
// stays), and moves the unit label above the top number when they would overlap. labels are
// as make_ruler() gives them.
void thin_scale_labels(std::vector<ruler_label>& labels);

// scale: pixels per millimetre of the imaged object in the picture's own pixels.
void burn_scale_bar(cv::Mat& grey, double scale);
