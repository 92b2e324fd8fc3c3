#include "camera/undercar_scene.h"

#include <algorithm>
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

// Draws with draw(dx) at dx = -period, 0, +period, so that shapes crossing the strip's ends
// continue on the other side and the strip repeats without a seam.
template <typename Draw>
void wrapped(int period, Draw draw) {
    for (const int dx : {-period, 0, period}) draw(dx);
}

// A bar lit from above: brightest a third of the way in, dark at its far edge.
void shaded_bar(cv::Mat& canvas, cv::Rect r, float base, float light, bool vertical) {
    r &= cv::Rect(0, 0, canvas.cols, canvas.rows);
    if (r.empty()) return;
    const int across = vertical ? r.width : r.height;
    for (int i = 0; i < across; ++i) {
        const double t = (i + 0.5) / across;
        const float v = static_cast<float>(base + light * std::sin(pi * std::pow(t, 0.7)));
        if (vertical)
            canvas(cv::Rect(r.x + i, r.y, 1, r.height)).setTo(v);
        else
            canvas(cv::Rect(r.x, r.y + i, r.width, 1)).setTo(v);
    }
}

void bolt(cv::Mat& canvas, cv::Point c, int radius) {
    cv::circle(canvas, c + cv::Point(2, 2), radius, 12.0, cv::FILLED, cv::LINE_AA);  // shadow
    cv::circle(canvas, c, radius, 105.0, cv::FILLED, cv::LINE_AA);
    cv::circle(canvas, c, radius, 60.0, 1, cv::LINE_AA);
    cv::circle(canvas, c - cv::Point(radius / 3, radius / 3), std::max(1, radius / 3), 190.0, cv::FILLED, cv::LINE_AA);
}

}  // namespace

