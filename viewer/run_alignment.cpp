#include "viewer/run_alignment.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int match_reduction(int width) {
    for (int r : {8, 4, 2})
        if (width / r >= 160) return r;
    return 1;
}

int decode_reduction(double zoom) {
    if (zoom <= 0.25) return 4;
    if (zoom <= 0.5) return 2;
    return 1;
}

cv::Mat decode_grey(const std::string& jpeg, int reduction) {
    if (jpeg.empty()) return {};
    const int flag = reduction >= 8   ? cv::IMREAD_REDUCED_GRAYSCALE_8
                     : reduction >= 4 ? cv::IMREAD_REDUCED_GRAYSCALE_4
                     : reduction >= 2 ? cv::IMREAD_REDUCED_GRAYSCALE_2
                                      : cv::IMREAD_GRAYSCALE;
    const cv::Mat buffer(1, static_cast<int>(jpeg.size()), CV_8UC1, const_cast<char*>(jpeg.data()));
    try {
        return cv::imdecode(buffer, flag);
    } catch (const cv::Exception&) {
        return {};
    }
}

cv::Mat match_image(const std::string& jpeg, int reduction) {
    const cv::Mat grey = decode_grey(jpeg, reduction);
    if (grey.empty()) return {};
    cv::Mat out;
    grey.convertTo(out, CV_32F);
    return out;
}

cv::Mat match_image(const cv::Mat& frame, int reduction) {
    if (frame.empty()) return {};
    cv::Mat grey = frame;
    if (frame.channels() == 3) cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    cv::Mat small = grey;
    if (reduction > 1)
        cv::resize(grey, small, cv::Size(grey.cols / reduction, grey.rows / reduction), 0, 0, cv::INTER_AREA);
    cv::Mat out;
    small.convertTo(out, CV_32F);
    return out;
}

frame_shift measure_shift(const cv::Mat& reference, const cv::Mat& other) {
    if (reference.empty() || other.empty() || reference.size() != other.size() || reference.type() != CV_32F ||
        other.type() != CV_32F)
        return {};
    cv::Mat window;
    cv::createHanningWindow(window, reference.size(), CV_32F);
    // Windowed copies: given the window itself, phaseCorrelate multiplies it into its inputs
    // in place when their sizes need no padding, spoiling the caller's images.
    const cv::Mat a = reference.mul(window), b = other.mul(window);
    frame_shift out;
    out.shift = cv::phaseCorrelate(a, b, cv::noArray(), &out.response);
    if (!std::isfinite(out.response) || !std::isfinite(out.shift.x) || !std::isfinite(out.shift.y)) return {};
    return out;
}

std::optional<count_match> find_count_offset(const cv::Mat& reference, std::uint32_t reference_count,
                                             const std::vector<std::pair<std::uint32_t, cv::Mat>>& candidates) {
    // The peak is highest where the two frames overlap most.
    std::optional<count_match> best;
    const cv::Mat* best_image = nullptr;
    for (const auto& [count, image] : candidates) {
        const frame_shift s = measure_shift(reference, image);
        if (s.response <= 0) continue;
        if (!best || s.response > best->shift.response) {
            best = count_match{static_cast<std::int64_t>(count) - static_cast<std::int64_t>(reference_count), s};
            best_image = &image;
        }
    }
    if (best) best->match = match_strength(reference, *best_image, best->shift.shift);
    return best;
}

std::optional<count_match> find_nearest_count(const cv::Mat& reference, std::uint32_t reference_count,
                                              const std::vector<std::pair<std::uint32_t, cv::Mat>>& candidates) {
    std::optional<count_match> best;
    for (const auto& [count, image] : candidates) {
        const frame_shift s = measure_shift(reference, image);
        if (s.response <= 0) continue;
        const double match = match_strength(reference, image, s.shift);
        if (match < same_place_match) continue;
        if (!best || std::hypot(s.shift.x, s.shift.y) < std::hypot(best->shift.shift.x, best->shift.shift.y))
            best = count_match{static_cast<std::int64_t>(count) - static_cast<std::int64_t>(reference_count), s, match};
    }
    return best;
}

cv::Mat shift_picture(const cv::Mat& picture, int dx, int dy) {
    cv::Mat out(picture.size(), picture.type(), cv::Scalar::all(0));
    const cv::Rect whole(0, 0, picture.cols, picture.rows);
    const cv::Rect to = whole & cv::Rect(dx, dy, picture.cols, picture.rows);
    if (to.empty()) return out;
    picture(to - cv::Point(dx, dy)).copyTo(out(to));
    return out;
}

