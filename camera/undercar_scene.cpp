#include "camera/undercar_scene.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// Noise offsets per frame come from this many extra values, so that the noise of one frame
// is not the noise of the last shifted by a row.
constexpr std::size_t noise_slack = 65521;  // prime: offsets cycle through all of it

constexpr double pi = 3.14159265358979323846;
constexpr int tile_w = static_cast<int>(undercar_scene::tile_width);

// Columns of the fine-dirt texture that tiles take windows of.
constexpr int grain_width = 1280;
// Columns between the control points of the soft grime.
constexpr int grime_cell = 64;

// Tiles kept either side of the frame, for a train that moves back a little or stands.
constexpr std::int64_t tiles_kept = 4;

// Salts, so that each kind of thing gets its own random numbers from one seed.
namespace salt {
constexpr std::uint64_t grime = 1, members = 2, plates = 3, cables = 4, grain = 5, noise = 6;
}

std::uint64_t mix(std::uint64_t x) {  // splitmix64's finaliser
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::uint64_t hash(std::uint64_t seed, std::uint64_t kind, std::int64_t a, std::int64_t b = 0) {
    return mix(mix(mix(seed ^ (kind * 0xD6E8FEB86659FD93ull)) ^ static_cast<std::uint64_t>(a)) ^
               static_cast<std::uint64_t>(b));
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// A bar lit from above: brightest a third of the way in, dark at its far edge. The light is
// worked out over the whole bar, so a bar cut by the canvas's edge continues in the next tile.
void shaded_bar(cv::Mat& canvas, cv::Rect r, float base, float light, bool vertical) {
    const cv::Rect inside = r & cv::Rect(0, 0, canvas.cols, canvas.rows);
    if (inside.empty()) return;
    const int across = vertical ? r.width : r.height;
    for (int i = 0; i < across; ++i) {
        const double t = (i + 0.5) / across;
        const float v = static_cast<float>(base + light * std::sin(pi * std::pow(t, 0.7)));
        const cv::Rect line =
            (vertical ? cv::Rect(r.x + i, r.y, 1, r.height) : cv::Rect(r.x, r.y + i, r.width, 1)) & inside;
        if (!line.empty()) canvas(line).setTo(v);
    }
}

void bolt(cv::Mat& canvas, cv::Point c, int radius) {
    cv::circle(canvas, c + cv::Point(2, 2), radius, 12.0, cv::FILLED, cv::LINE_AA);  // shadow
    cv::circle(canvas, c, radius, 105.0, cv::FILLED, cv::LINE_AA);
    cv::circle(canvas, c, radius, 60.0, 1, cv::LINE_AA);
    cv::circle(canvas, c - cv::Point(radius / 3, radius / 3), std::max(1, radius / 3), 190.0, cv::FILLED, cv::LINE_AA);
}

// Catmull-Rom weights of the four control points around fraction t.
void cubic_weights(double t, float w[4]) {
    const double t2 = t * t, t3 = t2 * t;
    w[0] = static_cast<float>((-t3 + 2 * t2 - t) / 2);
    w[1] = static_cast<float>((3 * t3 - 5 * t2 + 2) / 2);
    w[2] = static_cast<float>((-3 * t3 + 4 * t2 + t) / 2);
    w[3] = static_cast<float>((t3 - t2) / 2);
}

// Large soft patches of lighter and darker dirt: a smooth surface through control points every
// grime_cell columns and rows, each from the seed and its place.
void add_grime(cv::Mat& canvas, std::int64_t x0, std::uint64_t seed) {
    const int h = canvas.rows, w = canvas.cols;
    const int rows = h / grime_cell + 4;  // control rows -1 .. h / cell + 2
    const std::int64_t first_cell = floor_div(x0, grime_cell) - 1;
    const int cells = w / grime_cell + 4;
    cv::Mat points(rows, cells, CV_32F);
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < cells; ++i)
            points.at<float>(j, i) =
                static_cast<float>((hash(seed, salt::grime, first_cell + i, j - 1) >> 11) * 0x1.0p-53 * 32.0 - 16.0);
    // Along the track first, for every control row, then across it.
    cv::Mat along(rows, w, CV_32F);
    for (int x = 0; x < w; ++x) {
        const std::int64_t gx = x0 + x;
        const std::int64_t cell = floor_div(gx, grime_cell);
        float wt[4];
        cubic_weights(static_cast<double>(gx - cell * grime_cell) / grime_cell, wt);
        const int i = static_cast<int>(cell - first_cell) - 1;
        for (int j = 0; j < rows; ++j) {
            const float* p = points.ptr<float>(j) + i;
            along.at<float>(j, x) = wt[0] * p[0] + wt[1] * p[1] + wt[2] * p[2] + wt[3] * p[3];
        }
    }
    for (int y = 0; y < h; ++y) {
        float wt[4];
        cubic_weights(static_cast<double>(y % grime_cell) / grime_cell, wt);
        const int j = y / grime_cell;  // control row y / cell - 1 is row j of `along`
        const float* a = along.ptr<float>(j);
        const float* b = along.ptr<float>(j + 1);
        const float* c = along.ptr<float>(j + 2);
        const float* d = along.ptr<float>(j + 3);
        float* out = canvas.ptr<float>(y);
        for (int x = 0; x < w; ++x) out[x] += wt[0] * a[x] + wt[1] * b[x] + wt[2] * c[x] + wt[3] * d[x];
    }
}

// A cable sagging along the car, drawn column by column so that it is the same function of
// the scene column in every tile.
void cable(cv::Mat& canvas, std::int64_t x0, std::uint64_t seed, int c) {
    const int h = canvas.rows;
    cv::RNG rng(hash(seed, salt::cables, c));
    const double y0 = h * rng.uniform(0.1, 0.9);
    const double amplitude = h * rng.uniform(0.02, 0.08);
    const double wavelength = h * rng.uniform(1.0, 3.5);
    const double phase = rng.uniform(0.0, 2 * pi);
    const int thick = std::max(2, static_cast<int>(h * rng.uniform(0.006, 0.012)));
    const auto span = [&](int x, double centre, double width, float v) {
        const int top = std::max(0, static_cast<int>(std::lround(centre - width / 2)));
        const int bottom = std::min(h, static_cast<int>(std::lround(centre + width / 2)));
        for (int y = top; y < bottom; ++y) canvas.at<float>(y, x) = v;
    };
    for (int x = 0; x < canvas.cols; ++x) {
        const double k = 2 * pi / wavelength;
        const double angle = k * static_cast<double>(x0 + x) + phase;
        const double y = y0 + amplitude * std::sin(angle);
        const double slant = std::sqrt(1 + std::pow(amplitude * k * std::cos(angle), 2));
        span(x, y, (thick + 2) * slant, 16.0f);
        span(x, y, thick * slant, 58.0f);
        span(x, y - thick / 4.0, std::max(1, thick / 4) * slant, 120.0f);
    }
}

}  // namespace

