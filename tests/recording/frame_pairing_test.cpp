#include "recording/frame_pairing.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// A script of arrivals: "F1" a frame named 1, "D" a dropped frame, "C10" a message with count
// 10, "S:x" the session code x. The result lists each job: "10=1" (count 10 stored frame 1),
// "10=-" (no new frame), "10=lost" (its frame was dropped), "S:x".
struct outcome {
    std::vector<std::string> jobs;
    std::vector<int> given_back;
};

outcome run(const std::vector<std::string>& script) {
    std::map<queued_frame*, int> names;
    std::vector<std::unique_ptr<queued_frame>> frames;
    outcome out;
    frame_pairing pairing([&](queued_frame* f) { out.given_back.push_back(names.at(f)); });
    for (const auto& step : script) {
        arrival a;
        if (step[0] == 'F') {
            frames.push_back(std::make_unique<queued_frame>());
            a.what = arrival::kind::frame;
            a.frame = frames.back().get();
            names[a.frame] = std::stoi(step.substr(1));
        } else if (step[0] == 'D') {
            a.what = arrival::kind::dropped;
            a.dropped = 1;
        } else if (step[0] == 'C') {
            a.what = arrival::kind::count;
            a.count = static_cast<std::uint32_t>(std::stoul(step.substr(1)));
        } else {
            a.what = arrival::kind::session;
            a.code = step.substr(2);
        }
        if (auto job = pairing.take(std::move(a))) {
            if (job->what == recording_job::kind::session)
                out.jobs.push_back("S:" + job->code);
            else
                out.jobs.push_back(std::to_string(job->count) + "=" +
                                   (job->frame        ? std::to_string(names.at(job->frame))
                                    : job->frame_lost ? "lost"
                                                      : "-"));
        }
    }
    pairing.finish();
    return out;
}

}  // namespace

TEST(FramePairing, EachMessageGetsTheNewestFrameThatArrivedBeforeIt) {
    const struct {
        const char* name;
        std::vector<std::string> script;
        std::vector<std::string> jobs;
        std::vector<int> given_back;
    } cases[] = {
        {"one frame per message", {"F1", "C10", "F2", "C11"}, {"10=1", "11=2"}, {}},
        {"a position without a new frame", {"F1", "C10", "C11", "F2", "C12"}, {"10=1", "11=-", "12=2"}, {}},
        {"a frame no message wanted goes back at once", {"F1", "F2", "F3", "C10"}, {"10=3"}, {1, 2}},
        {"a frame after the last message goes back at the end", {"F1", "C10", "F2"}, {"10=1"}, {2}},
        {"a dropped newest frame loses the message's frame", {"F1", "D", "C10", "F2", "C11"}, {"10=lost", "11=2"}, {1}},
        {"a frame after a drop is the one stored", {"D", "F2", "C10"}, {"10=2"}, {}},
        {"a session code applies from the next message",
         {"F1", "C10", "S:b", "F2", "C11"},
         {"10=1", "S:b", "11=2"},
         {}},
        {"a count going backwards is still paired", {"F1", "C10", "F2", "C3"}, {"10=1", "3=2"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const outcome out = run(c.script);
        EXPECT_EQ(out.jobs, c.jobs);
        EXPECT_EQ(out.given_back, c.given_back);
    }
}
