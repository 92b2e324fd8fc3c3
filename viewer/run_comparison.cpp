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
    best_match_ = found ? found->match : 0;
    // Unrelated runs have a best candidate too; only one that matches is an offset.
    if (!found || found->match < same_place_match) return false;
    if (reduction > 1) {
        const std::int64_t best = static_cast<std::int64_t>(*c) + found->offset;
        if (auto fine = search(std::max(1, reduction / 4), best - 2, best + 2); fine && fine->match >= same_place_match)
            found = fine;
    }
    offset_ = found->offset;
    return true;
}

bool run_comparison::follow() {
    const auto c = count();
    const auto c2 = second_count();
    if (!c || !c2) return false;
    // A few of the second run's frame gaps either way, however densely it stored frames.
    std::int64_t gap = 1;
    second_->seek(*c2 + 1);
    if (const std::string key = second_->current_key(); is_frame_key(key))
        gap = std::max<std::int64_t>(1, parse_count(key) - *c2);
    const std::int64_t window = std::clamp<std::int64_t>(6 * gap, 6, 5000);
    const std::string reference_bytes = first_.current_bytes();
    const cv::Mat probe = decode_grey(reference_bytes, 8);
    if (probe.empty()) return false;
    const int r = match_reduction(probe.cols * 8);
    const cv::Mat ref = match_image(reference_bytes, r);
    std::vector<std::pair<std::uint32_t, cv::Mat>> candidates;
    const std::int64_t centre = static_cast<std::int64_t>(*c) + offset_;
    second_->each_stored(clamp_count(centre - window), clamp_count(centre + window),
                         [&](std::uint32_t count, const std::string& bytes) {
                             cv::Mat small = match_image(bytes, r);
                             if (small.size() == ref.size()) candidates.emplace_back(count, std::move(small));
                         });
    const auto found = find_nearest_count(ref, *c, candidates);
    if (!found || found->offset == offset_) return false;
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
    const auto decode_second = [&] {
        std::string bytes;
        if (second_count()) bytes = second_->current_bytes();
        return bytes;
    };
    std::string second_bytes = decode_second();
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

    // Coarse on copies reduced alike whatever the decoding's, then to within a pixel on the
    // decoded pictures near that.
    const int r = match_reduction(first_grey_.cols * reduction);
    const int further = std::max(1, r / reduction);
    const cv::Mat a = match_image(first_grey_, further);
    cv::Mat b;
    frame_shift fine;
    const auto measure = [&] {
        b = match_image(second_grey_, further);
        const frame_shift coarse = measure_shift(a, b);
        fine = refine_shift(first_grey_, second_grey_, coarse.shift * further, further + 2);
        out.match = match_strength(a, b, fine.shift / further);
    };
    measure();
    const bool drifted = out.match < same_place_match || std::abs(fine.shift.x) > first_grey_.cols / 16.0 ||
                         std::abs(fine.shift.y) > first_grey_.rows / 16.0;
    if (drifted && follow()) {
        second_bytes = decode_second();
        second_grey_ = decode_grey(second_bytes, reduction);
        out.second = second_grey_;
        if (second_grey_.size() != first_grey_.size()) return out;
        measure();
    }
    out.matched = out.match >= same_place_match;
    // Frames of different places: moving one onto the other would only mislead.
    if (!out.matched) return out;
    const cv::Point moved(static_cast<int>(std::lround(fine.shift.x)), static_cast<int>(std::lround(fine.shift.y)));
    out.shift = cv::Point(static_cast<int>(std::lround(fine.shift.x * reduction)),
                          static_cast<int>(std::lround(fine.shift.y * reduction)));
    out.second = shift_picture(second_grey_, -moved.x, -moved.y);
    if (!differences) return out;
    // Where the move brought in nothing, there is nothing to compare (with a margin for the blur).
    const lined_up lined = line_up(second_grey_, fine.shift, 3);
    out.differences = difference_mask(first_grey_, lined.picture, lined.valid);
    out.differing = cv::countNonZero(out.differences);
    return out;
}
