#include "app/capture_state.h"
#include "app/window_ids.h"
#include "tests/app/fake_frame_source.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using test_support::fake_frame_source;

const int always_on[] = {ID_EXPOSURE_COMBO, ID_EXIT, ID_DPP_TEST};
const int database_commands[] = {ID_VIEW_DATABASE,        ID_DELETE_DATABASE, ID_ARCHIVE_DATABASE, ID_REPLACE_SIDE,
                                 ID_REPLACE_SESSION_CODE, ID_EXPORT_DATABASE, ID_COMPARE_DATABASE};

TEST(capture_state, idle_without_camera_enables_only_what_needs_no_camera_or_selection) {
    capture_state s;
    EXPECT_EQ(s.mode(), capture_mode::idle);
    for (int id : {ID_CAMERA_COMBO, ID_SETTINGS, ID_REFRESH_CAMERAS, ID_REFRESH_DATABASES})
        EXPECT_TRUE(s.is_enabled(id)) << id;
    for (int id : {ID_CAPTURE, ID_CAPTURE_RECORD, ID_STOP, ID_SESSION_CODE}) EXPECT_FALSE(s.is_enabled(id)) << id;
    for (int id : database_commands) {
        EXPECT_FALSE(s.is_enabled(id, {true, false})) << id;
        EXPECT_FALSE(s.is_enabled(id, {false, false})) << id;
        EXPECT_TRUE(s.is_enabled(id, {true, true})) << id;
    }
    for (int id : always_on) EXPECT_TRUE(s.is_enabled(id)) << id;
    s.set_camera_open(true);
    EXPECT_TRUE(s.is_enabled(ID_CAPTURE));
    EXPECT_TRUE(s.is_enabled(ID_CAPTURE_RECORD));
}

TEST(capture_state, capturing_and_recording_disable_idle_commands_and_differ_in_session_code) {
    for (bool recording : {false, true}) {
        capture_state s;
        s.set_camera_open(true);
        ASSERT_TRUE(s.start([&] { return std::make_shared<fake_frame_source>(recording); }));
        EXPECT_EQ(s.mode(), recording ? capture_mode::recording : capture_mode::capturing);
        EXPECT_TRUE(s.is_enabled(ID_STOP));
        EXPECT_EQ(s.is_enabled(ID_SESSION_CODE), recording);
        for (int id :
             {ID_CAMERA_COMBO, ID_SETTINGS, ID_REFRESH_CAMERAS, ID_REFRESH_DATABASES, ID_CAPTURE, ID_CAPTURE_RECORD})
            EXPECT_FALSE(s.is_enabled(id)) << id;
        for (int id : database_commands) EXPECT_FALSE(s.is_enabled(id, {true, true})) << id;
        for (int id : always_on) EXPECT_TRUE(s.is_enabled(id)) << id;
    }
}

TEST(capture_state, start_checks_its_precondition_and_stop_destroys_the_source) {
    capture_state s;
    int made = 0, destroyed = 0;
    auto maker = [&] {
        ++made;
        return std::make_shared<fake_frame_source>(true, &destroyed);
    };
    EXPECT_FALSE(s.start(maker));  // no camera open
    EXPECT_EQ(made, 0);
    s.set_camera_open(true);
    EXPECT_TRUE(s.start(maker));
    EXPECT_FALSE(s.start(maker));  // already recording: nothing changes
    EXPECT_EQ(made, 1);
    EXPECT_TRUE(s.stop());
    EXPECT_EQ(destroyed, 1);
    EXPECT_FALSE(s.active());
    EXPECT_FALSE(s.stop());
}

TEST(capture_state, a_failing_maker_leaves_the_state_idle) {
    capture_state s;
    s.set_camera_open(true);
    EXPECT_THROW(s.start([]() -> frame_source_ptr { throw std::runtime_error("Не удалось открыть камеру."); }),
                 std::runtime_error);
    EXPECT_FALSE(s.active());
    EXPECT_FALSE(s.start([] { return frame_source_ptr(); }));
    EXPECT_EQ(s.mode(), capture_mode::idle);
}

}  // namespace
