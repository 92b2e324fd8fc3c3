#pragma once
// The scripted camera double for one test's main window: pass backend_ptr() to the
// fixture's open(); windows opened without it take the default (the simulated camera under
// CTest).
#include "tests/support/scripted_camera_backend.h"

#include <memory>
#include <vector>

namespace test_support {

class scripted_cameras {
public:
    explicit scripted_cameras(std::vector<scripted_camera> cameras = {})
        : backend_(std::make_shared<scripted_camera_backend>()) {
        backend_->set_cameras(std::move(cameras));
    }
    scripted_camera_backend& backend() { return *backend_; }
    std::shared_ptr<camera_backend> backend_ptr() const { return backend_; }

private:
    std::shared_ptr<scripted_camera_backend> backend_;
};

}  // namespace test_support
