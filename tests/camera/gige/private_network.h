#pragma once
// Tests of the real GigE Vision path against Aravis's fake GigE Vision camera
// (arv-fake-gv-camera-0.8), run in a private network namespace so that discovery broadcasts
// and streams never leave it.
//
// Each test body starts with RUN_IN_PRIVATE_NETWORK(limit): outside the namespace it runs
// the same test again as `unshare -n <this binary> --gtest_filter=<test>`, echoes its output,
// and passes, fails or skips as the inner run did; it skips with the reason when the system
// does not allow a network namespace or the tools are missing. The inner run is killed at the
// time limit. Inside, the test brings `lo` up, starts the fake camera on 127.0.0.1 and uses
// the camera layer in real mode (QUILLMAR_CAMERAS unset).
#include "camera/jai_sdk.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace gige_test {

bool inside_private_network();

struct outer_run {
    enum class outcome { passed, failed, skipped };
    outcome result = outcome::failed;
    std::string message;
};
// Runs the current test again inside a new network namespace (see above).
outer_run run_current_test_in_private_network(std::chrono::seconds limit);

// Inside the namespace: brings lo up and makes the camera layer use real cameras.
void prepare_private_network();

// A command's exit status (-1 when it could not run or was killed at the time-out).
int run_command(const std::vector<std::string>& argv, std::chrono::seconds timeout = std::chrono::seconds(20));

// arv-fake-gv-camera-0.8 on 127.0.0.1, stopped (SIGKILL, as if it vanished) by stop() or
// the destructor. `extra` are further options, e.g. {"-r", "10"} to drop packets.
class fake_camera {
public:
    explicit fake_camera(std::vector<std::string> extra = {});
    ~fake_camera();
    fake_camera(const fake_camera&) = delete;
    fake_camera& operator=(const fake_camera&) = delete;

    void start();
    void stop();
    bool running() const { return pid_ > 0; }
    // Writes features while nobody else controls the camera: arv-tool-0.8 control A=1 B=2.
    bool control(const std::vector<std::string>& assignments);

private:
    std::vector<std::string> extra_;
    int pid_ = -1;
};

// The fake camera's test pattern: pixel (x, y) of a frame is (x + y + k) % 255 for one k per
// frame. Returns k when every pixel of the Mono8 frame fits, nothing otherwise.
std::optional<int> whole_pattern_offset(const std::uint8_t* image, std::int64_t width, std::int64_t height);

// The numbers of a "delivered: .. lost: .. await: .. corrupt: .. fps: .." line.
struct grab_stats {
    std::uint64_t delivered = 0, lost = 0, awaiting = 0, corrupt = 0, fps = 0;
};
std::optional<grab_stats> parse_grab_stats(const std::wstring& text);

}  // namespace gige_test

#define RUN_IN_PRIVATE_NETWORK(limit)                                                                    \
    do {                                                                                                 \
        if (!::gige_test::inside_private_network()) {                                                    \
            const auto outer = ::gige_test::run_current_test_in_private_network(limit);                  \
            if (outer.result == ::gige_test::outer_run::outcome::skipped) GTEST_SKIP() << outer.message; \
            ASSERT_EQ(outer.result, ::gige_test::outer_run::outcome::passed) << outer.message;           \
            return;                                                                                      \
        }                                                                                                \
        ::gige_test::prepare_private_network();                                                          \
    } while (0)