undercar_scene::undercar_scene() : undercar_scene(simulated_track_from_environment()) {}

undercar_scene::undercar_scene(std::optional<simulated_track> track)
    : track_(std::move(track)), seed_(track_ ? track_->seed : 0x51ED) {
    if (track_)
        for (const track_change& c : track_->changes) changes_.push_back({c.what, column_at(c.at_mm)});
}

std::int64_t undercar_scene::column_at(double mm) const {
    return track_ ? static_cast<std::int64_t>(std::llround(mm * track_->px_per_mm)) : 0;
}

std::uint32_t undercar_scene::change_reach(std::uint32_t height) { return height / 5 + 8; }

void undercar_scene::prepare(std::uint32_t width, std::uint32_t height, bool noise) {
    if (height != height_) {
        tiles_.clear();
        height_ = height;
        // Rust and dust: fine grain everywhere, the detail that makes real frames heavy.
        cv::Mat grain(static_cast<int>(height), grain_width, CV_32F);
        cv::RNG rng(hash(seed_, salt::grain, 0));
        rng.fill(grain, cv::RNG::NORMAL, 0.0, 9.0);
        cv::GaussianBlur(grain, grain, cv::Size(3, 3), 0.7, 0.7, cv::BORDER_REFLECT);
        grain_.assign(grain.ptr<float>(0), grain.ptr<float>(0) + grain.total());
    }
    if (!noise || (width == noise_width_ && height == noise_height_)) return;
    // Sensor noise, split into what brightens and what darkens a pixel, so that a frame adds
    // it with two saturating passes.
    const std::size_t n = static_cast<std::size_t>(width) * height + noise_slack;
    cv::Mat values(1, static_cast<int>(n), CV_32F);
    cv::RNG rng(hash(seed_, salt::noise, 0));
    rng.fill(values, cv::RNG::NORMAL, 0.0, 3.0);
    brighter_.assign(n, 0);
    darker_.assign(n, 0);
    const float* v = values.ptr<float>(0);
    for (std::size_t i = 0; i < n; ++i) {
        const long r = std::lround(v[i]);
        if (r > 0) brighter_[i] = static_cast<std::uint8_t>(std::min(r, 255L));
        if (r < 0) darker_[i] = static_cast<std::uint8_t>(std::min(-r, 255L));
    }
    noise_width_ = width;
    noise_height_ = height;
}

