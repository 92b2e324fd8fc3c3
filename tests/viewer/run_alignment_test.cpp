#include "viewer/run_alignment.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "tests/viewer/synthetic_runs.h"

namespace {

std::string jpeg(const cv::Mat& grey) {
    std::vector<unsigned char> bytes;
    cv::imencode(".jpeg", grey, bytes, {cv::IMWRITE_JPEG_QUALITY, 85});
    return std::string(bytes.begin(), bytes.end());
}

TEST(run_alignment, finds_a_second_run_37_counts_later_and_a_few_pixels_aside_within_one_count) {
    // 640 x 400 frames, 12 pixels of travel a count; the second run's frame at c + 37 shows
    // what the first run's frame at c shows, moved by (5, -3), both with their own noise.
    const synthetic_runs::strip s(640, 400, 260, 12);
    cv::RNG noise_a(1), noise_b(2);
    const int reduction = match_reduction(640);
    EXPECT_EQ(reduction, 4);
    for (const std::uint32_t at : {1020u, 1100u, 1150u}) {
        SCOPED_TRACE(at);
        const cv::Mat reference = match_image(jpeg(s.frame(static_cast<int>(at - 1000), 0, 0, 4, noise_a)), reduction);
        ASSERT_FALSE(reference.empty());
        // Candidates: the second run's frames within 100 counts of `at`; its count c shows
        // strip index c - 1037.
        std::vector<std::pair<std::uint32_t, cv::Mat>> candidates;
        for (std::uint32_t c = at - 100; c <= at + 100; ++c) {
            const int index = static_cast<int>(c) - 1037;
            if (index < 0 || index >= 250) continue;
            candidates.emplace_back(c, match_image(jpeg(s.frame(index, 5, -3, 4, noise_b)), reduction));
        }
        const auto found = find_count_offset(reference, at, candidates);
        ASSERT_TRUE(found);
        EXPECT_NEAR(static_cast<double>(found->offset), 37, 1);
        if (found->offset == 37) {  // the remaining shift, in reduced pixels
            EXPECT_NEAR(found->shift.shift.x * reduction, 5, 2);
            EXPECT_NEAR(found->shift.shift.y * reduction, -3, 2);
        }
    }
    EXPECT_FALSE(find_count_offset(match_image(jpeg(s.frame(0, 0, 0, 0, noise_a)), 4), 1000, {}));
    EXPECT_TRUE(match_image(std::string("not a jpeg"), 4).empty());
}

TEST(run_alignment, the_shift_moves_the_second_picture_onto_the_first) {
    const synthetic_runs::strip s(320, 240, 4, 10);
    cv::RNG rng(3);
    const cv::Mat a = s.frame(1, 0, 0, 0, rng), b = s.frame(1, 6, 4, 0, rng);
    const frame_shift shift = measure_shift(match_image(a, 1), match_image(b, 1));
    EXPECT_NEAR(shift.shift.x, 6, 0.5);
    EXPECT_NEAR(shift.shift.y, 4, 0.5);
    EXPECT_GT(shift.response, 0.3);
    const cv::Mat back = shift_picture(b, -6, -4);
    EXPECT_EQ(cv::norm(back(cv::Rect(0, 0, 300, 220)), a(cv::Rect(0, 0, 300, 220)), cv::NORM_INF), 0);
    EXPECT_EQ(back.at<uchar>(239, 319), 0) << "what comes in from outside is black";
    EXPECT_EQ(measure_shift(match_image(a, 1), match_image(b, 2)).response, 0) << "sizes differ";
}

TEST(run_alignment, the_difference_marks_an_added_object_and_nothing_on_noise_alone) {
    const synthetic_runs::strip s(640, 400, 4, 10);
    cv::RNG n1(5), n2(6);
    const cv::Mat noisy_a = s.frame(2, 0, 0, 5, n1), noisy_b = s.frame(2, 0, 0, 5, n2);
    const int r = match_reduction(640);
    // Through JPEG, as stored.
    auto small = [&](const cv::Mat& m) { return match_image(jpeg(m), r); };
    const cv::Mat quiet = difference_mask(small(noisy_a), small(noisy_b));
    ASSERT_FALSE(quiet.empty());
    EXPECT_EQ(cv::countNonZero(quiet), 0) << "noise marked as a difference";

    // A hanging cable: a dark bar of 60 x 14 pixels added to the second frame only.
    cv::Mat with_object = noisy_b.clone();
    cv::rectangle(with_object, cv::Rect(400, 200, 60, 14), cv::Scalar(10), cv::FILLED);
    const cv::Mat marked = difference_mask(small(noisy_a), small(with_object));
    const int marked_pixels = cv::countNonZero(marked);
    EXPECT_GT(marked_pixels, 0);
    cv::Mat outside = marked.clone();
    outside(cv::Rect(400 / r - 2, 200 / r - 2, 60 / r + 4, 14 / r + 4)).setTo(0);
    EXPECT_EQ(cv::countNonZero(outside), 0) << "marks away from the object";

    // Where the shift left no overlap, nothing is marked.
    cv::Mat valid(marked.size(), CV_8U, cv::Scalar(255));
    valid(cv::Rect(marked.cols / 2, 0, marked.cols - marked.cols / 2, marked.rows)).setTo(0);
    EXPECT_EQ(cv::countNonZero(difference_mask(small(noisy_a), small(with_object), valid)), 0);
}

TEST(run_alignment, two_frames_go_side_by_side_unless_stacking_shows_them_larger) {
    EXPECT_TRUE(side_by_side({2400, 800}, {1920, 1200}));
    EXPECT_FALSE(side_by_side({1200, 1600}, {1920, 1200}));
    EXPECT_FALSE(side_by_side({1280, 1000}, {1920, 1200}));  // 1280 wide: stacked is larger
    EXPECT_TRUE(side_by_side({0, 0}, {1920, 1200}));
    EXPECT_TRUE(side_by_side({1320, 900}, {640, 400}));  // 1:1 either way
}

}  // namespace
