#pragma once
// Puts the scripted camera double behind the camera layer for one test, then goes back to
// the default (the simulated camera under CTest).
#include "camera/camera_backend.h"
#include "camera/scripted_camera_backend.h"

#include <memory>
#include <vector>

namespace test_support {

class scripted_cameras {
public:
    explicit scripted_cameras(std::vector<scripted_camera> cameras = {})
        : backend_(std::make_shared<scripted_camera_backend>()) {
        backend_->set_cameras(std::move(cameras));
        install_camera_backend(backend_);
    }
    ~scripted_cameras() { install_camera_backend(nullptr); }
    scripted_camera_backend& backend() { return *backend_; }

private:
    std::shared_ptr<scripted_camera_backend> backend_;
};

}  // namespace test_support
