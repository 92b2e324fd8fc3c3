#include "viewer/run_differences.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "database/database_reader.h"
#include "viewer/run_alignment.h"

namespace {

// Marked reduced pixels below this are specks, not worth a full decode.
constexpr int least_reduced_marks = 4;
// Marked full-size pixels below this are no difference to list.
constexpr long least_changed_px = 48;
// Frames of the second run either way searched when the pairing is lost.
constexpr std::ptrdiff_t follow_frames = 6;

std::uint32_t clamp_count(std::int64_t c) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(c, 0, std::numeric_limits<std::uint32_t>::max()));
}

// The reduction the walk compares at: at least 320 pixels wide, so a change of a few
// centimetres is still several reduced pixels.
int walk_reduction(int width) {
    for (int r : {4, 2})
        if (width / r >= 320) return r;
    return 1;
}

cv::Mat reduce(const cv::Mat& image, int by) {
    if (by <= 1) return image;
    cv::Mat out;
    cv::resize(image, out, cv::Size(image.cols / by, image.rows / by), 0, 0, cv::INTER_AREA);
    return out;
}

cv::Mat thumbnail(const cv::Mat& first, const cv::Mat& second, const cv::Mat& mask) {
    const int h = thumbnail_height;
    const int w = std::max(1, static_cast<int>(std::lround(static_cast<double>(first.cols) * h / first.rows)));
    cv::Mat out(h, 2 * w + 4, CV_8UC3, cv::Scalar::all(255));
    const auto put = [&](const cv::Mat& grey, int x) {
        cv::Mat small, bgr;
        cv::resize(grey, small, cv::Size(w, h), 0, 0, cv::INTER_AREA);
        small.convertTo(small, CV_8U);
        cv::cvtColor(small, bgr, cv::COLOR_GRAY2BGR);
        cv::Mat marks;
        cv::resize(mask, marks, cv::Size(w, h), 0, 0, cv::INTER_AREA);
        bgr.setTo(cv::Scalar(0, 0, 255), marks > 0);
        bgr.copyTo(out(cv::Rect(x, 0, w, h)));
    };
    put(first, 0);
    put(second, w + 4);
    return out;
}

struct walker {
    const database_reader& a;
    const database_reader& b;
    std::vector<std::uint32_t> b_counts;
    std::int64_t offset = 0;
    const std::atomic<bool>* cancel = nullptr;  // a window of candidates is a second's work

    // Index in b_counts of the frame at or after count + offset; size() when none.
    std::size_t paired(std::uint32_t count) const {
        const std::uint32_t want = clamp_count(static_cast<std::int64_t>(count) + offset);
        return static_cast<std::size_t>(std::lower_bound(b_counts.begin(), b_counts.end(), want) - b_counts.begin());
    }

    cv::Mat small(std::uint32_t count, int r) const {
        const auto bytes = b.read_stored(count);
        return bytes ? match_image(*bytes, r) : cv::Mat();
    }

    // Of the second run's frames with indices [from, to), the one for `reference` (at count):
    // nearest (see find_nearest_count) or with the highest peak.
    std::optional<count_match> search(const cv::Mat& reference, std::uint32_t count, std::size_t from, std::size_t to,
                                      int r, bool nearest = false) const {
        std::vector<std::pair<std::uint32_t, cv::Mat>> candidates;
        for (std::size_t i = from; i < to && i < b_counts.size(); ++i) {
            if (cancel && cancel->load()) return std::nullopt;
            cv::Mat image = small(b_counts[i], r);
            if (image.size() == reference.size()) candidates.emplace_back(b_counts[i], std::move(image));
        }
        return nearest ? find_nearest_count(reference, count, candidates)
                       : find_count_offset(reference, count, candidates);
    }
};

}  // namespace

std::string match_text(double match, char separator, int digits) {
    const int scale = digits >= 3 ? 1000 : 100;
    const long v = std::lround(std::clamp(match, 0.0, 1.0) * scale);
    std::string fraction = std::to_string(v % scale);
    fraction.insert(0, static_cast<std::size_t>((digits >= 3 ? 3 : 2)) - fraction.size(), '0');
    return std::to_string(v / scale) + separator + fraction;
}

std::string not_matching_text(const differences_outcome& o) {
    return "runs do not match: best match " + match_text(o.best_match, '.') + " at offset " +
           (o.offset >= 0 ? "+" : "") + std::to_string(o.offset);
}

const char* differences_csv_header() { return "count_a,count_b,dx,dy,match,changed_px"; }

