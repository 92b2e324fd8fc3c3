#include "app/health_model.h"

#include <gtest/gtest.h>

#include <random>

using namespace std::chrono_literals;

namespace {

using tp = health_model::clock::time_point;
const tp t0{std::chrono::hours(1)};

record_status_message step(bool stored, std::wstring database = L"/rec/2024.05.01 12.30.45") {
    record_status_message m;
    m.news = recording_news::step;
    m.stored = stored;
    m.database = std::move(database);
    return m;
}

grab_stats_message stats(std::uint64_t delivered, std::uint64_t lost = 0, std::uint64_t corrupt = 0) {
    return make_grab_stats(L"", delivered, lost, corrupt);
}

// 25 frames a second from t0 for `seconds`, one stats message per frame.
void camera_runs(health_model& m, int seconds, int fps = 25, std::uint64_t from = 0) {
    for (int i = 1; i <= seconds * fps; ++i) m.grab_stats(stats(from + i), t0 + i * 1000ms / fps);
}

constexpr std::uint64_t GiB = 1ull << 30;

// The cell as painted, without its tip.
health_cell shown(health_cell cell) {
    cell.tip.clear();
    return cell;
}

}  // namespace

TEST(health_model, lamp_follows_start_stop_and_a_recording_that_ended_by_itself) {
    health_model m;
    EXPECT_EQ(m.cells(t0)[health_model::cell_lamp].value, L"СТОП");
    m.started(false, t0);
    EXPECT_EQ(m.cells(t0)[health_model::cell_lamp].value, L"ЗАХВАТ");
    m.started(true, t0);
    EXPECT_EQ(shown(m.cells(t0)[health_model::cell_lamp]), (health_cell{L"", L"ЗАПИСЬ", health_level::good}));
    m.record_status(make_record_status(recording_news::stopped, L"Запись остановлена: x"), t0 + 1s);
    EXPECT_EQ(shown(m.cells(t0 + 1s)[health_model::cell_lamp]),
              (health_cell{L"", L"ЗАХВАТ · запись остановлена", health_level::amber}));
    m.stopped();
    EXPECT_EQ(m.cells(t0 + 2s)[health_model::cell_lamp].value, L"СТОП");
}

TEST(health_model, counts_frames_positions_without_frame_and_names_the_folder) {
    health_model m;
    m.started(true, t0);
    m.session_code(L"12 : 34");
    m.record_status(step(true), t0 + 100ms);
    m.record_status(step(false), t0 + 200ms);
    m.record_status(step(true, L"/rec/2024.05.01 12.31.00"), t0 + 300ms);
    const auto cells = m.cells(t0 + 3723s);
    EXPECT_EQ(cells[health_model::cell_elapsed].value, L"01:02:03");
    EXPECT_EQ(cells[health_model::cell_session].value, L"12 : 34");
    EXPECT_EQ(cells[health_model::cell_database].value, L"2024.05.01 12.31.00");
    EXPECT_EQ(cells[health_model::cell_frames].value, L"2");
    // A new run starts from zero.
    m.started(true, t0 + 4000s);
    EXPECT_EQ(m.cells(t0 + 4000s)[health_model::cell_frames].value, L"0");
    EXPECT_EQ(m.cells(t0 + 4000s)[health_model::cell_database].value, L"—");
}

