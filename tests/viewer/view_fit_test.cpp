#include "viewer/frame_caption.h"
#include "viewer/frame_index.h"
#include "viewer/panel_view.h"
#include "viewer/playback.h"
#include "viewer/ruler_geometry.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(panel_view, a_large_picture_fits_whole_and_centred_and_a_small_one_is_not_enlarged) {
    struct fit_case {
        view_size panel, picture;
        double zoom;
        view_offset offset;
    };
    const fit_case cases[] = {
        {{1280, 800}, {1920, 1200}, 2.0 / 3, {0, 0}},
        {{1600, 900}, {1920, 1200}, 0.75, {(1600 / 0.75 - 1920) / 2, 0}},  // bars left and right
        {{640, 480}, {512, 512}, 480.0 / 512, {(640 / (480.0 / 512) - 512) / 2, 0}},
        {{640, 480}, {64, 48}, 1.0, {288, 216}},
        {{0, 0}, {64, 48}, 1.0, {-32, -24}},  // a panel not laid out yet
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.panel.width << "x" << c.panel.height);
        panel_view v;
        v.fit(c.panel, c.picture);
        EXPECT_DOUBLE_EQ(v.zoom, c.zoom);
        EXPECT_DOUBLE_EQ(v.min_zoom, c.zoom);
        EXPECT_NEAR(v.offset.x, c.offset.x, 1e-9);
        EXPECT_NEAR(v.offset.y, c.offset.y, 1e-9);
        if (c.panel.empty()) continue;
        // Both corners of the picture on the panel.
        EXPECT_GE(v.screen_x(0), -1e-9);
        EXPECT_GE(v.screen_y(0), -1e-9);
        EXPECT_LE(v.screen_x(c.picture.width), c.panel.width + 1e-9);
        EXPECT_LE(v.screen_y(c.picture.height), c.panel.height + 1e-9);
    }
}

TEST(panel_view, the_wheel_zooms_about_the_pointer_passes_one_and_stops_at_the_fit) {
    panel_view v;
    v.fit({1280, 800}, {1920, 1200});
    const view_point at{400, 300};
    const double px = v.picture_x(at.x), py = v.picture_y(at.y);
    const double expected[] = {1.0, 2.0, 3.0};
    for (double z : expected) {
        v.wheel(120, 120, at);
        EXPECT_DOUBLE_EQ(v.zoom, z);
        // The picture point under the pointer stays under it.
        EXPECT_NEAR(v.picture_x(at.x), px, 1e-9);
        EXPECT_NEAR(v.picture_y(at.y), py, 1e-9);
    }
    EXPECT_FALSE(v.fitted);
    v.wheel(-120 * 5, 120, at);  // down through 1 stops at 1
    EXPECT_DOUBLE_EQ(v.zoom, 1.0);
    v.wheel(-120, 120, at);  // and then to the fit, never below
    EXPECT_DOUBLE_EQ(v.zoom, 2.0 / 3);
    v.wheel(-120, 120, at);
    EXPECT_DOUBLE_EQ(v.zoom, 2.0 / 3);
    EXPECT_NEAR(v.picture_x(at.x), px, 1e-9);
    v.wheel(0, 120, at);
    v.wheel(120, 0, at);
    EXPECT_DOUBLE_EQ(v.zoom, 2.0 / 3);
}

TEST(panel_view, one_to_one_keeps_the_centre_and_resizes_refit_only_a_fitted_view) {
    panel_view v;
    v.fit({1280, 800}, {1920, 1200});
    const double cx = v.picture_x(640), cy = v.picture_y(400);
    v.actual_size({1280, 800}, {1920, 1200});
    EXPECT_DOUBLE_EQ(v.zoom, 1.0);
    EXPECT_NEAR(v.picture_x(640), cx, 1e-9);
    EXPECT_NEAR(v.picture_y(400), cy, 1e-9);
    // Not fitted: a larger panel moves only the floor.
    v.resized({1600, 1000}, {1920, 1200});
    EXPECT_DOUBLE_EQ(v.zoom, 1.0);
    EXPECT_DOUBLE_EQ(v.min_zoom, 1600.0 / 1920);
    // A panel so small the zoom lies below the new floor: raised to it.
    v.zoom = 0.5;
    v.resized({1600, 1000}, {1920, 1200});
    EXPECT_DOUBLE_EQ(v.zoom, 1600.0 / 1920);
    // Fitted: follows the panel.
    v.fit({1280, 800}, {1920, 1200});
    v.resized({1600, 1000}, {1920, 1200});
    EXPECT_TRUE(v.fitted);
    EXPECT_DOUBLE_EQ(v.zoom, 1600.0 / 1920);
    EXPECT_NEAR(v.screen_x(1920), 1600, 1e-9);
}

// Label tops, in order, of the scale labels only ("0" ... "100").
std::vector<int> scale_label_tops(const ruler_drawing& r) {
    std::vector<int> tops;
    for (const auto& l : r.labels)
        if (l.text != L"мм" && l.text != L"75 мм") tops.push_back(l.y);
    return tops;
}

