#pragma once
// run_comparison: two recorded runs over the same train, stepped together, without a window.
//
// The first run is browsed frame by frame; the second shows its first stored frame at or after
// the first run's count plus `offset` (in odometer counts), so both step together by
// odometer distance. find_offset() looks for the offset by matching the current frame of the
// first run against the second run's frames within a window of counts; the operator can then
// nudge it by hand. Each shown pair is lined up: the remaining shift within the frame is
// measured (coarse on reduced copies, then to within a pixel on the decoded pictures) and the
// second picture moved by it, but only when the two match (match strength at least
// same_place_match); otherwise the pair is shown as it is and said not to match.
// As the runs drift apart (the odometers slip differently), the offset is looked for again
// near where it was whenever the match falls below that or the shift grows beyond a
// sixteenth of the frame, so the same place stays paired while stepping.
//
// Both databases are only read (database_reader), never written.
// Ownership: owns both readers, so both databases stay open for reading while it exists
// (other readers are not kept out; given the pool, they share its handles).
// Errors: the constructor throws what database_reader throws (std::runtime_error with
// LevelDB's text) when either database cannot be opened.
// Thread safety: one thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "viewer/frame_browser.h"

class database_reader;
class reader_pool;

class run_comparison {
public:
    // readers: the process's shared read handles; null: read handles of their own.
    run_comparison(const std::wstring& first, const std::wstring& second, reader_pool* readers = nullptr);
    ~run_comparison();

    frame_browser& first() { return first_; }
    std::optional<std::uint32_t> count() const { return first_.current_count(); }
    // The second run's shown count (at or after count + offset); nothing when it has none there.
    std::optional<std::uint32_t> second_count() const;

    std::int64_t offset() const { return offset_; }
    void set_offset(std::int64_t offset) { offset_ = offset; }
    // Searches the second run's frames within `window` counts of count + offset for the one
    // showing what the first run's current frame shows; true (offset set) when one matched
    // (match strength at least same_place_match). best_match(): the strength of the best
    // candidate of the last search, whether or not it was taken.
    bool find_offset(std::uint32_t window = 150);
    double best_match() const { return best_match_; }

    // Steps of the first run (the second follows): n frames on (negative: back), stopping at
    // the ends.
    void step(long frames);

    struct pair {
        cv::Mat first, second;  // grey; second moved onto first; either may be empty
        int reduction = 1;      // both decoded reduced by this much
        cv::Mat differences;    // CV_8U mask over the reduced pair, 255 where they differ (only when asked)
        cv::Point shift;        // how far the second picture was moved, in full-size pixels (0 when not matched)
        double match = 0;       // match strength after lining up, 0 .. 1
        bool matched = false;   // match >= same_place_match: the pair shows one place
        int differing = 0;      // marked pixels of the mask (decoded pixels)
    };
    // Decodes (reduced by `reduction`: 1, 2 or 4) and lines up the current pair, first
    // following a drift of the offset (see above); with differences, also marks them at the
    // decoded resolution (whole pixels when decoded whole).
    pair current(bool differences, int reduction = 1);

private:
    // The second run's frames within a few frame gaps of count + offset: the offset of the one
    // that matches the current first frame best, taken when it matches. True when taken.
    bool follow();

    frame_browser first_;
    std::unique_ptr<database_reader> second_;
    std::int64_t offset_ = 0;
    double best_match_ = 0;
    cv::Mat first_grey_, second_grey_;  // decoding buffers, reused
};