std::string differences_csv_row(const run_difference& d) {
    return std::to_string(d.count_a) + ',' + std::to_string(d.count_b) + ',' + std::to_string(d.dx) + ',' +
           std::to_string(d.dy) + ',' + match_text(d.match, '.', 3) + ',' + std::to_string(d.changed_px);
}

differences_outcome find_run_differences(const database_reader& first, const database_reader& second,
                                         const differences_control& control) {
    differences_outcome out;
    const auto cancelled = [&] { return control.cancel && control.cancel->load(); };
    try {
        const std::vector<std::uint32_t> a_counts = first.frame_counts([&] { return !cancelled(); });
        walker w{first, second, second.frame_counts([&] { return !cancelled(); }), control.offset_hint, control.cancel};
        if (cancelled()) {
            out.state = differences_outcome::status::cancelled;
            return out;
        }
        if (a_counts.empty() || w.b_counts.empty()) {
            out.state = differences_outcome::status::not_matching;
            out.offset = control.offset_hint;
            return out;
        }
        const auto probe = first.read_stored(a_counts.front());
        const cv::Mat size_probe = probe ? decode_grey(*probe, 8) : cv::Mat();
        const int width = size_probe.cols * 8;
        const int rm = match_reduction(width), rw = std::min(rm, walk_reduction(width)), further = rm / rw;

        // The first pairing: near the hint, from a few places along the first run (the second
        // may begin later than the first).
        bool paired = false;
        double best = -1;
        for (const std::size_t at : {std::size_t{0}, a_counts.size() / 8, a_counts.size() / 4, a_counts.size() / 2}) {
            if (cancelled()) break;
            const std::uint32_t c = a_counts[at];
            const auto bytes = first.read_stored(c);
            if (!bytes) continue;
            const cv::Mat reference = match_image(*bytes, rm);
            const std::int64_t centre = static_cast<std::int64_t>(c) + control.offset_hint;
            const auto lo =
                std::lower_bound(w.b_counts.begin(), w.b_counts.end(), clamp_count(centre - control.window));
            const auto hi =
                std::upper_bound(w.b_counts.begin(), w.b_counts.end(), clamp_count(centre + control.window));
            const auto found = w.search(reference, c, static_cast<std::size_t>(lo - w.b_counts.begin()),
                                        static_cast<std::size_t>(hi - w.b_counts.begin()), rm);
            if (!found) continue;
            if (found->match > best) {
                best = found->match;
                out.offset = found->offset;
                out.best_match = found->match;
            }
            if (found->match >= same_place_match) {
                paired = true;
                break;
            }
        }
        if (cancelled()) {
            out.state = differences_outcome::status::cancelled;
            return out;
        }
        if (!paired) {
            out.state = differences_outcome::status::not_matching;
            if (best < 0) out.offset = control.offset_hint;
            return out;
        }
        w.offset = out.offset;
        // How far the picture travels from one stored frame of the second run to the next
        // (reduced pixels): once the pair is shifted along that by more than half of it, a
        // neighbouring frame shows the place better.
        cv::Point2d travel;
        {
            const std::size_t j = std::min(w.paired(a_counts.front()), w.b_counts.size() - 1);
            if (j + 1 < w.b_counts.size()) {
                const cv::Mat one = w.small(w.b_counts[j], rm), next = w.small(w.b_counts[j + 1], rm);
                const frame_shift t = measure_shift(one, next);
                if (t.response > 0 && match_strength(one, next, t.shift) >= same_place_match) travel = t.shift;
            }
        }
        const double travel_length = std::hypot(travel.x, travel.y);
        const auto along = [&](cv::Point2d shift) {
            return travel_length >= 1 ? (shift.x * travel.x + shift.y * travel.y) / travel_length : 0.0;
        };

        for (std::size_t i = 0; i < a_counts.size(); ++i) {
            if (cancelled()) {
                out.state = differences_outcome::status::cancelled;
                return out;
            }
            const std::uint32_t c = a_counts[i];
            const auto a_bytes = first.read_stored(c);
            const cv::Mat a_small = a_bytes ? match_image(*a_bytes, rw) : cv::Mat();
            std::size_t j = w.paired(c);
            bool ok = false;
            cv::Mat b_small, a_match, b_match;
            frame_shift coarse;
            double match = 0;
            const auto measure = [&] {
                b_small = j < w.b_counts.size() ? w.small(w.b_counts[j], rw) : cv::Mat();
                if (a_small.empty() || b_small.size() != a_small.size()) return false;
                b_match = reduce(b_small, further);
                coarse = measure_shift(a_match, b_match);
                match = match_strength(a_match, b_match, coarse.shift);
                return true;
            };
            if (!a_small.empty()) {
                a_match = reduce(a_small, further);
                ok = measure();
                const bool lost = !ok || match < same_place_match || std::abs(coarse.shift.x) > a_match.cols / 16.0 ||
                                  std::abs(coarse.shift.y) > a_match.rows / 16.0;
                // Only a neighbour closer: the next frames either way are enough.
                const bool closer = travel_length >= 1 && std::abs(along(coarse.shift)) > 0.6 * travel_length;
                if (lost || closer) {
                    const std::size_t reach = lost ? follow_frames : 2;
                    const std::size_t centre = std::min(j, w.b_counts.size() - 1);
                    const std::size_t from = centre > reach ? centre - reach : 0;
                    const auto found = w.search(a_match, c, from, centre + reach + 1, rm, true);
                    // Only a frame of this very place: near the end of the second run the nearest
                    // may lie far away.
                    const bool here = found && std::abs(found->shift.shift.x) <= a_match.cols / 16.0 &&
                                      std::abs(found->shift.shift.y) <= a_match.rows / 16.0;
                    if (here && found->offset != w.offset) {
                        w.offset = found->offset;
                        j = w.paired(c);
                        ok = measure();
                    }
                }
            }
            ++out.pairs;
            const bool far = ok && (std::abs(coarse.shift.x) > a_match.cols / 16.0 ||
                                    std::abs(coarse.shift.y) > a_match.rows / 16.0);
            if (!ok || match < same_place_match || far) {
                ++out.unmatched;
            } else {
                // To within a reduced pixel, then compared at the walk's reduction.
                const frame_shift fine = refine_shift(a_small, b_small, coarse.shift * further, further + 2);
                const lined_up lined = line_up(b_small, fine.shift, 3);
                const cv::Mat marks = difference_mask(a_small, lined.picture, lined.valid);
                if (cv::countNonZero(marks) >= least_reduced_marks) {
                    // Decided at full resolution.
                    const auto b_bytes = second.read_stored(w.b_counts[j]);
                    const cv::Mat a_full = decode_grey(*a_bytes, 1);
                    const cv::Mat b_full = b_bytes ? decode_grey(*b_bytes, 1) : cv::Mat();
                    if (!a_full.empty() && b_full.size() == a_full.size()) {
                        const frame_shift exact = refine_shift(a_full, b_full, fine.shift * rw, rw + 2);
                        const lined_up whole = line_up(b_full, exact.shift, 3);
                        const cv::Mat full_marks = difference_mask(a_full, whole.picture, whole.valid);
                        const long changed = cv::countNonZero(full_marks);
                        if (changed >= least_changed_px) {
                            run_difference d;
                            d.count_a = c;
                            d.count_b = w.b_counts[j];
                            d.dx = static_cast<int>(std::lround(exact.shift.x));
                            d.dy = static_cast<int>(std::lround(exact.shift.y));
                            d.match = match;
                            d.changed_px = changed;
                            d.thumbnail = thumbnail(a_small, lined.picture, marks);
                            if (control.found) control.found(d);
                            out.differences.push_back(std::move(d));
                        }
                    }
                }
            }
            if (control.progress) control.progress(static_cast<double>(i + 1) / a_counts.size(), out.pairs);
        }
    } catch (const std::exception& e) {
        out.state = differences_outcome::status::failed;
        out.error = e.what();
    }
    return out;
}

void write_differences(const std::filesystem::path& csv_file, const std::vector<run_difference>& differences,
                       const database_reader& first, const database_reader& second) {
    const std::filesystem::path dir = csv_file.has_parent_path() ? csv_file.parent_path() : std::filesystem::path(".");
    const auto write = [](const std::filesystem::path& path, const std::string& bytes) {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        if (file) file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (file) file.close();
        if (!file) throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
    };
    std::string csv = std::string(differences_csv_header()) + "\n";
    for (const run_difference& d : differences) {
        const auto a = first.read_stored(d.count_a), b = second.read_stored(d.count_b);
        if (a) write(dir / (std::to_string(d.count_a) + "_a.jpg"), *a);
        if (b) write(dir / (std::to_string(d.count_b) + "_b.jpg"), *b);
        csv += differences_csv_row(d) + "\n";
    }
    std::filesystem::path part = csv_file;
    part += ".part";
    write(part, csv);
    std::error_code ec;
    std::filesystem::rename(part, csv_file, ec);
    if (ec) throw std::runtime_error("cannot write " + csv_file.string() + ": " + ec.message());
}