TEST(health_model, odometer_rate_over_the_window_and_red_when_silent_or_lost) {
    health_model m;
    m.started(true, t0);
    for (int i = 0; i < 100; ++i) m.record_status(step(i % 4 != 0), t0 + i * 20ms);  // 50/s for 2 s
    const tp now = t0 + 2s;
    EXPECT_DOUBLE_EQ(m.odometer_rate(now), 50.0);
    EXPECT_EQ(shown(m.cells(now)[health_model::cell_odometer]),
              (health_cell{L"ДПП/с · без кадра", L"50,0 · 25", health_level::normal}));

    // Silence: red from the silence time on (5 s after the last message).
    EXPECT_EQ(m.cells(t0 + 1980ms + 4900ms)[health_model::cell_odometer].level, health_level::normal);
    EXPECT_EQ(shown(m.cells(t0 + 1980ms + 5s)[health_model::cell_odometer]),
              (health_cell{L"ДПП/с · без кадра", L"нет сообщений", health_level::red}));

    // Lost line: red at once, back to normal with the next message.
    m.record_status(step(true), t0 + 10s);
    m.record_status(make_record_status(recording_news::odometer_lost, L"ДПП потерян: /dev/ttyUSB0"), t0 + 10100ms);
    EXPECT_EQ(m.cells(t0 + 10200ms)[health_model::cell_odometer].value, L"ДПП потерян");
    EXPECT_EQ(m.cells(t0 + 10200ms)[health_model::cell_odometer].tip,
              L"ДПП потерян: порт /dev/ttyUSB0 не отвечает; порт открывается заново каждую секунду");
    EXPECT_EQ(m.cells(t0 + 10200ms)[health_model::cell_odometer].level, health_level::red);
    m.record_status(step(true), t0 + 12s);
    EXPECT_EQ(m.cells(t0 + 12s)[health_model::cell_odometer].level, health_level::normal);

    // Not recording: no odometer rule.
    m.started(false, t0 + 20s);
    EXPECT_EQ(m.cells(t0 + 40s)[health_model::cell_odometer].level, health_level::normal);
}

TEST(health_model, fps_is_measured_over_the_last_two_seconds_not_the_whole_run) {
    health_model m;
    m.started(false, t0);
    camera_runs(m, 10, 25);
    EXPECT_NEAR(*m.fps(t0 + 10s), 25.0, 0.01);
    // Then 10 frames a second for 3 s: the window shows 10, a whole-run average would not.
    for (int i = 1; i <= 30; ++i) m.grab_stats(stats(250 + i), t0 + 10s + i * 100ms);
    EXPECT_NEAR(*m.fps(t0 + 13s), 10.0, 0.01);
}

TEST(health_model, camera_rules_silence_red_slow_amber_lost_amber) {
    struct case_ {
        const char* name;
        std::optional<double> set_rate;
        int fps;
        std::uint64_t lost, corrupt;
        health_level camera, lost_level;
    };
    const case_ cases[] = {
        {"at the set rate", 25.0, 25, 0, 0, health_level::normal, health_level::normal},
        {"below 80 % of the set rate", 25.0, 19, 0, 0, health_level::amber, health_level::normal},
        {"at 80 % of the set rate", 25.0, 20, 0, 0, health_level::normal, health_level::normal},
        {"set rate unknown", std::nullopt, 5, 0, 0, health_level::normal, health_level::normal},
        {"lost frames", 25.0, 25, 2, 0, health_level::normal, health_level::amber},
        {"corrupt frames", 25.0, 25, 0, 1, health_level::normal, health_level::amber},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        health_model m;
        m.camera_rate(c.set_rate);
        m.started(true, t0);
        camera_runs(m, 4, c.fps);
        m.grab_stats(stats(4 * c.fps, c.lost, c.corrupt), t0 + 4s);
        const auto cells = m.cells(t0 + 4s);
        EXPECT_EQ(cells[health_model::cell_camera].level, c.camera);
        EXPECT_EQ(cells[health_model::cell_lost].level, c.lost_level);
        EXPECT_EQ(cells[health_model::cell_lost].value, std::to_wstring(c.lost + c.corrupt));
    }

    // No new frame for 2 s (the capture thread still posts its quiet-second stats): red.
    health_model m;
    m.started(false, t0);
    camera_runs(m, 2);
    m.grab_stats(stats(50), t0 + 3s);
    EXPECT_EQ(m.cells(t0 + 3900ms)[health_model::cell_camera].level, health_level::normal);
    EXPECT_EQ(shown(m.cells(t0 + 4s)[health_model::cell_camera]),
              (health_cell{L"Камера, к/с", L"нет кадров", health_level::red}));
    // A camera that never delivered is silent too.
    health_model never;
    never.started(false, t0);
    EXPECT_EQ(never.cells(t0 + 2s)[health_model::cell_camera].level, health_level::red);
}

