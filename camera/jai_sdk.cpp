#include "camera/jai_sdk.h"

#include "camera/aravis_backend.h"
#include "camera/camera_backend.h"
#include "camera/frame_buffer.h"
#include "camera/pixel_layout.h"
#include "camera/simulated_track.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// Which backend made each open handle. The J_ calls are free functions on bare handles, as
// the vendor's are, so the backend has to be found from the handle alone, the way a file
// descriptor finds its file: this table is the handle space of the J_ calls, not a choice.
// Handle values are unique in the process (handle_table.h), so one table serves every
// backend. An entry keeps its backend alive until the handle is closed.
class handle_owners {
public:
    void add(const void* handle, std::shared_ptr<camera_backend> backend) {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        owners_[handle] = std::move(backend);
    }
    std::shared_ptr<camera_backend> find(const void* handle) const {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        auto it = owners_.find(handle);
        return it == owners_.end() ? nullptr : it->second;
    }
    void remove(const void* handle) {
        std::shared_ptr<camera_backend> last;  // released after the lock: it may be the last reference
        std::unique_lock<std::shared_mutex> lock(mutex_);
        auto it = owners_.find(handle);
        if (it == owners_.end()) return;
        last = std::move(it->second);
        owners_.erase(it);
    }

private:
    mutable std::shared_mutex mutex_;  // guards owners_
    std::unordered_map<const void*, std::shared_ptr<camera_backend>> owners_;
};

handle_owners owners;

// Runs `call` on the backend that made `handle`; J_ST_INVALID_HANDLE when none did.
template <typename Call>
camera_status on(const void* handle, Call&& call) {
    const std::shared_ptr<camera_backend> backend = owners.find(handle);
    if (!backend) return J_ST_INVALID_HANDLE;
    return call(*backend);
}

// As on(), and the handle that a successful call made (in *made) now belongs to the same
// backend.
template <typename Call>
camera_status opening(const void* parent, void* const* made, Call&& call) {
    const std::shared_ptr<camera_backend> backend = owners.find(parent);
    if (!backend) return J_ST_INVALID_HANDLE;
    camera_status status = call(*backend);
    if (status.ok() && made && *made) owners.add(*made, backend);
    return status;
}

// As on(), and a successful call closed `handle`.
template <typename Call>
camera_status closing(const void* handle, Call&& call) {
    camera_status status = on(handle, std::forward<Call>(call));
    if (status.ok()) owners.remove(handle);
    return status;
}

}  // namespace

std::shared_ptr<camera_backend> camera_backend_from_environment() {
    const char* choice = std::getenv("QUILLMAR_CAMERAS");
    const bool simulated = choice && std::string(choice) == "simulated";
    std::string problem;
    const simulated_picture picture = parse_simulated_picture(std::getenv("QUILLMAR_SIMULATED_SCENE"),
                                                              std::getenv("QUILLMAR_SIMULATED_SIZE"), &problem);
    if (simulated && !problem.empty()) std::cerr << problem << std::endl;
    // The under-car scene reads the track itself, as the odometer simulator does; a track it
    // cannot read is said here, once, instead of silently moving with the frame number.
    if (simulated && picture.kind == simulated_picture::scene::undercar) {
        simulated_track_from_environment(&problem);
        if (!problem.empty()) std::cerr << problem << std::endl;
    }
    return std::make_shared<aravis_backend>(simulated ? aravis_backend::mode::simulated : aravis_backend::mode::real,
                                            picture);
}

J_STATUS_TYPE copy_sdk_text(const char* text, char* buffer, std::uint32_t* size) {
    if (!text || !buffer || !size) return J_ST_INVALID_PARAMETER;
    const std::size_t needed = std::strlen(text) + 1;
    if (needed > *size) return J_ST_INVALID_BUFFER_SIZE;
    std::memcpy(buffer, text, needed);
    *size = static_cast<std::uint32_t>(needed);
    return J_ST_SUCCESS;
}

