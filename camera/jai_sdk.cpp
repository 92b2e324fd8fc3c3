#include "camera/jai_sdk.h"

#include "camera/aravis_backend.h"
#include "camera/camera_backend.h"
#include "camera/frame_buffer.h"
#include "camera/pixel_layout.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

std::mutex backend_mutex;  // guards retired_backends and the choice of the default backend
std::vector<std::shared_ptr<camera_backend>> retired_backends;
std::atomic<camera_backend*> active_backend{nullptr};

void install_locked(std::shared_ptr<camera_backend> backend) {
    active_backend.store(backend.get(), std::memory_order_release);
    retired_backends.push_back(std::move(backend));
}

std::shared_ptr<camera_backend> make_default_backend() {
    const char* choice = std::getenv("QUILLMAR_CAMERAS");
    const bool simulated = choice && std::string(choice) == "simulated";
    std::string problem;
    const simulated_picture picture = parse_simulated_picture(
        std::getenv("QUILLMAR_SIMULATED_SCENE"), std::getenv("QUILLMAR_SIMULATED_SIZE"), &problem);
    if (simulated && !problem.empty()) std::cerr << problem << std::endl;
    return std::make_shared<aravis_backend>(simulated ? aravis_backend::mode::simulated
                                                      : aravis_backend::mode::real,
                                            picture);
}

camera_backend& backend() { return current_camera_backend(); }

}  // namespace

void install_camera_backend(std::shared_ptr<camera_backend> backend) {
    std::lock_guard<std::mutex> lock(backend_mutex);
    if (backend) {
        install_locked(std::move(backend));
    } else {
        active_backend.store(nullptr, std::memory_order_release);
    }
}

camera_backend& current_camera_backend() {
    if (camera_backend* b = active_backend.load(std::memory_order_acquire)) return *b;
    std::lock_guard<std::mutex> lock(backend_mutex);
    if (camera_backend* b = active_backend.load(std::memory_order_acquire)) return *b;
    install_locked(make_default_backend());
    return *active_backend.load(std::memory_order_acquire);
}