void undercar_scene::build(std::uint32_t width, std::uint32_t height) {
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    // Two frame widths and a bit: long enough that the repeat is not obvious, short enough
    // to stay small (about 12 MB at 1920 x 1200 with the noise).
    const int period = std::max(64, (2 * w + 255) / 64 * 64);
    cv::RNG rng(0x51ED);  // the same scene on every run

    cv::Mat canvas(h, period, CV_32F, cv::Scalar(34.0));

    // Grime: large soft patches of lighter and darker dirt.
    {
        const int cell = 48;
        const int gx = period / cell;
        const int gy = h / cell + 4;
        cv::Mat grid(gy, gx + 3, CV_32F);
        rng.fill(grid, cv::RNG::UNIFORM, -16.0, 16.0);
        for (int c = 0; c < 3; ++c) grid.col(c).copyTo(grid.col(gx + c));  // wraps around
        cv::Mat smooth;
        cv::resize(grid, smooth, cv::Size((gx + 3) * cell, gy * cell), 0, 0, cv::INTER_CUBIC);
        canvas += smooth(cv::Rect(0, 0, period, h));
    }

    const auto y_of = [&](double f) { return static_cast<int>(f * h); };

    // Cross members, reaching across the picture at uneven spacing.
    const int members = std::max(2, period / 700);
    for (int m = 0; m < members; ++m) {
        const int x = m * period / members + rng.uniform(-60, 60);
        const int bw = std::max(8, static_cast<int>(w * rng.uniform(0.04, 0.08)));
        wrapped(period, [&](int dx) { shaded_bar(canvas, cv::Rect(x + dx, 0, bw, h), 40.0f, 45.0f, true); });
    }

    // Plates: bevelled rectangles with rows of bolts along their edges.
    const int plates = std::max(3, period / 260);
    for (int p = 0; p < plates; ++p) {
        const int pw = rng.uniform(std::max(8, w / 14), std::max(9, w / 5));
        const int ph = rng.uniform(std::max(8, h / 12), std::max(9, h / 3));
        const int x = rng.uniform(0, period);
        const int y = rng.uniform(-ph / 3, h - ph / 2);
        const float v = static_cast<float>(rng.uniform(48.0, 92.0));
        wrapped(period, [&](int dx) {
            const cv::Rect r(x + dx, y, pw, ph);
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
        });
    }

    // Two longitudinal beams along the car, bolted every few centimetres.
    for (const auto& [top, depth] : {std::pair<double, double>{0.16, 0.13}, {0.68, 0.15}}) {
        const int y = y_of(top);
        const int bh = std::max(4, y_of(depth));
        shaded_bar(canvas, cv::Rect(0, y, period, bh), 45.0f, 70.0f, false);
        canvas(cv::Rect(0, std::min(h - 1, y + bh), period, std::max(1, std::min(6, h - y - bh)))) -= 18.0f;
        const int radius = std::max(2, bh / 12);
        for (int x = 20; x < period; x += std::max(8, bh / 2)) {
            bolt(canvas, cv::Point(x, y + bh / 4), radius);
            bolt(canvas, cv::Point(x + bh / 4, y + 3 * bh / 4), radius);
        }
    }

    // Cables sagging along the car: whole waves per strip, so they repeat with it.
    for (int c = 0; c < 4; ++c) {
        const double y0 = h * rng.uniform(0.1, 0.9);
        const double amplitude = h * rng.uniform(0.02, 0.08);
        const int waves = rng.uniform(1, 4);
        const double phase = rng.uniform(0.0, 2 * pi);
        const int thick = std::max(2, static_cast<int>(h * rng.uniform(0.006, 0.012)));
        std::vector<cv::Point> points;
        for (int x = -16; x <= period + 16; x += 16)
            points.emplace_back(x, static_cast<int>(y0 + amplitude * std::sin(2 * pi * waves * x / period + phase)));
        const std::vector<std::vector<cv::Point>> line{points};
        cv::polylines(canvas, line, false, 16.0, thick + 2, cv::LINE_AA);
        cv::polylines(canvas, line, false, 58.0, thick, cv::LINE_AA);
        std::vector<cv::Point> shine = points;
        for (auto& p : shine) p.y -= thick / 4;
        cv::polylines(canvas, std::vector<std::vector<cv::Point>>{shine}, false, 120.0, std::max(1, thick / 4),
                      cv::LINE_AA);
    }

    // Rust and dust: fine grain everywhere, the detail that makes real frames heavy.
    {
        cv::Mat grain(h, period, CV_32F);
        rng.fill(grain, cv::RNG::NORMAL, 0.0, 9.0);
        cv::GaussianBlur(grain, grain, cv::Size(3, 3), 0.7, 0.7, cv::BORDER_REFLECT);
        canvas += grain;
    }

    cv::Mat scene8;
    canvas.convertTo(scene8, CV_8U);  // saturating

    period_ = static_cast<std::uint32_t>(period);
    const std::size_t row = static_cast<std::size_t>(period) + width;
    strip_.assign(row * height, 0);
    for (int y = 0; y < h; ++y) {
        std::uint8_t* out = strip_.data() + static_cast<std::size_t>(y) * row;
        std::memcpy(out, scene8.ptr<std::uint8_t>(y), static_cast<std::size_t>(period));
        // The first frame width again, so that any offset reads one contiguous window.
        for (std::uint32_t x = 0; x < width; ++x) out[period + x] = out[x % static_cast<std::uint32_t>(period)];
    }

    // Sensor noise, split into what brightens and what darkens a pixel, so that a frame adds
    // it with two saturating passes.
    const std::size_t n = static_cast<std::size_t>(width) * height + noise_slack;
    cv::Mat noise(1, static_cast<int>(n), CV_32F);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, 3.0);
    brighter_.assign(n, 0);
    darker_.assign(n, 0);
    const float* v = noise.ptr<float>(0);
    for (std::size_t i = 0; i < n; ++i) {
        const long r = std::lround(v[i]);
        if (r > 0) brighter_[i] = static_cast<std::uint8_t>(std::min(r, 255L));
        if (r < 0) darker_[i] = static_cast<std::uint8_t>(std::min(-r, 255L));
    }
    width_ = width;
    height_ = height;
}

void undercar_scene::fill(std::uint8_t* data, std::size_t bytes, std::uint32_t width, std::uint32_t height,
                          std::uint64_t frame) {
    if (!data || width == 0 || height == 0 || static_cast<std::uint64_t>(width) * height > bytes) return;
    if (width != width_ || height != height_ || strip_.empty()) build(width, height);
    const std::size_t row = static_cast<std::size_t>(period_) + width;
    const std::size_t offset = static_cast<std::size_t>((frame * speed) % period_);
    for (std::uint32_t y = 0; y < height; ++y)
        std::memcpy(data + static_cast<std::size_t>(y) * width, strip_.data() + y * row + offset, width);
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
