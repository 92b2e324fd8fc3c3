#pragma once
// The viewer's millimetre ruler (the same geometry, at 1:1) burned into a grey picture near its
// bottom-left corner: the 0 to 100 mm vertical scale and the 75 mm bar, white on a dark rim
// so it reads on light and dark ground. Labels are digits and "мм" drawn as strokes (the
// built-in Hershey fonts have no Cyrillic). No state; safe from any thread.
#include <opencv2/core.hpp>

// scale: pixels per millimetre of the imaged object in the picture's own pixels.
void burn_scale_bar(cv::Mat& grey, double scale);