J_STATUS_TYPE copy_sdk_text(const char* text, char* buffer, std::uint32_t* size) {
    if (!text || !buffer || !size) return J_ST_INVALID_PARAMETER;
    const std::size_t needed = std::strlen(text) + 1;
    if (needed > *size) return J_ST_INVALID_BUFFER_SIZE;
    std::memcpy(buffer, text, needed);
    *size = static_cast<std::uint32_t>(needed);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE J_Factory_Open(const char* name, FACTORY_HANDLE* factory) {
    return backend().factory_open(name, factory);
}
J_STATUS_TYPE J_Factory_Close(FACTORY_HANDLE factory) { return backend().factory_close(factory); }
J_STATUS_TYPE J_Factory_GetInfo(int info, char* buffer, std::uint32_t* size) {
    return backend().factory_get_info(info, buffer, size);
}
J_STATUS_TYPE J_Factory_UpdateCameraList(FACTORY_HANDLE factory, bool* changed) {
    return backend().factory_update_camera_list(factory, changed);
}
J_STATUS_TYPE J_Factory_GetNumOfCameras(FACTORY_HANDLE factory, std::uint32_t* count) {
    return backend().factory_get_num_of_cameras(factory, count);
}
J_STATUS_TYPE J_Factory_GetCameraIDByIndex(FACTORY_HANDLE factory, std::int32_t index, char* id,
                                           std::uint32_t* size) {
    return backend().factory_get_camera_id_by_index(factory, index, id, size);
}
J_STATUS_TYPE J_Factory_GetCameraInfo(FACTORY_HANDLE factory, const char* camera_id, int info,
                                      char* buffer, std::uint32_t* size) {
    return backend().factory_get_camera_info(factory, camera_id, info, buffer, size);
}

J_STATUS_TYPE J_Camera_Open(FACTORY_HANDLE factory, const char* camera_id, CAM_HANDLE* camera, int) {
    return backend().camera_open(factory, camera_id, camera);
}
J_STATUS_TYPE J_Camera_Close(CAM_HANDLE camera) { return backend().camera_close(camera); }
J_STATUS_TYPE J_Camera_GetValueDouble(CAM_HANDLE camera, const char* feature, double* value) {
    return backend().camera_get_value_double(camera, feature, value);
}

J_STATUS_TYPE J_Camera_GetValueInt64(CAM_HANDLE camera, const char* feature, std::int64_t* value) {
    return backend().camera_get_value_int64(camera, feature, value);
}
J_STATUS_TYPE J_Camera_SetValueString(CAM_HANDLE camera, const char* feature, const char* value) {
    return backend().camera_set_value_string(camera, feature, value);
}
J_STATUS_TYPE J_Camera_ExecuteCommand(CAM_HANDLE camera, const char* command) {
    return backend().camera_execute_command(camera, command);
}
J_STATUS_TYPE J_Camera_GetNumOfDataStreams(CAM_HANDLE camera, std::uint32_t* count) {
    return backend().camera_get_num_of_data_streams(camera, count);
}
J_STATUS_TYPE J_Camera_CreateDataStream(CAM_HANDLE camera, std::uint32_t index, STREAM_HANDLE* stream) {
    return backend().camera_create_data_stream(camera, index, stream);
}

J_STATUS_TYPE J_DataStream_SetParam(STREAM_HANDLE stream, int param, void* value, std::uint32_t size) {
    return backend().stream_set_param(stream, param, value, size);
}
J_STATUS_TYPE J_DataStream_AnnounceBuffer(STREAM_HANDLE stream, void* block, std::uint32_t size,
                                          void* private_data, BUF_HANDLE* buffer) {
    return backend().stream_announce_buffer(stream, block, size, private_data, buffer);
}
J_STATUS_TYPE J_DataStream_QueueBuffer(STREAM_HANDLE stream, BUF_HANDLE buffer) {
    return backend().stream_queue_buffer(stream, buffer);
}
J_STATUS_TYPE J_DataStream_RegisterEvent(STREAM_HANDLE stream, int kind, HANDLE condition, EVT_HANDLE* event) {
    return backend().stream_register_event(stream, kind, condition, event);
}
J_STATUS_TYPE J_DataStream_UnRegisterEvent(STREAM_HANDLE stream, int kind) {
    return backend().stream_unregister_event(stream, kind);
}
J_STATUS_TYPE J_DataStream_StartAcquisition(STREAM_HANDLE stream, int flag, std::uint64_t count) {
    return backend().stream_start_acquisition(stream, flag, count);
}
J_STATUS_TYPE J_DataStream_StopAcquisition(STREAM_HANDLE stream, int flag) {
    return backend().stream_stop_acquisition(stream, flag);
}
J_STATUS_TYPE J_DataStream_GetBufferInfo(STREAM_HANDLE stream, BUF_HANDLE buffer, int item, void* value,
                                         std::uint32_t* size) {
    return backend().stream_get_buffer_info(stream, buffer, item, value, size);
}
J_STATUS_TYPE J_DataStream_GetStreamInfo(STREAM_HANDLE stream, int item, void* value, std::uint32_t* size) {
    return backend().stream_get_stream_info(stream, item, value, size);
}
J_STATUS_TYPE J_DataStream_FlushQueue(STREAM_HANDLE stream, int mode) {
    return backend().stream_flush_queue(stream, mode);
}
J_STATUS_TYPE J_DataStream_RevokeBuffer(STREAM_HANDLE stream, BUF_HANDLE buffer, void** block, void** private_data) {
    return backend().stream_revoke_buffer(stream, buffer, block, private_data);
}
J_STATUS_TYPE J_DataStream_Close(STREAM_HANDLE stream) { return backend().stream_close(stream); }

J_STATUS_TYPE J_Event_CreateCondition(HANDLE* condition) { return backend().event_create_condition(condition); }
J_STATUS_TYPE J_Event_WaitForCondition(HANDLE condition, std::uint32_t timeout_ms, std::uint32_t* result) {
    return backend().event_wait_for_condition(condition, timeout_ms, result);
}
J_STATUS_TYPE J_Event_ExitCondition(HANDLE condition) { return backend().event_exit_condition(condition); }
J_STATUS_TYPE J_Event_CloseCondition(HANDLE condition) { return backend().event_close_condition(condition); }
J_STATUS_TYPE J_Event_GetData(EVT_HANDLE event, void* destination, std::uint32_t* size) {
    return backend().event_get_data(event, destination, size);
}
J_STATUS_TYPE J_Event_Close(EVT_HANDLE event) { return backend().event_close(event); }

J_STATUS_TYPE J_Image_Rotate(J_tIMAGE_INFO* info, int code) {
    if (!info || code != J_ROTATE_180 || !info->pImageBuffer) return J_ST_INVALID_PARAMETER;
    const std::size_t pixels = static_cast<std::size_t>(info->iSizeX) * info->iSizeY;
    return rotate_pixels_180(info->pImageBuffer, info->iImageSize, pixels, info->iPixelType,
                             bits_per_pixel_of(info->iPixelType))
               ? J_ST_SUCCESS
               : J_ST_INVALID_PARAMETER;
}