const std::vector<std::uint8_t>& undercar_scene::tile(std::int64_t index) {
    auto it = tiles_.find(index);
    if (it != tiles_.end()) return it->second;
    std::vector<std::uint8_t>& made = tiles_[index];
    draw_tile(index, made);
    return made;
}

void undercar_scene::draw_tile(std::int64_t index, std::vector<std::uint8_t>& out) const {
    const int h = static_cast<int>(height_);
    const std::int64_t x0 = index * tile_w;
    cv::Mat canvas(h, tile_w, CV_32F, cv::Scalar(34.0));
    add_grime(canvas, x0, seed_);

    // Seeded changes near this tile; a missing part shows what lies behind it.
    const std::int64_t reach = change_reach(height_);
    std::vector<change_at> near;
    for (const change_at& c : changes_)
        if (c.column + reach >= x0 && c.column - reach < x0 + tile_w) near.push_back(c);
    cv::Mat behind;
    if (std::any_of(near.begin(), near.end(), [](const change_at& c) { return c.what == track_change::kind::missing; }))
        behind = canvas.clone();

    const auto local = [&](std::int64_t x) { return static_cast<int>(x - x0); };
    // Things begin in their own tile and reach at most this many tiles further.
    const std::int64_t lookback = (h / 3 + 16) / tile_w + 1;

    // Cross members, reaching across the picture at uneven spacing.
    for (std::int64_t j = index - lookback; j <= index; ++j) {
        cv::RNG rng(hash(seed_, salt::members, j));
        if (rng.uniform(0.0, 1.0) >= 0.37) continue;
        const int x = local(j * tile_w + rng.uniform(0, tile_w));
        const int bw = std::max(8, static_cast<int>(h * rng.uniform(0.06, 0.12)));
        shaded_bar(canvas, cv::Rect(x, 0, bw, h), 40.0f, 45.0f, true);
    }

    // Plates: bevelled rectangles with rows of bolts along their edges.
    for (std::int64_t j = index - lookback; j <= index; ++j) {
        cv::RNG rng(hash(seed_, salt::plates, j));
        for (int p = rng.uniform(0, 3); p > 0; --p) {
            const int pw = rng.uniform(std::max(8, h * 4 / 35), std::max(9, h * 8 / 25));
            const int ph = rng.uniform(std::max(8, h / 12), std::max(9, h / 3));
            const int x = local(j * tile_w + rng.uniform(0, tile_w));
            const int y = rng.uniform(-ph / 3, h - ph / 2);
            const float v = static_cast<float>(rng.uniform(48.0, 92.0));
            const cv::Rect r(x, y, pw, ph);
            cv::rectangle(canvas, r + cv::Point(4, 4), 14.0, cv::FILLED);  // cast shadow
            cv::rectangle(canvas, r, v, cv::FILLED);
            cv::line(canvas, r.tl(), cv::Point(r.x + pw - 1, r.y), v + 55.0, 2);
            cv::line(canvas, r.tl(), cv::Point(r.x, r.y + ph - 1), v + 40.0, 2);
            cv::line(canvas, cv::Point(r.x, r.y + ph - 1), r.br() - cv::Point(1, 1), v - 35.0, 2);
            cv::line(canvas, cv::Point(r.x + pw - 1, r.y), r.br() - cv::Point(1, 1), v - 30.0, 2);
            const int step = std::max(12, std::min(pw, ph) / 4);
            const int radius = std::max(2, std::min(8, step / 5));
            for (int bx = r.x + step / 2; bx < r.x + pw - radius; bx += step) {
                bolt(canvas, cv::Point(bx, r.y + step / 3), radius);
                bolt(canvas, cv::Point(bx, r.y + ph - step / 3), radius);
            }
        }
    }

    // Two longitudinal beams along the car, bolted every few centimetres.
    for (const auto& [top, depth] : {std::pair<double, double>{0.16, 0.13}, {0.68, 0.15}}) {
        const int y = static_cast<int>(top * h);
        const int bh = std::max(4, static_cast<int>(depth * h));
        shaded_bar(canvas, cv::Rect(0, y, tile_w, bh), 45.0f, 70.0f, false);
        const int below = std::min(6, h - y - bh);
        if (below > 0) canvas(cv::Rect(0, y + bh, tile_w, below)) -= 18.0f;
        const int radius = std::max(2, bh / 12);
        const int step = std::max(8, bh / 2);
        for (std::int64_t n = floor_div(x0 - 20 - bh, step); 20 + n * step < x0 + tile_w + radius + 2; ++n) {
            const int bx = local(20 + n * step);
            bolt(canvas, cv::Point(bx, y + bh / 4), radius);
            bolt(canvas, cv::Point(bx + bh / 4, y + 3 * bh / 4), radius);
        }
    }

    for (int c = 0; c < 4; ++c) cable(canvas, x0, seed_, c);

    for (const change_at& c : near) {
        const int x = local(c.column);
        if (c.what == track_change::kind::missing) {
            // The lower beam and what hangs under it, gone over a stretch.
            const cv::Rect gap = cv::Rect(x - h / 8, h / 2, 2 * (h / 8), h * 9 / 20) & cv::Rect(0, 0, tile_w, h);
            if (!gap.empty()) behind(gap).copyTo(canvas(gap));
        } else {
            // A loose cable hanging down with a bright lump at its end.
            std::vector<cv::Point> line;
            for (int i = 0; i <= 16; ++i) {
                const double t = i / 16.0;
                line.emplace_back(x + static_cast<int>(h * 0.05 * t * t), static_cast<int>(h * (0.12 + 0.58 * t)));
            }
            const int thick = std::max(3, h / 80);
            const std::vector<std::vector<cv::Point>> lines{line};
            cv::polylines(canvas, lines, false, 10.0, thick + 2, cv::LINE_AA);
            cv::polylines(canvas, lines, false, 150.0, thick, cv::LINE_AA);
            const cv::Point end = line.back();
            const cv::Size axes(std::max(3, h / 20), std::max(2, h / 28));
            cv::ellipse(canvas, end, axes + cv::Size(2, 2), 20.0, 0, 360, 12.0, cv::FILLED, cv::LINE_AA);
            cv::ellipse(canvas, end, axes, 20.0, 0, 360, 175.0, cv::FILLED, cv::LINE_AA);
            cv::ellipse(canvas, end - cv::Point(axes.width / 3, axes.height / 3), axes / 3, 20.0, 0, 360, 235.0,
                        cv::FILLED, cv::LINE_AA);
        }
    }

    const int grain_at = static_cast<int>(hash(seed_, salt::grain, index) % (grain_width - tile_w));
    const cv::Mat grain(h, grain_width, CV_32F, const_cast<float*>(grain_.data()));
    canvas += grain(cv::Rect(grain_at, 0, tile_w, h));

    out.resize(static_cast<std::size_t>(h) * tile_w);
    cv::Mat scene8(h, tile_w, CV_8U, out.data());
    canvas.convertTo(scene8, CV_8U);  // saturating
}

