// The recording pipeline against stalls: a scripted camera (25 fps) and a scripted odometer
// (100 messages a second) put their arrivals into the queue at their own pace while the disk
// or the encoder stalls; what is stored must be exactly the pairing the arrival order gives.
#include "recording/store_pipeline.h"

#include "base/locale_text.h"
#include "database/database_layout.h"
#include "database/frame_image.h"
#include "tests/database/db_test_util.h"
#include "tests/support/fault_injection_env.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

constexpr int width = 64, height = 48;
constexpr std::size_t frame_bytes = width * height;

// Stall windows measured from the start of the run.
struct stall_plan {
    std::vector<std::pair<steady::duration, steady::duration>> windows;  // [from, to)
    steady::time_point start = steady::now();

    // Sleeps out the window the caller is in, if any.
    void wait_out() const {
        const auto t = steady::now() - start;
        for (const auto& [from, to] : windows)
            if (t >= from && t < to) std::this_thread::sleep_for(to - t);
    }
};

// 300 ms every 2 s, and once 3 s.
std::vector<std::pair<steady::duration, steady::duration>> every_two_seconds_and_once_three() {
    return {{200ms, 500ms}, {2200ms, 2500ms}, {4200ms, 4500ms}, {900ms, 3900ms}};
}

// The value a frame's pixels carry: distinct within any 50 consecutive frames.
std::uint8_t shade(int frame) { return static_cast<std::uint8_t>((frame % 50) * 5 + 2); }

struct script_result {
    std::map<std::uint32_t, int> due;  // count -> frame, from the arrival order alone
    std::uint64_t refused = 0;         // frames the queue did not take
    std::uint64_t lost = 0;            // messages whose newest frame was refused
    std::uint32_t last_count = 0;
};

class StorePipeline : public ::testing::Test {
protected:
    void SetUp() override {
        options.env = &fault;
        db = std::make_unique<recording_database>(options);
        session = std::make_unique<recording_session>(
            sink, to_wide(dir.str()), L"левый", "1 : a", nullptr, *db, [] { return std::time(nullptr); },
            [] { return std::optional<disk_space>(); });
    }

    // Camera and odometer in real time for `run`: a message every 10 ms, a frame before every
    // fourth. The reference pairing is computed here, from the order of the arrivals.
    script_result play(recording_queue& queue, steady::duration run) {
        script_result r;
        std::vector<std::uint8_t> bytes(frame_bytes);
        int newest = 0;  // 0: none since the last message; -1: the newest was refused
        const auto start = steady::now();
        for (int tick = 0; steady::now() - start < run; ++tick) {
            std::this_thread::sleep_until(start + tick * 10ms);
            if (tick % 4 == 0) {
                const int frame = tick / 4 + 1;
                std::fill(bytes.begin(), bytes.end(), shade(frame));
                if (queue.push_frame(bytes.data(), bytes.size(), frame_geometry{width, height, 0, 8},
                                     static_cast<std::uint64_t>(frame))) {
                    newest = frame;
                } else {
                    newest = -1;
                    ++r.refused;
                }
            }
            r.last_count = 1000 + static_cast<std::uint32_t>(tick);
            EXPECT_TRUE(queue.push_count(r.last_count, 7));
            if (newest > 0) r.due[r.last_count] = newest;
            if (newest < 0) ++r.lost;
            newest = 0;
        }
        return r;
    }

    // count -> frame, read back from the database.
    std::map<std::uint32_t, int> stored() const {
        std::map<std::uint32_t, int> out;
        for (const auto& [key, value] : db_test::all_keys(to_narrow(db->path()))) {
            if (!is_frame_key(key)) continue;
            const cv::Mat image = decode_frame(value);
            const int v = image.empty() ? -1 : image.at<cv::Vec3b>(height / 2, width / 2)[0];
            out[static_cast<std::uint32_t>(std::stoul(key))] = v;
        }
        return out;
    }

    static std::map<std::uint32_t, int> shades(const std::map<std::uint32_t, int>& due) {
        std::map<std::uint32_t, int> out;
        for (const auto& [count, frame] : due) out[count] = shade(frame);
        return out;
    }

    // The JPEG of a flat frame may be off by one or two grey levels.
    static void expect_same_frames(const std::map<std::uint32_t, int>& expected,
                                   const std::map<std::uint32_t, int>& actual) {
        ASSERT_EQ(expected.size(), actual.size());
        for (auto e = expected.begin(), a = actual.begin(); e != expected.end(); ++e, ++a) {
            ASSERT_EQ(e->first, a->first);
            ASSERT_NEAR(e->second, a->second, 2) << "count " << e->first;
        }
    }

    std::uint64_t dropped_in_log_rows() const {
        std::uint64_t n = 0;
        static const std::wregex row(
            L"Очередь записи переполнена: потеряно кадров: (\\d+) \\(в очереди было \\d+ кадров, "
            L"\\d+ МБ\\)");
        for (const auto& text : sink->texts(thread_event::log_error)) {
            std::wsmatch m;
            if (std::regex_match(text, m, row)) n += std::stoull(m[1].str());
        }
        return n;
    }

