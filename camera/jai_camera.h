#pragma once
// JAI_Camera: the owner of one open camera handle.
//
// Ownership: the main window holds the active camera as a shared pointer and frame sources
// hold another while they capture, so the camera is closed (J_Camera_Close) only when the
// last of them lets go. Errors: the constructor throws std::runtime_error
// "Не удалось открыть камеру.", followed by the library's words when it gave any. Thread safety:
// the handle may be used from any thread through the J_ calls; the object itself is
// immutable after construction.
#include "camera/jai_sdk.h"

#include <memory>
#include <string>

class JAI_Camera {
public:
    JAI_Camera(FACTORY_HANDLE factory, const std::string& camera_id);
    ~JAI_Camera();
    JAI_Camera(const JAI_Camera&) = delete;
    JAI_Camera& operator=(const JAI_Camera&) = delete;

    CAM_HANDLE handle() const { return handle_; }
    const std::string& id() const { return id_; }

private:
    CAM_HANDLE handle_ = nullptr;
    std::string id_;
};

using jai_camera_ptr = std::shared_ptr<JAI_Camera>;
