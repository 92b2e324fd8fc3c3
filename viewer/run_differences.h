#pragma once
// run_differences: every place where two runs over the same train differ, found by walking
// them together (no window): the first run's frames in order, each paired with the second
// run's frame at or after its count plus the offset, the offset looked for near where it was
// whenever the pair stops matching or its shift grows beyond a sixteenth of the frame (the
// odometers drift apart over a run).
//
// Each pair is compared on copies decoded reduced (a JPEG decodes reduced for a fraction of a
// full decode), lined up to within a reduced pixel; only a pair marked there is decoded whole
// and compared again at full resolution, which decides whether it is listed and how large the
// change is. Pairs that do not match (match strength under same_place_match) are not
// differences: they are counted apart.
//
// Plain functions over database_reader's thread-safe lookups (each makes its own iterators),
// so the walk may run on any thread beside others reading the same databases. The callbacks
// run on the walking thread. Errors: std::runtime_error from the reader (LevelDB's text) ends
// the walk with status failed; write_differences throws std::runtime_error naming the file.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

class database_reader;

struct run_difference {
    std::uint32_t count_a = 0, count_b = 0;  // the pair, as stored in each run
    int dx = 0, dy = 0;                      // shift of the second frame against the first, full-size pixels
    double match = 0;                        // match strength of the lined-up pair, 0 .. 1
    long changed_px = 0;                     // marked pixels at full resolution
    cv::Mat thumbnail;                       // BGR, thumbnail_height high: first | second, changes in red
};

// Height of every thumbnail (both pictures side by side, a gap of 4 between).
constexpr int thumbnail_height = 64;

struct differences_control {
    const std::atomic<bool>* cancel = nullptr;  // checked before every pair
    // Share of the first run walked (0 .. 1) and the pairs compared so far; after every pair.
    std::function<void(double done, std::size_t pairs)> progress;
    // Each difference as soon as it is found (it is also in the outcome).
    std::function<void(const run_difference&)> found;
    // Where to look for the offset first (the comparison's current one); 0 when not given.
    std::int64_t offset_hint = 0;
    // Counts either side of the hint searched for the first pairing.
    std::uint32_t window = 150;
};

struct differences_outcome {
    enum class status { done, cancelled, not_matching, failed };
    status state = status::done;
    std::vector<run_difference> differences;
    std::int64_t offset = 0;    // the offset the walk started from (not_matching: the best candidate's)
    double best_match = 0;      // not_matching: the best candidate's strength
    std::size_t pairs = 0;      // pairs compared
    std::size_t unmatched = 0;  // first-run frames without a matching frame of the second
    std::string error;          // failed: why
};

differences_outcome find_run_differences(const database_reader& first, const database_reader& second,
                                         const differences_control& control);

// "runs do not match: best match 0.12 at offset +40" for a not_matching outcome.
std::string not_matching_text(const differences_outcome& outcome);

// A strength as text with a point (0.91) or a comma (0,91) as the decimal separator, two
// digits (csv: three), whatever the process's locale.
std::string match_text(double match, char separator, int digits = 2);

// The CSV's first line, "count_a,count_b,dx,dy,match,changed_px", and one row (no newline).
const char* differences_csv_header();
std::string differences_csv_row(const run_difference& d);

// Writes the list to csv_file and, beside it, each pair's frames as stored:
// <count_a>_a.jpg from the first run, <count_b>_b.jpg from the second. The CSV is written
// last, under a temporary name first, so a finished file means a finished export.
void write_differences(const std::filesystem::path& csv_file, const std::vector<run_difference>& differences,
                       const database_reader& first, const database_reader& second);
