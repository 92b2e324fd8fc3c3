#include "viewer/run_comparison.h"

#include "base/thread_name.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "database/database_layout.h"
#include "database/database_reader.h"
#include "database/reader_pool.h"
#include "viewer/run_alignment.h"

namespace {

std::uint32_t clamp_count(std::int64_t c) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(c, 0, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

run_comparison::run_comparison(const std::wstring& first, const std::wstring& second, reader_pool* readers)
    : first_(first, readers),
      second_(readers ? readers->open_reader(second) : std::make_unique<database_reader>(second)) {}

run_comparison::~run_comparison() = default;

std::optional<std::uint32_t> run_comparison::second_count() const {
    const auto c = count();
    if (!c) return std::nullopt;
    second_->seek(clamp_count(static_cast<std::int64_t>(*c) + offset_));
    const std::string key = second_->current_key();
    if (!is_frame_key(key)) return std::nullopt;
    return parse_count(key);
}

bool run_comparison::find_offset(std::uint32_t window) {
    const auto c = count();
    if (!c) return false;
    const std::string reference_bytes = first_.current_bytes();
    const cv::Mat full = decode_grey(reference_bytes, 1);
    if (full.empty()) return false;
    const std::int64_t centre = static_cast<std::int64_t>(*c) + offset_;
    // Each candidate is kept only as its small picture: a window of whole frames would be
    // hundreds of megabytes.
    const auto search = [&](int r, std::int64_t from, std::int64_t to) {
        const cv::Mat ref = match_image(reference_bytes, r);
        std::vector<std::pair<std::uint32_t, cv::Mat>> candidates;
        second_->each_stored(clamp_count(from), clamp_count(to), [&](std::uint32_t count, const std::string& bytes) {
            cv::Mat small = match_image(bytes, r);
            if (small.size() == ref.size()) candidates.emplace_back(count, std::move(small));
        });
        return find_count_offset(ref, *c, candidates);
    };
    // Coarse over the whole window, then the neighbours of the best at four times the detail:
    // a count's travel may be only a pixel or two in the coarse pictures.
    const int reduction = match_reduction(full.cols);
    auto found = search(reduction, centre - window, centre + window);
    if (!found) return false;
    if (reduction > 1) {
        const std::int64_t best = static_cast<std::int64_t>(*c) + found->offset;
        if (auto fine = search(std::max(1, reduction / 4), best - 2, best + 2)) found = fine;
    }
    offset_ = found->offset;
    return true;
}

void run_comparison::step(long frames) {
    for (long i = 0; i < std::labs(frames); ++i)
        if (!(frames > 0 ? first_.next() : first_.previous())) break;
}

run_comparison::pair run_comparison::current(bool differences, int reduction) {
    pair out;
    out.reduction = reduction;
    std::string second_bytes;
    if (second_count()) second_bytes = second_->current_bytes();
    // The two decodes are most of a step; the second runs beside the first.
    auto second = std::async(std::launch::async, [&] {
        name_this_thread("qm-compare");
        second_grey_ = decode_grey(second_bytes, reduction);
    });
    first_grey_ = decode_grey(first_.current_bytes(), reduction);
    second.get();
    out.first = first_grey_;
    out.second = second_grey_;
    if (first_grey_.empty() || second_grey_.empty() || first_grey_.size() != second_grey_.size()) return out;

    // Matched at the same reduction whatever the decoding's, so the shift is measured alike.
    const int r = match_reduction(first_grey_.cols * reduction);
    const int further = std::max(1, r / reduction);
    const cv::Mat a = match_image(first_grey_, further), b = match_image(second_grey_, further);
    const frame_shift s = measure_shift(a, b);
    // A weak peak is no measurement: leave the picture where it is rather than move it at random.
    const cv::Point small_shift = s.response > 0.05 ? cv::Point(static_cast<int>(std::lround(s.shift.x)),
                                                                static_cast<int>(std::lround(s.shift.y)))
                                                    : cv::Point();
    out.shift = small_shift * (further * reduction);
    out.second = shift_picture(second_grey_, -small_shift.x * further, -small_shift.y * further);
    if (!differences) return out;
    const cv::Mat b_lined = shift_picture(b, -small_shift.x, -small_shift.y);
    // Where the move brought in nothing, there is nothing to compare (with a margin for the blur).
    cv::Mat valid = shift_picture(cv::Mat(b.size(), CV_8U, cv::Scalar(255)), -small_shift.x, -small_shift.y);
    cv::erode(valid, valid, cv::Mat(), cv::Point(-1, -1), 3);
    out.differences = difference_mask(a, b_lined, valid);
    out.differing = cv::countNonZero(out.differences);
    return out;
}
