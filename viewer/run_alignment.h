#pragma once
// Lining up two runs over the same train, as plain image arithmetic (no window, no database):
// which frame of the second run shows what a frame of the first shows (the offset in
// odometer counts), how far the picture is still shifted within that frame, and where the
// two lined-up frames differ by more than their noise.
//
// Matching works on small grey copies (a JPEG decodes reduced by 2, 4 or 8 at a fraction of
// a full decode's cost): phase correlation of the reference against each candidate; the
// candidate with the highest peak overlaps the reference most, and the peak's place is the
// shift that remains within the frame.
// Plain functions; any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

// The reduction (1, 2, 4 or 8) that leaves a frame of this width at least 160 pixels wide.
int match_reduction(int width);

// How much a frame shown at this zoom may be reduced in decoding (1, 2 or 4) and still give
// a screen pixel at least one picture pixel.
int decode_reduction(double zoom);

// A stored JPEG decoded grey (CV_8U), reduced by `reduction` (1, 2, 4 or 8) in the decoder;
// empty when the bytes are not an image.
cv::Mat decode_grey(const std::string& jpeg, int reduction);

// A stored JPEG decoded grey, reduced by `reduction` (1, 2, 4 or 8), as CV_32F; empty when
// the bytes are not an image.
cv::Mat match_image(const std::string& jpeg, int reduction);
// A grey or BGR frame reduced by `reduction` (area average), as CV_32F.
cv::Mat match_image(const cv::Mat& frame, int reduction);

struct frame_shift {
    cv::Point2d shift;    // where the reference's content lies in the other, in pixels of the inputs
    double response = 0;  // phase correlation peak, 0 .. 1
};

// The shift of `other` against `reference` (same size, CV_32F); response 0 when the sizes
// differ or either is empty.
frame_shift measure_shift(const cv::Mat& reference, const cv::Mat& other);

struct count_match {
    std::int64_t offset = 0;  // second run's count minus first run's
    frame_shift shift;        // remaining shift, in the small images' pixels
    double match = 0;         // match_strength of the pair after that shift
};

// Among candidates (count, small image) of the second run, the one that shows what the first
// run's `reference` (small image of the frame at reference_count) shows: the highest
// correlation peak (and its match strength, which says whether it shows the same place at
// all); nothing when there is no candidate or none correlates at all.
std::optional<count_match> find_count_offset(const cv::Mat& reference, std::uint32_t reference_count,
                                             const std::vector<std::pair<std::uint32_t, cv::Mat>>& candidates);

// Among candidates as above, the one showing the same place (match strength at least
// same_place_match) with the least shift left: where frames overlap heavily, several match,
// and the highest peak may go to a neighbour merely because the right frame has changed.
// Nothing when none matches.
std::optional<count_match> find_nearest_count(const cv::Mat& reference, std::uint32_t reference_count,
                                              const std::vector<std::pair<std::uint32_t, cv::Mat>>& candidates);

// The picture moved by (dx, dy) whole pixels; what comes in from outside is black.
cv::Mat shift_picture(const cv::Mat& picture, int dx, int dy);

// Below this match strength two frames do not show the same place. Frames of one place in two
// runs (own sensor noise, JPEG, a changed part) measure 0.8 and more; frames of unrelated
// places 0.3 and less; halfway leaves room on both sides, and a change covering a third of the
// frame still leaves a pair above it.
constexpr double same_place_match = 0.5;

// How alike two frames are once `other` is moved back by `shift` (pixels of these images):
// the normalised cross-correlation of the overlap once each row's mean is taken away (what a
// train shows alike all along its length, such as long beams, tells no place from another),
// 0 .. 1 (negative counts as 0). Invariant to brightness and contrast; 0 when the overlap is
// under a quarter of the frame or flat.
// Both CV_32F, same size; small copies are enough.
double match_strength(const cv::Mat& reference, const cv::Mat& other, cv::Point2d shift);

// The shift of `other` against `reference` to within a pixel (sub-pixel from the peak's
// neighbours), near `coarse` (from measure_shift on reduced copies, scaled up): a textured
// patch of the reference is looked for within `radius` pixels of `coarse`. Grey, CV_8U or
// CV_32F, same size (full resolution or as decoded). response: the patch's normalised
// correlation at the best place, 0 .. 1; 0 (and shift = coarse) when nothing could be measured.
frame_shift refine_shift(const cv::Mat& reference, const cv::Mat& other, cv::Point2d coarse, int radius);

// Where two lined-up grey images (same size, CV_8U or CV_32F) differ beyond their noise: a
// CV_8U mask, 255 where they differ. The noise is estimated from the images themselves (the
// typical difference), so a pair differing only by sensor noise and JPEG artefacts marks
// nothing; a pixel counts only when it lies outside the other's range over its neighbours, so
// what remains of the shift (under a pixel) marks no edge; specks smaller than a few pixels are
// dropped. `valid` (optional, CV_8U) limits it to where both images have content.
cv::Mat difference_mask(const cv::Mat& first, const cv::Mat& second, const cv::Mat& valid = cv::Mat());

// `other` moved back by `shift` (sub-pixel, bilinear) onto `reference`'s place, and where it
// has content (CV_8U, 255; eroded by `margin` so interpolation and blur at the border count
// for nothing).
struct lined_up {
    cv::Mat picture, valid;
};
lined_up line_up(const cv::Mat& other, cv::Point2d shift, int margin);

// Whether two pictures of this size, in this area, show larger side by side than one above
// the other.
bool side_by_side(cv::Size area, cv::Size picture);