    test_support::temp_dir dir{"qm-pipe"};
    test_support::fault_injection_env fault;
    recording_database_options options;
    std::unique_ptr<recording_database> db;
    std::shared_ptr<test_support::recording_sink> sink = std::make_shared<test_support::recording_sink>();
    std::unique_ptr<recording_session> session;
};

}  // namespace

TEST_F(StorePipeline, DiskStallsWithinTheQueueLoseNoFrameAndKeepThePairing) {
    recording_queue queue(200 * frame_bytes);  // 8 s of frames
    queue.open();
    stall_plan stalls{every_two_seconds_and_once_three()};
    fault.before_each_append([&] { stalls.wait_out(); });
    script_result r;
    {
        store_pipeline pipeline(sink, queue, *session);
        r = play(queue, 5s);
        queue.close();
        pipeline.finish();
        EXPECT_EQ(pipeline.frames_lost(), 0u);
    }
    EXPECT_EQ(r.refused, 0u);
    EXPECT_GT(queue.snapshot().highest_frames, 50u) << "the 3 s stall never held frames: it did not stall";
    expect_same_frames(shades(r.due), stored());
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
    // Every position was counted, the last one included.
    EXPECT_EQ(db_test::all_keys(to_narrow(db->path())).at("dpp_end"), make_frame_key(r.due.rbegin()->first));
}

TEST_F(StorePipeline, EncoderStallsWithinTheQueueLoseNoFrameAndKeepThePairing) {
    recording_queue queue(200 * frame_bytes);
    queue.open();
    stall_plan stalls{every_two_seconds_and_once_three()};
    store_pipeline_options o;
    o.encode = [&](queued_frame& f) {
        stalls.wait_out();
        store_pipeline::encode_jpeg(f);
    };
    script_result r;
    {
        store_pipeline pipeline(sink, queue, *session, o);
        r = play(queue, 5s);
        queue.close();
    }  // the destructor drains as Stop does
    EXPECT_EQ(r.refused, 0u);
    EXPECT_GT(queue.snapshot().highest_frames, 50u);
    expect_same_frames(shades(r.due), stored());
}

// A stall longer than the queue holds: frames are dropped at the camera's side and counted
// exactly; the log and the strip's news say how many; memory stays at the bound; the
// recording goes on with the right pairing after it.
TEST_F(StorePipeline, AStallLongerThanTheQueueDropsCountedFramesAndRecordingGoesOn) {
    recording_queue queue(20 * frame_bytes);
    queue.open();
    stall_plan stalls{{{500ms, 3500ms}}};
    fault.before_each_append([&] { stalls.wait_out(); });
    script_result r;
    std::uint64_t lost = 0;
    {
        store_pipeline pipeline(sink, queue, *session);
        r = play(queue, 4500ms);
        queue.close();
        pipeline.finish();
        lost = pipeline.frames_lost();
    }
    const auto levels = queue.snapshot();
    EXPECT_GT(r.refused, 20u);
    EXPECT_EQ(levels.dropped, r.refused);
    EXPECT_EQ(lost, r.lost);
    EXPECT_EQ(dropped_in_log_rows(), r.refused);
    EXPECT_LE(levels.highest_frames, 20u);
    EXPECT_LE(levels.capacity_frames, 20u);
    std::uint64_t news = 0;
    for (const auto& m : sink->messages())
        if (const auto* s = std::get_if<record_status_message>(&m); s && s->news == recording_news::queue_dropped)
            news += s->count;
    EXPECT_EQ(news, r.refused);
    const auto frames = stored();
    expect_same_frames(shades(r.due), frames);
    EXPECT_GT(frames.rbegin()->first, r.last_count - 100) << "nothing was stored after the stall";
}

// Stop stores every frame paired before it, says meanwhile how many are left, and closes the
// recording under its session.
TEST_F(StorePipeline, StopDrainsWhatWasPairedAndSaysHowManyAreLeft) {
    recording_queue queue(200 * frame_bytes);
    queue.open();
    stall_plan stalls{{{0ms, 1500ms}}};
    fault.before_each_append([&] { stalls.wait_out(); });
    store_pipeline_options o;
    o.drain_status_period = 100ms;
    script_result r;
    {
        store_pipeline pipeline(sink, queue, *session, o);
        r = play(queue, 600ms);
        queue.close();
        EXPECT_GT(pipeline.pending(), 0u);
        pipeline.finish();
        EXPECT_EQ(pipeline.pending(), 0u);
    }
    expect_same_frames(shades(r.due), stored());
    bool said = false;
    for (const auto& m : sink->messages())
        if (const auto* s = std::get_if<record_status_message>(&m); s && s->news == recording_news::draining)
            said = said || s->text.rfind(L"Сохранение записи: осталось кадров: ", 0) == 0;
    EXPECT_TRUE(said);
    EXPECT_FALSE(db->is_open());
    EXPECT_EQ(sink->texts(thread_event::database_info).size(), 1u);
}