TEST(ruler_geometry, at_zoom_half_one_and_three_the_ruler_measures_scale_times_zoom) {
    const int x = 500, y = 400, h = 14;
    struct ruler_case {
        double zoom;
        int top;       // 100 mm
        int y35;       // the 35 mm tick
        int bar_left;  // the 75 mm bar's left end
        std::size_t ticks;
        std::vector<std::wstring> labels;
    };
    // scale 0.8: k = 0.4, 0.8, 2.4 pixels a millimetre.
    const ruler_case cases[] = {
        {0.5, 360, 386, 470, 21, {L"0", L"50", L"100"}},  // 10 mm = 4 px, 50 mm = 20 px
        {1.0, 320, 372, 440, 21, {L"0", L"20", L"40", L"60", L"80", L"100"}},
        // 0.8 * 3 is a hair above 2.4, and truncation shows it.
        {3.0, 159, 316, 320, 101, {L"0", L"10", L"20", L"30", L"40", L"50", L"60", L"70", L"80", L"90", L"100"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "zoom " << c.zoom);
        const ruler_drawing r = make_ruler(0.8, c.zoom, x, y, h);
        ASSERT_EQ(r.lines.size(), c.ticks + 4);
        EXPECT_EQ(r.lines.front(), (ruler_line{x, y, x, c.top}));
        EXPECT_TRUE(std::any_of(r.lines.begin(), r.lines.end(), [&](const ruler_line& l) {
            return l == ruler_line{x - 10, c.y35, x, c.y35};
        }));
        EXPECT_EQ(r.lines.back(), (ruler_line{x, y + 40, c.bar_left, y + 40}));
        std::vector<std::wstring> texts;
        for (const auto& l : r.labels) texts.push_back(l.text);
        std::vector<std::wstring> expected = c.labels;
        expected.push_back(L"мм");
        expected.push_back(L"75 мм");
        EXPECT_EQ(texts, expected);
        // No two labels of the vertical scale, nor "мм" over the top one, overlap.
        std::vector<int> tops = scale_label_tops(r);
        tops.push_back(r.labels[r.labels.size() - 2].y);
        for (std::size_t i = 1; i < tops.size(); ++i) EXPECT_GE(tops[i - 1] - tops[i], h) << i;
    }
    // Zoom 0.5: the 75 mm bar is half as long as at zoom 1.
    const auto bar = [&](double zoom) { return x - make_ruler(0.8, zoom, x, y, h).lines.back().x2; };
    EXPECT_EQ(bar(0.5) * 2, bar(1.0));
    // So small nothing fits beside "0": only "0" and the unit, clear of it.
    const ruler_drawing tiny = make_ruler(0.1, 0.5, x, y, h);
    ASSERT_EQ(tiny.labels.size(), 3u);
    EXPECT_LE(tiny.labels[1].y, tiny.labels[0].y - h);
}

TEST(frame_caption, names_the_database_the_frame_and_its_place_in_the_run) {
    frame_place p{L"2024.05.01 12.30.45", L"A : 1", 1185u, 38, 101, L"2024-05-01 12:30:45", L"2024-05-01 12:41:02"};
    EXPECT_EQ(
        frame_caption(p),
        L"2024.05.01 12.30.45 · A : 1 · ДПП 1185 · кадр 38 из 101 · 2024-05-01 12:30:45 — 37 % — 2024-05-01 12:41:02");
    p.index = p.total = 0;  // not counted yet
    p.time_end.clear();
    EXPECT_EQ(frame_caption(p),
              L"2024.05.01 12.30.45 · A : 1 · ДПП 1185 · кадры подсчитываются… · 2024-05-01 12:30:45 — ?");
    p = frame_place{L"d", L"", 7u, 1, 1, L"s", L"e"};
    EXPECT_EQ(frame_caption(p), L"d · без кода · ДПП 7 · кадр 1 из 1 · s — 0 % — e");
    p.count.reset();
    p.index = p.total = 0;
    EXPECT_EQ(frame_caption(p), L"d · без кода · нет кадра · s — e");
}

TEST(frame_index, positions_and_steps_of_ten_stop_at_the_ends) {
    const std::vector<std::uint32_t> counts{1000, 1005, 1010, 1100, 1200};
    EXPECT_EQ(position_among(counts, 1010), std::make_pair(std::size_t{3}, std::size_t{5}));
    EXPECT_EQ(position_among(counts, 1003), std::nullopt);
    EXPECT_EQ(count_steps_away(counts, 1005, 2), 1100u);
    EXPECT_EQ(count_steps_away(counts, 1005, 10), 1200u);
    EXPECT_EQ(count_steps_away(counts, 1100, -10), 1000u);
    EXPECT_EQ(count_steps_away(counts, 1003, 1), std::nullopt);
    EXPECT_EQ(count_steps_away({}, 1, 1), std::nullopt);
}

TEST(playback, steps_at_the_rate_on_the_injected_clock_without_catching_up) {
    using namespace std::chrono_literals;
    playback::clock::time_point now{};
    playback p([&] { return now; });
    p.set_rate(100);
    EXPECT_EQ(p.rate(), playback::max_rate);
    p.set_rate(1);
    EXPECT_EQ(p.rate(), playback::min_rate);
    p.set_rate(20);  // one step every 50 ms
    EXPECT_FALSE(p.step_due()) << "stopped";
    p.start();
    EXPECT_EQ(p.wait(), 50ms);
    now += 49ms;
    EXPECT_FALSE(p.step_due());
    EXPECT_EQ(p.wait(), 1ms);
    now += 1ms;
    EXPECT_TRUE(p.step_due());
    EXPECT_FALSE(p.step_due()) << "one step per period";
    now += 60ms;  // 10 ms late: the next is still due on the grid
    EXPECT_TRUE(p.step_due());
    EXPECT_EQ(p.wait(), 40ms);
    now += 500ms;  // far behind: one step, then a full period, no backlog
    EXPECT_TRUE(p.step_due());
    EXPECT_FALSE(p.step_due());
    EXPECT_EQ(p.wait(), 50ms);
    p.toggle();
    EXPECT_FALSE(p.running());
    now += 1s;
    EXPECT_FALSE(p.step_due());
    EXPECT_EQ(p.wait(), 0ms);
}

}  // namespace