camera_status J_Factory_Open(std::shared_ptr<camera_backend> backend, const char* name, FACTORY_HANDLE* factory) {
    if (!backend) return J_ST_INVALID_PARAMETER;
    camera_status status = backend->factory_open(name, factory);
    if (status.ok() && factory && *factory) owners.add(*factory, std::move(backend));
    return status;
}
camera_status J_Factory_Close(FACTORY_HANDLE factory) {
    return closing(factory, [&](camera_backend& b) { return b.factory_close(factory); });
}
camera_status J_Factory_GetInfo(FACTORY_HANDLE factory, int info, char* buffer, std::uint32_t* size) {
    return on(factory, [&](camera_backend& b) { return b.factory_get_info(info, buffer, size); });
}
camera_status J_Factory_UpdateCameraList(FACTORY_HANDLE factory, bool* changed) {
    return on(factory, [&](camera_backend& b) { return b.factory_update_camera_list(factory, changed); });
}
camera_status J_Factory_GetNumOfCameras(FACTORY_HANDLE factory, std::uint32_t* count) {
    return on(factory, [&](camera_backend& b) { return b.factory_get_num_of_cameras(factory, count); });
}
camera_status J_Factory_GetCameraIDByIndex(FACTORY_HANDLE factory, std::int32_t index, char* id, std::uint32_t* size) {
    return on(factory, [&](camera_backend& b) { return b.factory_get_camera_id_by_index(factory, index, id, size); });
}
camera_status J_Factory_GetCameraInfo(FACTORY_HANDLE factory, const char* camera_id, int info, char* buffer,
                                      std::uint32_t* size) {
    return on(factory,
              [&](camera_backend& b) { return b.factory_get_camera_info(factory, camera_id, info, buffer, size); });
}

camera_status J_Camera_Open(FACTORY_HANDLE factory, const char* camera_id, CAM_HANDLE* camera, int) {
    return opening(factory, camera, [&](camera_backend& b) { return b.camera_open(factory, camera_id, camera); });
}
camera_status J_Camera_Close(CAM_HANDLE camera) {
    return closing(camera, [&](camera_backend& b) { return b.camera_close(camera); });
}
camera_status J_Camera_GetValueDouble(CAM_HANDLE camera, const char* feature, double* value) {
    return on(camera, [&](camera_backend& b) { return b.camera_get_value_double(camera, feature, value); });
}
camera_status J_Camera_GetValueInt64(CAM_HANDLE camera, const char* feature, std::int64_t* value) {
    return on(camera, [&](camera_backend& b) { return b.camera_get_value_int64(camera, feature, value); });
}
camera_status J_Camera_SetValueString(CAM_HANDLE camera, const char* feature, const char* value) {
    return on(camera, [&](camera_backend& b) { return b.camera_set_value_string(camera, feature, value); });
}
camera_status J_Camera_ExecuteCommand(CAM_HANDLE camera, const char* command) {
    return on(camera, [&](camera_backend& b) { return b.camera_execute_command(camera, command); });
}
camera_status J_Camera_GetNumOfDataStreams(CAM_HANDLE camera, std::uint32_t* count) {
    return on(camera, [&](camera_backend& b) { return b.camera_get_num_of_data_streams(camera, count); });
}
camera_status J_Camera_CreateDataStream(CAM_HANDLE camera, std::uint32_t index, STREAM_HANDLE* stream) {
    return opening(camera, stream,
                   [&](camera_backend& b) { return b.camera_create_data_stream(camera, index, stream); });
}

