#pragma once
// A scripted camera for one test, behind a factory of its own: one camera "CAM-1 INT=>SD",
// opened, plus the capture configuration and a sink that records what threads post.
#include "camera/capture_thread.h"
#include "camera/jai_camera.h"
#include "camera/jai_factory.h"
#include "tests/support/scripted_camera_backend.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

#include <memory>

class scripted_camera_test : public ::testing::Test {
protected:
    void SetUp() override {
        backend = std::make_shared<scripted_camera_backend>();
        backend->set_cameras({{"CAM-1 INT=>SD", "Model-A", "10.0.0.5"}});
        factory = std::make_unique<jai_factory>(backend);
        camera = std::make_shared<JAI_Camera>(factory->handle(), "CAM-1 INT=>SD");
        sink = std::make_shared<test_support::recording_sink>();
    }

    void TearDown() override {
        camera.reset();
        factory.reset();
        EXPECT_EQ(backend->open_handles(), 0u);
    }

    // Factory and camera stay open for the whole test.
    static constexpr std::size_t idle_handles = 2;

    test_support::temp_dir dir{"qm-camera"};
    std::shared_ptr<scripted_camera_backend> backend;
    std::unique_ptr<jai_factory> factory;
    jai_camera_ptr camera;
    capture_config config;
    std::shared_ptr<test_support::recording_sink> sink;
};