TEST(health_model, disk_levels_and_time_left_at_the_write_rate) {
    health_model m;
    m.started(true, t0);
    EXPECT_TRUE(m.disk_due(t0));
    m.disk(disk_space{500 * GiB, 100 * GiB}, t0);
    EXPECT_FALSE(m.disk_due(t0 + 4s));
    EXPECT_TRUE(m.disk_due(t0 + 5s));
    EXPECT_FALSE(m.time_left());  // one reading gives no rate
    // 1 GiB every 10 s: 100 GiB less the 128 MiB stop level, at 0.1 GiB/s; a rate only once
    // the readings span two minutes.
    for (int i = 1; i <= 12; ++i) {
        EXPECT_FALSE(m.time_left()) << i;
        m.disk(disk_space{500 * GiB, (100 - i) * GiB}, t0 + i * 10s);
        m.record_status(step(true), t0 + i * 10s);
    }
    ASSERT_TRUE(m.time_left());
    EXPECT_EQ(m.time_left()->count(), static_cast<long long>((88.0 * GiB - (128ull << 20)) / (GiB / 10.0)));
    EXPECT_EQ(m.cells(t0 + 120s)[health_model::cell_disk].value, L"88,0 ГБ · 14 мин");
    EXPECT_EQ(m.cells(t0 + 120s)[health_model::cell_disk].level, health_level::normal);

    struct case_ {
        std::uint64_t total, free;
        health_level level;
    };
    const case_ cases[] = {
        {500 * GiB, 2 * GiB, health_level::normal},
        {500 * GiB, GiB - 1, health_level::amber},           // below the 1 GiB warning
        {500 * GiB, (128ull << 20) - 1, health_level::red},  // below the stop level
        {10 * GiB, 150ull << 20, health_level::amber},       // small volume: 2 % is the warning
    };
    for (const auto& c : cases) {
        health_model d;
        d.disk(disk_space{c.total, c.free}, t0);
        EXPECT_EQ(d.cells(t0)[health_model::cell_disk].level, c.level) << c.free;
    }
    // Nothing written: no time left is claimed.
    health_model idle;
    idle.started(true, t0);
    idle.disk(disk_space{500 * GiB, 100 * GiB}, t0);
    idle.disk(disk_space{500 * GiB, 100 * GiB}, t0 + 5s);
    EXPECT_FALSE(idle.time_left());
    EXPECT_EQ(idle.cells(t0 + 5s)[health_model::cell_disk].value, L"100,0 ГБ · —");
}

TEST(health_model, texts) {
    EXPECT_EQ(elapsed_text(0s), L"00:00:00");
    EXPECT_EQ(elapsed_text(100h + 1s), L"100:00:01");
    EXPECT_EQ(time_left_text(59s), L"< 1 мин");
    EXPECT_EQ(time_left_text(3600s * 5 + 20min), L"5 ч 20 мин");
    EXPECT_EQ(time_left_text(3600s * 9 + 59min), L"9 ч 59 мин");
    EXPECT_EQ(time_left_text(3600s * 151 + 59min), L"151 ч");
    EXPECT_EQ(one_decimal(24.96), L"25,0");
    EXPECT_EQ(one_decimal(0.04), L"0,0");
}

namespace {

recording_queue::levels held(std::size_t frames, std::size_t capacity, std::uint64_t dropped = 0,
                             std::optional<tp> oldest = std::nullopt, std::size_t highest = 0) {
    recording_queue::levels l;
    l.frames = frames;
    l.capacity_frames = capacity;
    l.dropped = dropped;
    l.oldest = oldest;
    l.highest_frames = std::max(highest, frames);
    return l;
}

}  // namespace

