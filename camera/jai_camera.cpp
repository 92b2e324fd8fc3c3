#include "camera/jai_camera.h"

#include <stdexcept>

JAI_Camera::JAI_Camera(FACTORY_HANDLE factory, const std::string& camera_id) : id_(camera_id) {
    const camera_status status = J_Camera_Open(factory, camera_id.c_str(), &handle_, 0);
    if (!status.ok() || !handle_) throw std::runtime_error(status.describe("Не удалось открыть камеру."));
}

JAI_Camera::~JAI_Camera() { J_Camera_Close(handle_); }