lined_up line_up(const cv::Mat& other, cv::Point2d shift, int margin) {
    lined_up out;
    if (other.empty()) return out;
    // out(x) = other(x + shift): the content the reference shows at x.
    const cv::Mat move = (cv::Mat_<double>(2, 3) << 1, 0, -shift.x, 0, 1, -shift.y);
    cv::warpAffine(other, out.picture, move, other.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    const int x0 = static_cast<int>(std::ceil(-shift.x)) + margin, y0 = static_cast<int>(std::ceil(-shift.y)) + margin;
    const int x1 = static_cast<int>(std::floor(other.cols - 1 - shift.x)) - margin;
    const int y1 = static_cast<int>(std::floor(other.rows - 1 - shift.y)) - margin;
    out.valid = cv::Mat(other.size(), CV_8U, cv::Scalar(0));
    const cv::Rect inside = cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1) & cv::Rect(0, 0, other.cols, other.rows);
    if (x1 >= x0 && y1 >= y0 && !inside.empty()) out.valid(inside).setTo(255);
    return out;
}

double match_strength(const cv::Mat& reference, const cv::Mat& other, cv::Point2d shift) {
    if (reference.empty() || reference.size() != other.size() || reference.type() != CV_32F || other.type() != CV_32F)
        return 0;
    const lined_up moved = line_up(other, shift, 1);
    if (cv::countNonZero(moved.valid) < static_cast<int>(reference.total() / 4)) return 0;
    const cv::Rect overlap = cv::boundingRect(moved.valid);
    // What every place of a train shows alike along the travel (long beams, rails, the
    // lighting's bands) says nothing about which place this is: each row's mean over the
    // overlap goes, so two different places of one train or of two trains do not "match" by
    // their shared rows alone.
    cv::Mat a = reference(overlap).clone(), b = moved.picture(overlap).clone();
    cv::Mat row_mean;
    cv::reduce(a, row_mean, 1, cv::REDUCE_AVG);
    a -= cv::repeat(row_mean, 1, a.cols);
    cv::reduce(b, row_mean, 1, cv::REDUCE_AVG);
    b -= cv::repeat(row_mean, 1, b.cols);
    cv::Scalar mean_a, dev_a, mean_b, dev_b;
    cv::meanStdDev(a, mean_a, dev_a);
    cv::meanStdDev(b, mean_b, dev_b);
    if (dev_a[0] < 0.5 || dev_b[0] < 0.5) return 0;  // a flat frame matches anything
    const double covariance = cv::mean((a - mean_a[0]).mul(b - mean_b[0]))[0];
    return std::clamp(covariance / (dev_a[0] * dev_b[0]), 0.0, 1.0);
}

