#pragma once
// A frame_source without threads, for the state machine and the window's command tests.
#include "camera/frame_buffer.h"
#include "camera/frame_source.h"

#include <optional>
#include <string>
#include <vector>

namespace test_support {

class fake_frame_source : public frame_source {
public:
    explicit fake_frame_source(bool recording, int* destroyed = nullptr)
        : recording_(recording), destroyed_(destroyed) {}
    ~fake_frame_source() override {
        if (destroyed_) ++*destroyed_;
    }
    frame_buffer* buffer() override { return frame; }
    std::string session_code() override { return code_; }
    void set_session_code(const std::string& code) override { code_ = code; }
    void restart_recording(event_sink_ptr, const std::string& code) override { restarts.push_back(code); }
    bool is_recording() override { return recording_; }
    std::optional<recording_queue::levels> queue_levels() override { return levels; }

    std::vector<std::string> restarts;
    std::optional<recording_queue::levels> levels;  // what queue_levels() hands out
    frame_buffer* frame = nullptr;                  // what buffer() hands out; not owned

private:
    bool recording_;
    int* destroyed_;
    std::string code_;
};

}  // namespace test_support