void undercar_scene::fill(std::uint8_t* data, std::size_t bytes, std::uint32_t width, std::uint32_t height,
                          std::uint64_t frame) {
    const std::int64_t column = track_ ? column_at(track_->distance_at(std::chrono::system_clock::now()))
                                       : static_cast<std::int64_t>((frame * speed) & 0x3FFFFFFFFFFFull);
    fill_at(data, bytes, width, height, column, frame, true);
}

void undercar_scene::fill_at(std::uint8_t* data, std::size_t bytes, std::uint32_t width, std::uint32_t height,
                             std::int64_t column, std::uint64_t frame, bool noise) {
    if (!data || width == 0 || height == 0 || static_cast<std::uint64_t>(width) * height > bytes) return;
    prepare(width, height, noise);
    const std::int64_t first = floor_div(column, tile_w);
    const std::int64_t last = floor_div(column + width - 1, tile_w);
    for (std::int64_t k = first; k <= last; ++k) {
        const std::uint8_t* src = tile(k).data();
        const std::int64_t from = std::max<std::int64_t>(column, k * tile_w);
        const std::int64_t to = std::min<std::int64_t>(column + width, (k + 1) * tile_w);
        const std::size_t n = static_cast<std::size_t>(to - from);
        std::uint8_t* dst = data + (from - column);
        src += from - k * tile_w;
        for (std::uint32_t y = 0; y < height; ++y)
            std::memcpy(dst + static_cast<std::size_t>(y) * width, src + static_cast<std::size_t>(y) * tile_w, n);
    }
    for (auto it = tiles_.begin(); it != tiles_.end();)
        it = it->first < first - tiles_kept || it->first > last + tiles_kept ? tiles_.erase(it) : std::next(it);
    if (!noise) return;
    const std::size_t noise_at = static_cast<std::size_t>((frame * 7919) % noise_slack);
    cv::Mat image(static_cast<int>(height), static_cast<int>(width), CV_8UC1, data);
    const cv::Mat up(static_cast<int>(height), static_cast<int>(width), CV_8UC1, brighter_.data() + noise_at);
    const cv::Mat down(static_cast<int>(height), static_cast<int>(width), CV_8UC1, darker_.data() + noise_at);
    cv::add(image, up, image);
    cv::subtract(image, down, image);
}