TEST(health_model, queue_cell_shows_what_is_held_its_age_highest_and_dropped_and_restarts_with_each_recording) {
    health_model m;
    m.started(true, t0);
    EXPECT_EQ(m.cells(t0)[health_model::cell_queue].value, L"—");
    m.queue(held(12, 200, 0, t0 + 800ms, 40), t0 + 1s);
    EXPECT_EQ(shown(m.cells(t0 + 1s)[health_model::cell_queue]),
              (health_cell{L"Очередь · макс · потеряно", L"12 к 0,2 с · 40 · 0", health_level::normal}));
    EXPECT_EQ(m.cells(t0 + 1s)[health_model::cell_queue].tip,
              L"В очереди записи кадров: 12 из 200, старейший ждёт 0,2 с; наибольшая очередь: 40; потеряно кадров: 0");
    m.queue(std::nullopt, t0 + 2s);  // not known for a moment: the last figures stay
    EXPECT_EQ(m.cells(t0 + 2s)[health_model::cell_queue].value, L"12 к 0,2 с · 40 · 0");
    m.queue(held(0, 200, 7, std::nullopt, 150), t0 + 3s);
    EXPECT_EQ(m.cells(t0 + 3s)[health_model::cell_queue].value, L"0 к 0,0 с · 150 · 7");

    m.started(true, t0 + 10s);
    EXPECT_EQ(m.cells(t0 + 10s)[health_model::cell_queue], (health_cell{L"Очередь · макс · потеряно", L"—"}));
    m.started(false, t0 + 20s);  // capture only: no queue
    m.queue(held(5, 200), t0 + 21s);
    EXPECT_EQ(m.cells(t0 + 21s)[health_model::cell_queue].value, L"—");
}

TEST(health_model, queue_colours_amber_past_half_or_after_drops_red_near_full_or_dropping_now) {
    const struct {
        const char* name;
        recording_queue::levels first, second;  // read at t0 + 1 s and t0 + 10 s
        health_level at_10s;
    } cases[] = {
        {"a few frames", held(2, 200), held(10, 200), health_level::normal},
        {"exactly half", held(2, 200), held(100, 200), health_level::normal},
        {"past half", held(2, 200), held(101, 200), health_level::amber},
        {"just under 90 %", held(2, 200), held(179, 200), health_level::amber},
        {"90 % full", held(2, 200), held(180, 200), health_level::red},
        {"capacity not known yet", held(0, 0), held(50, 0), health_level::normal},
        {"dropped 9 s ago", held(2, 200, 3), held(2, 200, 3), health_level::amber},
        {"dropping now", held(2, 200, 0), held(2, 200, 3), health_level::red},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        health_model m;
        m.started(true, t0);
        m.queue(c.first, t0 + 1s);
        m.queue(c.second, t0 + 10s);
        EXPECT_EQ(m.cells(t0 + 10s)[health_model::cell_queue].level, c.at_10s);
    }

    // The drop news (an episode's end) turns it red at once, before the next reading; the
    // exact count from the levels wins over the news' sum.
    health_model m;
    m.started(true, t0);
    m.queue(held(2, 200), t0 + 1s);
    record_status_message dropped = make_record_status(recording_news::queue_dropped, L"");
    dropped.count = 4;
    m.record_status(dropped, t0 + 1500ms);
    EXPECT_EQ(m.cells(t0 + 1500ms)[health_model::cell_queue].level, health_level::red);
    EXPECT_EQ(m.queue_dropped(), 4u);
    m.queue(held(2, 200, 6), t0 + 2s);
    EXPECT_EQ(m.queue_dropped(), 6u);
    EXPECT_EQ(m.cells(t0 + 6s)[health_model::cell_queue].level, health_level::red);
    EXPECT_EQ(m.cells(t0 + 7s)[health_model::cell_queue].level, health_level::amber);
    // A recording that ended by itself is not dropping any more.
    m.record_status(make_record_status(recording_news::stopped, L""), t0 + 7s);
    m.queue(held(190, 200, 9), t0 + 8s);
    EXPECT_EQ(m.cells(t0 + 8s)[health_model::cell_queue].level, health_level::amber);
}

TEST(health_model, saving_after_stop_shows_its_lamp_and_the_frames_left_until_saved) {
    health_model m;
    m.started(true, t0);
    m.queue(held(30, 200, 2), t0 + 1s);
    m.stopped(true);
    auto cells = m.cells(t0 + 2s);
    EXPECT_EQ(shown(cells[health_model::cell_lamp]), (health_cell{L"", L"СОХРАНЕНИЕ", health_level::amber}));
    EXPECT_EQ(cells[health_model::cell_queue], (health_cell{L"Очередь", L"—", health_level::amber}));
    record_status_message left = make_record_status(recording_news::draining, L"");
    left.count = 120;
    m.record_status(left, t0 + 2s);
    m.record_status(step(true), t0 + 2s);  // a stored step says nothing new now
    cells = m.cells(t0 + 2s);
    EXPECT_EQ(cells[health_model::cell_queue].value, L"осталось 120");
    EXPECT_EQ(cells[health_model::cell_frames].value, L"—");
    m.saved();
    cells = m.cells(t0 + 3s);
    EXPECT_EQ(cells[health_model::cell_lamp].value, L"СТОП");
    EXPECT_EQ(cells[health_model::cell_queue].value, L"—");
}