frame_shift refine_shift(const cv::Mat& reference, const cv::Mat& other, cv::Point2d coarse, int radius) {
    frame_shift out{coarse, 0};
    if (reference.empty() || reference.size() != other.size() || reference.type() != other.type() || radius < 1 ||
        (reference.depth() != CV_8U && reference.depth() != CV_32F) || reference.channels() != 1)
        return out;
    const int w = reference.cols, h = reference.rows;
    const int cx = static_cast<int>(std::lround(coarse.x)), cy = static_cast<int>(std::lround(coarse.y));
    const int pw = std::min(384, w / 3), ph = std::min(384, h / 3);
    // The patch and its search area must lie inside both frames.
    const int x_lo = std::max(0, radius - cx), x_hi = std::min(w - pw, w - pw - cx - radius);
    const int y_lo = std::max(0, radius - cy), y_hi = std::min(h - ph, h - ph - cy - radius);
    if (pw < 16 || ph < 16 || x_lo > x_hi || y_lo > y_hi) return out;
    // Of nine places spread over the frame, the most textured patch: a flat one has no peak.
    cv::Point best_place;
    double best_dev = -1;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const cv::Point p(x_lo + (x_hi - x_lo) * (2 * i + 1) / 6, y_lo + (y_hi - y_lo) * (2 * j + 1) / 6);
            cv::Scalar mean, dev;
            cv::meanStdDev(reference(cv::Rect(p.x, p.y, pw, ph)), mean, dev);
            if (dev[0] > best_dev) best_dev = dev[0], best_place = p;
        }
    if (best_dev < 0.5) return out;
    const cv::Mat patch = reference(cv::Rect(best_place.x, best_place.y, pw, ph));
    const cv::Rect search(best_place.x + cx - radius, best_place.y + cy - radius, pw + 2 * radius, ph + 2 * radius);
    cv::Mat scores;
    cv::matchTemplate(other(search), patch, scores, cv::TM_CCOEFF_NORMED);
    double peak = 0;
    cv::Point at;
    cv::minMaxLoc(scores, nullptr, &peak, nullptr, &at);
    if (!std::isfinite(peak)) return out;
    // A parabola through the peak and its neighbours places it between pixels.
    const auto between = [](float left, float centre, float right) {
        const double curve = left - 2.0 * centre + right;
        return curve < 0 ? std::clamp(0.5 * (left - right) / curve, -0.5, 0.5) : 0.0;
    };
    double sx = 0, sy = 0;
    if (at.x > 0 && at.x < scores.cols - 1)
        sx = between(scores.at<float>(at.y, at.x - 1), scores.at<float>(at), scores.at<float>(at.y, at.x + 1));
    if (at.y > 0 && at.y < scores.rows - 1)
        sy = between(scores.at<float>(at.y - 1, at.x), scores.at<float>(at), scores.at<float>(at.y + 1, at.x));
    out.shift = cv::Point2d(cx - radius + at.x + sx, cy - radius + at.y + sy);
    out.response = std::clamp(peak, 0.0, 1.0);
    return out;
}

cv::Mat difference_mask(const cv::Mat& first, const cv::Mat& second, const cv::Mat& valid) {
    if (first.empty() || first.size() != second.size()) return {};
    cv::Mat a, b;
    first.convertTo(a, CV_32F);
    second.convertTo(b, CV_32F);
    // Smoothing first: single-pixel noise and JPEG ringing are not differences.
    cv::GaussianBlur(a, a, cv::Size(5, 5), 0);
    cv::GaussianBlur(b, b, cv::Size(5, 5), 0);
    // The typical (median) plain difference stands for the noise, sampled on every third
    // pixel of every third row: a full frame's worth would only cost time.
    std::vector<float> sample;
    sample.reserve(a.total() / 9 + 1);
    for (int y = 0; y < a.rows; y += 3) {
        const float* pa = a.ptr<float>(y);
        const float* pb = b.ptr<float>(y);
        const uchar* keep = valid.empty() ? nullptr : valid.ptr<uchar>(y);
        for (int x = 0; x < a.cols; x += 3)
            if (!keep || keep[x]) sample.push_back(std::abs(pa[x] - pb[x]));
    }
    if (sample.empty()) return cv::Mat(first.size(), CV_8U, cv::Scalar(0));
    const auto middle = sample.begin() + static_cast<long>(sample.size() / 2);
    std::nth_element(sample.begin(), middle, sample.end());
    const double threshold = std::max(12.0, 6.0 * *middle);
    // A pixel differs only outside the other's range over its neighbours (both ways): what
    // is left of the shift moves an edge by under a pixel and stays within that range.
    const cv::Mat near = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    cv::Mat a_max, a_min, b_max, b_min;
    cv::dilate(a, a_max, near);
    cv::erode(a, a_min, near);
    cv::dilate(b, b_max, near);
    cv::erode(b, b_min, near);
    cv::Mat diff, other_way;
    cv::max(cv::Mat(a - b_max), cv::Mat(b_min - a), diff);
    cv::max(cv::Mat(b - a_max), cv::Mat(a_min - b), other_way);
    cv::max(diff, other_way, diff);
    cv::Mat mask;
    cv::threshold(diff, mask, threshold, 255, cv::THRESH_BINARY);
    mask.convertTo(mask, CV_8U);
    if (!valid.empty()) mask &= valid;
    cv::morphologyEx(mask, mask, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3)));
    return mask;
}

bool side_by_side(cv::Size area, cv::Size picture) {
    if (area.width <= 0 || area.height <= 0 || picture.width <= 0 || picture.height <= 0) return true;
    // Pictures are not enlarged: beyond 1:1 both arrangements are as good, and side by side wins.
    const auto fit = [&](double w, double h) { return std::min({1.0, w / picture.width, h / picture.height}); };
    return fit(area.width / 2.0, area.height) >= fit(area.width, area.height / 2.0);
}