camera_status J_DataStream_SetParam(STREAM_HANDLE stream, int param, void* value, std::uint32_t size) {
    return on(stream, [&](camera_backend& b) { return b.stream_set_param(stream, param, value, size); });
}
camera_status J_DataStream_AnnounceBuffer(STREAM_HANDLE stream, void* block, std::uint32_t size, void* private_data,
                                          BUF_HANDLE* buffer) {
    return on(stream,
              [&](camera_backend& b) { return b.stream_announce_buffer(stream, block, size, private_data, buffer); });
}
camera_status J_DataStream_QueueBuffer(STREAM_HANDLE stream, BUF_HANDLE buffer) {
    return on(stream, [&](camera_backend& b) { return b.stream_queue_buffer(stream, buffer); });
}
camera_status J_DataStream_RegisterEvent(STREAM_HANDLE stream, int kind, HANDLE condition, EVT_HANDLE* event) {
    return opening(stream, event,
                   [&](camera_backend& b) { return b.stream_register_event(stream, kind, condition, event); });
}
camera_status J_DataStream_UnRegisterEvent(STREAM_HANDLE stream, int kind) {
    return on(stream, [&](camera_backend& b) { return b.stream_unregister_event(stream, kind); });
}
camera_status J_DataStream_StartAcquisition(STREAM_HANDLE stream, int flag, std::uint64_t count) {
    return on(stream, [&](camera_backend& b) { return b.stream_start_acquisition(stream, flag, count); });
}
camera_status J_DataStream_StopAcquisition(STREAM_HANDLE stream, int flag) {
    return on(stream, [&](camera_backend& b) { return b.stream_stop_acquisition(stream, flag); });
}
camera_status J_DataStream_GetBufferInfo(STREAM_HANDLE stream, BUF_HANDLE buffer, int item, void* value,
                                         std::uint32_t* size) {
    return on(stream, [&](camera_backend& b) { return b.stream_get_buffer_info(stream, buffer, item, value, size); });
}
camera_status J_DataStream_GetStreamInfo(STREAM_HANDLE stream, int item, void* value, std::uint32_t* size) {
    return on(stream, [&](camera_backend& b) { return b.stream_get_stream_info(stream, item, value, size); });
}
camera_status J_DataStream_FlushQueue(STREAM_HANDLE stream, int mode) {
    return on(stream, [&](camera_backend& b) { return b.stream_flush_queue(stream, mode); });
}
camera_status J_DataStream_RevokeBuffer(STREAM_HANDLE stream, BUF_HANDLE buffer, void** block, void** private_data) {
    return on(stream, [&](camera_backend& b) { return b.stream_revoke_buffer(stream, buffer, block, private_data); });
}
camera_status J_DataStream_Close(STREAM_HANDLE stream) {
    return closing(stream, [&](camera_backend& b) { return b.stream_close(stream); });
}

camera_status J_Event_CreateCondition(CAM_HANDLE camera, HANDLE* condition) {
    return opening(camera, condition, [&](camera_backend& b) { return b.event_create_condition(condition); });
}
camera_status J_Event_WaitForCondition(HANDLE condition, std::uint32_t timeout_ms, std::uint32_t* result) {
    return on(condition, [&](camera_backend& b) { return b.event_wait_for_condition(condition, timeout_ms, result); });
}
camera_status J_Event_ExitCondition(HANDLE condition) {
    return on(condition, [&](camera_backend& b) { return b.event_exit_condition(condition); });
}
camera_status J_Event_CloseCondition(HANDLE condition) {
    return closing(condition, [&](camera_backend& b) { return b.event_close_condition(condition); });
}
camera_status J_Event_GetData(EVT_HANDLE event, void* destination, std::uint32_t* size) {
    return on(event, [&](camera_backend& b) { return b.event_get_data(event, destination, size); });
}
camera_status J_Event_Close(EVT_HANDLE event) {
    return closing(event, [&](camera_backend& b) { return b.event_close(event); });
}

camera_status J_Image_Rotate(J_tIMAGE_INFO* info, int code) {
    if (!info || code != J_ROTATE_180 || !info->pImageBuffer) return J_ST_INVALID_PARAMETER;
    const std::size_t pixels = static_cast<std::size_t>(info->iSizeX) * info->iSizeY;
    return rotate_pixels_180(info->pImageBuffer, info->iImageSize, pixels, info->iPixelType,
                             bits_per_pixel_of(info->iPixelType))
               ? J_ST_SUCCESS
               : J_ST_INVALID_PARAMETER;
}
