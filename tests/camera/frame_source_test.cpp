#include "camera/continuous_grab.h"
#include "camera/continuous_grab_write.h"

#include "scripted_fixture.h"

#include <stdexcept>
#include <vector>

namespace {

using FrameSource = scripted_camera_test;

TEST_F(FrameSource, BufferGeometryFollowsThePixelFormat) {
    struct format {
        std::int64_t code;
        std::uint32_t bits;
    };
    for (const format f : {format{0x01080001, 8}, format{0x01000001, 8}, format{0x01100007, 16}}) {
        backend->set_feature("Width", 30);
        backend->set_feature("Height", 20);
        backend->set_feature("PixelFormat", f.code);
        auto fb = make_frame_buffer(camera->handle());
        EXPECT_EQ(fb->bits_per_pixel, f.bits);
        EXPECT_EQ(fb->pixel_format, f.code);
        EXPECT_EQ(fb->image.size(), 30u * 20u * f.bits / 8);
        EXPECT_EQ(fb->timestamp, 0u);
    }
}

TEST_F(FrameSource, GeometryFailuresThrowTheirTexts) {
    const std::pair<const char*, const char*> cases[] = {
        {"J_Camera_GetValueInt64:Width", "Не удалось прочитать ширину кадра."},
        {"J_Camera_GetValueInt64:Height", "Не удалось прочитать высоту кадра."},
        {"J_Camera_GetValueInt64:PixelFormat", "Не удалось прочитать формат пикселей."},
    };
    for (const auto& [call, text] : cases) {
        backend->clear_failures();
        backend->fail(call);
        try {
            make_frame_buffer(camera->handle());
            ADD_FAILURE() << call;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), text);
        }
    }
    backend->clear_failures();
    backend->set_feature("Width", -5);
    EXPECT_THROW(make_frame_buffer(camera->handle()), std::runtime_error);
}

TEST_F(FrameSource, HeightFailureLeavesNoSourceAndNoThread) {
    backend->fail("J_Camera_GetValueInt64:Height");
    std::shared_ptr<frame_source> source;
    try {
        source = std::make_shared<continuous_grab>(sink, config, camera);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Не удалось прочитать высоту кадра.");
    }
    EXPECT_FALSE(source);
    EXPECT_EQ(backend->count_calls("J_Camera_CreateDataStream"), 0u);
    EXPECT_EQ(backend->open_handles(), idle_handles);
}

TEST_F(FrameSource, CaptureOnlySourceAnswersAsNotRecording) {
    backend->set_free_running(true);
    continuous_grab source(sink, config, camera);
    EXPECT_EQ(source.session_code(), "");
    source.set_session_code("X");
    source.restart_recording(sink, "Y");
    EXPECT_EQ(source.session_code(), "");
    EXPECT_FALSE(source.is_recording());
    EXPECT_TRUE(sink->wait_for_kind(thread_event::new_frame));
    EXPECT_EQ(source.stop_and_join(), 0);
}

TEST_F(FrameSource, FailedAcquisitionStartLeavesTheSourceUntilStopAndTheCameraUsable) {
    backend->fail("J_Camera_ExecuteCommand:AcquisitionStart");
    auto source = std::make_shared<continuous_grab>(sink, config, camera);
    EXPECT_TRUE(sink->wait_for_kind(thread_event::log_error));
    EXPECT_EQ(sink->texts(thread_event::log_error), std::vector<std::wstring>{L"Не удалось запустить съёмку."});
    EXPECT_NE(source->buffer(), nullptr);
    EXPECT_EQ(source->stop_and_join(), -1);
    EXPECT_EQ(backend->open_handles(), idle_handles);  // the ended thread released what set-up acquired
    source.reset();

    backend->clear_failures();
    backend->set_free_running(true);
    sink = std::make_shared<test_support::recording_sink>();
    source = std::make_shared<continuous_grab>(sink, config, camera);
    EXPECT_TRUE(sink->wait_for_kind(thread_event::new_frame));
    EXPECT_EQ(source->stop_and_join(), 0);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
}

TEST_F(FrameSource, RepeatedStartAndStopLeavesNothingBehind) {
    backend->set_free_running(true);
    backend->set_record_calls(false);
    for (int i = 0; i < 20; ++i) {
        auto source = std::make_shared<continuous_grab>(sink, config, camera);
        if (i % 5 == 0) {
            EXPECT_TRUE(sink->wait_for_kind(thread_event::grab_stats));
        }
        source.reset();
        EXPECT_EQ(backend->open_handles(), idle_handles);
    }
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
    EXPECT_EQ(sink->texts(thread_event::log_info).size(), 20u);
}

// A recorder that notes what it saw, to check the order of creation and destruction.
struct noting_recorder : recorder {
    noting_recorder(std::vector<std::string>& log, scripted_camera_backend& backend, std::string code)
        : log_(log), backend_(backend), code_(std::move(code)) {
        log_.push_back("made:" + code_);
    }
    ~noting_recorder() override {
        // The capture thread must still be running: its stream is not closed yet.
        log_.push_back("ended:" + code_ +
                       (backend_.count_calls("J_DataStream_Close") == closes_at_start_ ? ":capturing" : ":stopped"));
    }
    std::string session_code() override { return code_; }
    void set_session_code(const std::string& code) override { code_ = code; }

    std::vector<std::string>& log_;
    scripted_camera_backend& backend_;
    std::string code_;
    std::size_t closes_at_start_ = backend_.count_calls("J_DataStream_Close");
};

TEST_F(FrameSource, RecordingSourceEndsTheRecorderBeforeTheCaptureThread) {
    backend->set_free_running(true);
    std::vector<std::string> log;
    recording_queue* seen = nullptr;
    auto factory_fn = [&](event_sink_ptr, const std::string& code, recording_queue* queue) {
        seen = queue;
        return std::make_unique<noting_recorder>(log, *backend, code);
    };
    {
        continuous_grab_write source(sink, config, camera, factory_fn);
        EXPECT_TRUE(source.is_recording());
        EXPECT_NE(seen, nullptr);  // the queue the capture thread feeds
        source.set_session_code("A : B");
        EXPECT_EQ(source.session_code(), "A : B");
        source.restart_recording(sink, "C : D");
        EXPECT_EQ(source.session_code(), "C : D");
        EXPECT_TRUE(sink->wait_for_kind(thread_event::new_frame));
    }
    EXPECT_EQ(log, (std::vector<std::string>{"made:", "ended:A : B:capturing", "made:C : D", "ended:C : D:capturing"}));
    EXPECT_EQ(backend->open_handles(), idle_handles);
}

TEST_F(FrameSource, RecorderThatCannotStartLeavesNothingRunning) {
    backend->set_free_running(true);
    auto failing = [](event_sink_ptr, const std::string&, recording_queue*) -> std::unique_ptr<recorder> {
        throw std::runtime_error("cannot record");
    };
    EXPECT_THROW(continuous_grab_write(sink, config, camera, failing), std::runtime_error);
    EXPECT_EQ(backend->open_handles(), idle_handles);
}

TEST_F(FrameSource, RecordingSourceWithoutRecorderKeepsItsSessionCode) {
    continuous_grab_write source(sink, config, camera, recorder_factory{});
    source.set_session_code("S");
    EXPECT_EQ(source.session_code(), "S");
    source.restart_recording(sink, "T");
    EXPECT_EQ(source.session_code(), "T");
}

}  // namespace