TEST(health_model, lamp_is_amber_while_nothing_is_stored_and_green_again_once_frames_are) {
    health_model m;
    m.started(true, t0);
    const auto lamp = [&](tp now) { return shown(m.cells(now)[health_model::cell_lamp]); };
    const health_cell green{L"", L"ЗАПИСЬ", health_level::good};
    const health_cell no_odometer{L"", L"ЗАПИСЬ · нет ДПП", health_level::amber};
    // A silent odometer port: nothing at all since the start.
    EXPECT_EQ(lamp(t0 + 4900ms), green);
    EXPECT_EQ(lamp(t0 + 5s), no_odometer);
    EXPECT_TRUE(m.storing_nothing(t0 + 5s));
    EXPECT_EQ(m.cells(t0 + 61s)[health_model::cell_lamp].tip,
              L"Запись включена, но кадры не сохраняются 61 с: Нет сообщений ДПП 61 с");

    // Messages come, but none finds a frame: the camera is the cause.
    for (int i = 0; i < 100; ++i) m.record_status(step(false), t0 + 61s + i * 20ms);
    EXPECT_EQ(lamp(t0 + 63s), (health_cell{L"", L"ЗАПИСЬ · нет кадров", health_level::amber}));

    // Frames stored: green at once, amber again after the silence time without one.
    m.record_status(step(true), t0 + 63s);
    EXPECT_EQ(lamp(t0 + 63s), green);
    EXPECT_FALSE(m.storing_nothing(t0 + 67900ms));
    EXPECT_EQ(lamp(t0 + 68s), no_odometer);

    // A lost line: amber at once, green with the next stored frame.
    m.record_status(step(true), t0 + 70s);
    m.record_status(make_record_status(recording_news::odometer_lost, L"ДПП потерян: /dev/ttyUSB0"), t0 + 70100ms);
    EXPECT_EQ(lamp(t0 + 70100ms), no_odometer);
    m.record_status(make_record_status(recording_news::odometer_back, L""), t0 + 71s);
    m.record_status(step(true), t0 + 71s);
    EXPECT_EQ(lamp(t0 + 71s), green);

    // Capture only stores nothing by design: no warning.
    m.started(false, t0 + 100s);
    EXPECT_EQ(lamp(t0 + 200s), (health_cell{L"", L"ЗАХВАТ"}));
}

