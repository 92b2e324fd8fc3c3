#pragma once
// run_comparison: two recorded runs over the same train, stepped together, without a window.
//
// The first run is browsed frame by frame; the second shows its first stored frame at or after
// the first run's count plus `offset` (in odometer counts), so both step together by
// odometer distance. find_offset() looks for the offset by matching the current frame of the
// first run against the second run's frames within a window of counts; the operator can then
// nudge it by hand. Each shown pair is lined up: the remaining shift within the frame is
// measured and the second picture moved by it.
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
    // showing what the first run's current frame shows; true (offset set) when one matched.
    bool find_offset(std::uint32_t window = 150);

    // Steps of the first run (the second follows): n frames on (negative: back), stopping at
    // the ends.
    void step(long frames);

    struct pair {
        cv::Mat first, second;  // grey; second moved onto first; either may be empty
        int reduction = 1;      // both decoded reduced by this much
        cv::Mat differences;    // CV_8U mask over the reduced pair, 255 where they differ (only when asked)
        cv::Point shift;        // how far the second picture was moved, in pixels
        int differing = 0;      // marked pixels of the reduced mask
    };
    // Decodes (reduced by `reduction`: 1, 2 or 4) and lines up the current pair; with
    // differences, also marks them.
    pair current(bool differences, int reduction = 1);

private:
    frame_browser first_;
    std::unique_ptr<database_reader> second_;
    std::int64_t offset_ = 0;
    cv::Mat first_grey_, second_grey_;  // decoding buffers, reused
};
