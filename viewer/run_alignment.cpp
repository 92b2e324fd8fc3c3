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
    for (const auto& [count, image] : candidates) {
        const frame_shift s = measure_shift(reference, image);
        if (s.response <= 0) continue;
        if (!best || s.response > best->shift.response)
            best = count_match{static_cast<std::int64_t>(count) - static_cast<std::int64_t>(reference_count), s};
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

cv::Mat difference_mask(const cv::Mat& first, const cv::Mat& second, const cv::Mat& valid) {
    if (first.empty() || first.size() != second.size()) return {};
    cv::Mat a, b, diff;
    // Smoothing first: single-pixel noise and JPEG ringing are not differences.
    cv::GaussianBlur(first, a, cv::Size(5, 5), 0);
    cv::GaussianBlur(second, b, cv::Size(5, 5), 0);
    cv::absdiff(a, b, diff);
    // The typical (median) difference stands for the noise; differences a few times
    // above it, and above a floor for nearly noiseless pairs, count.
    cv::Mat flat = diff.reshape(1, 1).clone();
    if (!valid.empty()) {
        cv::Mat keep = valid.reshape(1, 1);
        std::vector<float> kept;
        kept.reserve(flat.total());
        for (int i = 0; i < flat.cols; ++i)
            if (keep.at<uchar>(0, i)) kept.push_back(flat.at<float>(0, i));
        flat = cv::Mat(kept, true).reshape(1, 1);
    }
    if (flat.empty()) return cv::Mat(first.size(), CV_8U, cv::Scalar(0));
    const auto middle = flat.begin<float>() + static_cast<long>(flat.total() / 2);
    std::nth_element(flat.begin<float>(), middle, flat.end<float>());
    const double threshold = std::max(12.0, 6.0 * *middle);
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