simulated_picture parse_simulated_picture(const char* scene, const char* size, std::string* problem) {
    simulated_picture picture;
    std::string trouble;
    if (scene && *scene) {
        const std::string s = scene;
        if (s == "undercar")
            picture.kind = simulated_picture::scene::undercar;
        else if (s != "ramp")
            trouble = "QUILLMAR_SIMULATED_SCENE: unknown scene \"" + s + "\" (ramp or undercar); the ramp is shown";
    }
    if (size && *size) {
        const std::string s = size;
        const auto x = s.find('x');
        const auto number = [](const std::string& t) -> long {
            if (t.empty() || t.size() > 5 || t.find_first_not_of("0123456789") != std::string::npos) return -1;
            return std::strtol(t.c_str(), nullptr, 10);
        };
        const long w = x == std::string::npos ? -1 : number(s.substr(0, x));
        const long h = x == std::string::npos ? -1 : number(s.substr(x + 1));
        if (w >= 16 && w <= 2048 && h >= 16 && h <= 2048) {
            picture.width = static_cast<std::uint32_t>(w);
            picture.height = static_cast<std::uint32_t>(h);
        } else {
            if (!trouble.empty()) trouble += "; ";
            trouble += "QUILLMAR_SIMULATED_SIZE: \"" + s +
                       "\" is not WIDTHxHEIGHT between 16x16 and 2048x2048; the camera's own size is kept";
        }
    }
    if (problem) *problem = trouble;
    return picture;
}
