// The simulated track: its text, and the distance its profiles give over time.
#include "camera/simulated_track.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

namespace {

simulated_track track_of(const std::string& text) {
    std::string problem;
    const auto track = parse_simulated_track(text, &problem);
    EXPECT_TRUE(track) << text << ": " << problem;
    return track.value_or(simulated_track{});
}

}  // namespace

TEST(SimulatedTrack, ReadsEveryItemAndDefaultsTheSpeedByProfile) {
    const simulated_track t = track_of(
        "seed=18446744073709551615,profile=stopping,start=1765350000123,speed=12.5,mm_per_count=2,px_per_mm=1.5e0,"
        "change=missing@12000,change=hanging@3.5");
    EXPECT_EQ(t.seed, 18446744073709551615ull);
    EXPECT_EQ(t.motion, simulated_track::profile::stopping);
    EXPECT_EQ(t.start_ms, 1765350000123);
    EXPECT_EQ(t.speed_m_s, 12.5);
    EXPECT_EQ(t.mm_per_count, 2);
    EXPECT_EQ(t.px_per_mm, 1.5);
    ASSERT_EQ(t.changes.size(), 2u);
    EXPECT_EQ(t.changes[0].what, track_change::kind::missing);
    EXPECT_EQ(t.changes[0].at_mm, 12000);
    EXPECT_EQ(t.changes[1].what, track_change::kind::hanging);
    EXPECT_EQ(t.changes[1].at_mm, 3.5);

    EXPECT_EQ(track_of("start=0").speed_m_s, 10);
    EXPECT_EQ(track_of("start=0,profile=accelerating").speed_m_s, 20);
    EXPECT_EQ(track_of("profile=accelerating,speed=5,start=0").speed_m_s, 5);
}

TEST(SimulatedTrack, RefusesBadTextSayingWhatIsWrong) {
    struct row {
        const char* text;
        const char* says;
    };
    for (const row r : {row{"", "empty item"},
                        row{"seed=7", "start="},
                        row{"start=1,", "empty item"},
                        row{"start=1,,seed=2", "empty item"},
                        row{"start=1,seed", "key=value"},
                        row{"start=1,colour=red", "unknown key \"colour\""},
                        row{"start=1,start=2", "twice"},
                        row{"start=-5", "start"},
                        row{"start=1.5", "start"},
                        row{"start=1,seed=x", "seed"},
                        row{"start=1,seed=18446744073709551616", "seed"},
                        row{"start=1,profile=fast", "profile"},
                        row{"start=1,speed=0", "speed"},
                        row{"start=1,speed=nan", "speed"},
                        row{"start=1,speed= 5", "speed"},
                        row{"start=1,speed=5m", "speed"},
                        row{"start=1,speed=1e999", "speed"},
                        row{"start=1,px_per_mm=0x10", "px_per_mm"},
                        row{"start=1,mm_per_count=0", "mm_per_count"},
                        row{"start=1,change=gone@5", "gone"},
                        row{"start=1,change=missing", "KIND@MILLIMETRES"},
                        row{"start=1,change=missing@-5", "KIND@MILLIMETRES"},
                        row{"start=1,change=hanging@", "KIND@MILLIMETRES"}}) {
        std::string problem = "stale";
        EXPECT_FALSE(parse_simulated_track(r.text, &problem)) << r.text;
        EXPECT_NE(problem.find(r.says), std::string::npos) << r.text << " -> " << problem;
    }
    std::string problem = "stale";
    EXPECT_TRUE(parse_simulated_track("start=1", &problem));
    EXPECT_EQ(problem, "");
}

TEST(SimulatedTrack, ProfilesNeverGoBackAndMoveAsNamed) {
    for (const char* profile : {"constant", "accelerating", "stopping"}) {
        const simulated_track t = track_of(std::string("start=0,profile=") + profile);
        double last = 0;
        for (double s = -5; s < 300; s += 0.05) {
            const double d = t.distance_after(s);
            ASSERT_GE(d, last) << profile << " at " << s << " s";
            last = d;
        }
        EXPECT_EQ(t.distance_after(-1), 0) << profile;
    }
    const auto speed = [](const simulated_track& t, double s) {  // m/s around s
        return (t.distance_after(s + 0.005) - t.distance_after(s - 0.005)) / 10.0;
    };

    const simulated_track constant = track_of("start=0,speed=10");
    EXPECT_NEAR(constant.distance_after(2.5), 25000, 1e-6);

    const simulated_track accelerating = track_of("start=0,profile=accelerating");
    for (double s = 1; s < 60; s += 1) EXPECT_GT(speed(accelerating, s + 1), speed(accelerating, s)) << s;
    EXPECT_NEAR(accelerating.distance_after(60), 600000, 1e-6);  // 20 m/s reached after 600 m
    EXPECT_NEAR(speed(accelerating, 90), 20, 1e-6);

    const simulated_track stopping = track_of("start=0,profile=stopping");
    EXPECT_NEAR(speed(stopping, 5), 10, 1e-6);
    EXPECT_LT(speed(stopping, 19.9), 0.2);
    EXPECT_EQ(stopping.distance_after(20.5), stopping.distance_after(29.5)) << "standing";
    EXPECT_GT(speed(stopping, 35), 0.5) << "moving again";
    EXPECT_NEAR(stopping.distance_after(40), 200000, 1e-6);
    EXPECT_NEAR(stopping.distance_after(47) - stopping.distance_after(7), 200000, 1e-6) << "cycles repeat";
}

TEST(SimulatedTrack, WallClockAndCountsAgreeAcrossStarts) {
    const auto now = std::chrono::system_clock::now();
    const std::int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const simulated_track early = track_of("start=" + std::to_string(now_ms) + ",mm_per_count=2");
    const simulated_track late = track_of("start=" + std::to_string(now_ms + 5000) + ",mm_per_count=2");
    const auto at = [&](double s) {
        return now + std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(s));
    };
    EXPECT_NEAR(early.distance_at(at(2)), 20000, 10.01);  // start is in whole milliseconds
    EXPECT_EQ(late.distance_at(at(2)), 0) << "not set off yet";
    // The same place is at the same count in both runs, five seconds apart.
    EXPECT_EQ(early.count_at(early.distance_at(at(3)), 1000), late.count_at(late.distance_at(at(8)), 1000));
    EXPECT_EQ(early.count_at(5999, 1000), 1000u + 2999);
    EXPECT_EQ(early.count_at(4, 0xFFFFFFFFu), 1u) << "the counter wraps";
}