TEST(health_model, a_recording_that_ended_by_itself_names_its_reason_until_the_next_start_or_stop) {
    const struct {
        const wchar_t* text;
        const wchar_t* reason;
    } cases[] = {
        {L"Запись остановлена: не удалось открыть порт ДПП /dev/ttyUSB0", L"порт ДПП не открыт"},
        {L"Запись остановлена: IO error: /rec/x/000005.log: Read-only file system", L"ошибка записи"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        for (const bool by_stop : {false, true}) {
            health_model m;
            m.started(true, t0);
            m.record_status(step(true), t0 + 1s);
            m.record_status(make_record_status(recording_news::stopped, c.text), t0 + 2s);
            auto cells = m.cells(t0 + 30s);
            EXPECT_EQ(cells[health_model::cell_lamp].value, L"ЗАХВАТ · запись остановлена");
            EXPECT_EQ(cells[health_model::cell_lamp].tip, std::wstring(c.text) + L"; захват продолжается");
            EXPECT_EQ(cells[health_model::cell_odometer],
                      (health_cell{L"Причина остановки", c.reason, health_level::amber, c.text}));
            EXPECT_EQ(cells[health_model::cell_frames].value, L"1") << "what was stored stays readable";

            if (by_stop)
                m.stopped();
            else
                m.started(true, t0 + 40s);
            cells = m.cells(t0 + 40s);
            for (const health_cell& cell : cells) {
                EXPECT_EQ(cell.tip.find(c.text), std::wstring::npos) << testing::PrintToString(cell.tip);
                EXPECT_NE(cell.label, L"Причина остановки");
            }
            EXPECT_EQ(cells[health_model::cell_lamp].value, by_stop ? L"СТОП" : L"ЗАПИСЬ");
        }
    }
}

// Free space read every 5 s while 20 MB/s are written: each reading is off by up to 300 MB
// (write-back not done yet, other files), and a compaction holds 2 GB for 15 s every 3 min.
TEST(health_model, time_left_holds_steady_under_a_steady_write_rate_and_is_a_dash_when_nothing_is_written) {
    health_model m;
    m.started(true, t0);
    const double rate = 20.0 * (1 << 20);
    const double start_free = 400.0 * GiB;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-300.0 * (1 << 20), 300.0 * (1 << 20));
    std::vector<std::pair<tp, long long>> shown_left;
    for (int s = 0; s <= 20 * 60; s += 5) {
        const tp now = t0 + std::chrono::seconds(s);
        double free = start_free - rate * s + noise(random);
        if (s % 180 >= 60 && s % 180 < 75) free -= 2.0 * GiB;
        m.record_status(step(true), now);
        m.disk(disk_space{1000 * GiB, static_cast<std::uint64_t>(free)}, now);
        const std::wstring value = m.cells(now)[health_model::cell_disk].value;
        if (s < 120) {
            EXPECT_EQ(value.substr(value.size() - 4), L" · —") << s;
        }
        if (const auto left = m.time_left(); left && s >= 120) shown_left.emplace_back(now, left->count());
    }
    ASSERT_GT(shown_left.size(), 200u);
    for (std::size_t i = 0; i < shown_left.size(); ++i) {
        const double truth = (start_free - rate * ((shown_left[i].first - t0) / 1s)) / rate;
        EXPECT_NEAR(shown_left[i].second / truth, 1.0, 0.2) << "at " << (shown_left[i].first - t0) / 1s << " s";
        for (std::size_t j = i + 1; j < shown_left.size() && shown_left[j].first - shown_left[i].first <= 70s; ++j) {
            const double ratio = static_cast<double>(shown_left[j].second) / shown_left[i].second;
            EXPECT_GT(ratio, 0.8) << (shown_left[i].first - t0) / 1s;
            EXPECT_LT(ratio, 1.1) << (shown_left[i].first - t0) / 1s;
        }
    }

    // The odometer stops: nothing is stored, the disk's other traffic is no write rate.
    const tp end = t0 + 20min;
    EXPECT_EQ(m.cells(end + 4s)[health_model::cell_disk].value.find(L" · —"), std::wstring::npos);
    const std::wstring silent = m.cells(end + 5s)[health_model::cell_disk].value;
    EXPECT_EQ(silent.substr(silent.size() - 4), L" · —") << testing::PrintToString(silent);
    // Capture only and after Stop: a dash, with the free space still shown.
    for (const bool stop : {false, true}) {
        if (stop)
            m.stopped();
        else
            m.started(false, end + 10s);
        m.disk(disk_space{1000 * GiB, 10 * GiB}, end + 15s);
        EXPECT_EQ(m.cells(end + 15s)[health_model::cell_disk].value, L"10,0 ГБ · —") << stop;
    }
}

TEST(health_model, a_new_recording_rates_the_disk_by_its_own_writes_only) {
    health_model m;
    m.started(false, t0);
    // During capture only, something else freed 50 GiB.
    for (int s = 0; s <= 60; s += 5)
        m.disk(disk_space{1000 * GiB, (100 + 50 * s / 60) * GiB}, t0 + std::chrono::seconds(s));
    m.started(true, t0 + 61s);
    for (int s = 65; s <= 185; s += 5) {
        m.record_status(step(true), t0 + std::chrono::seconds(s));
        m.disk(disk_space{1000 * GiB, 150 * GiB - static_cast<std::uint64_t>(s - 60) * (GiB / 10)},
               t0 + std::chrono::seconds(s));
    }
    ASSERT_TRUE(m.write_rate());
    EXPECT_NEAR(*m.write_rate() / (GiB / 10), 1.0, 1e-6);
}
