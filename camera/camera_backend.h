#pragma once
// What the J_ functions of camera/jai_sdk.h dispatch to.
//
// Whoever opens a factory chooses its backend once (J_Factory_Open) and the J_ calls on every
// handle that comes from that factory reach it; several backends may serve at the same time.
// camera_backend_from_environment() makes the usual choice; tests pass a test double
// (tests/support/scripted_camera_backend.h).
//
// Each method has the meaning, arguments and status results of the J_ call of the same
// name; a failure carries the library's words in its camera_status when it has any. Handles
// are made and interpreted by the backend alone. Implementations must allow calls from any
// thread.
#include "camera/jai_sdk.h"

#include <memory>

class camera_backend {
public:
    virtual ~camera_backend() = default;

    virtual camera_status factory_open(const char* name, FACTORY_HANDLE* factory) = 0;
    virtual camera_status factory_close(FACTORY_HANDLE factory) = 0;
    virtual camera_status factory_get_info(int info, char* buffer, std::uint32_t* size) = 0;
    virtual camera_status factory_update_camera_list(FACTORY_HANDLE factory, bool* changed) = 0;
    virtual camera_status factory_get_num_of_cameras(FACTORY_HANDLE factory, std::uint32_t* count) = 0;
    virtual camera_status factory_get_camera_id_by_index(FACTORY_HANDLE factory, std::int32_t index, char* id,
                                                         std::uint32_t* size) = 0;
    virtual camera_status factory_get_camera_info(FACTORY_HANDLE factory, const char* camera_id, int info, char* buffer,
                                                  std::uint32_t* size) = 0;

    virtual camera_status camera_open(FACTORY_HANDLE factory, const char* camera_id, CAM_HANDLE* camera) = 0;
    virtual camera_status camera_close(CAM_HANDLE camera) = 0;
    virtual camera_status camera_get_value_int64(CAM_HANDLE camera, const char* feature, std::int64_t* value) = 0;
    // A floating-point feature (AcquisitionFrameRate); backends without one say so.
    virtual camera_status camera_get_value_double(CAM_HANDLE, const char*, double*) { return J_ST_ERROR; }
    virtual camera_status camera_set_value_string(CAM_HANDLE camera, const char* feature, const char* value) = 0;
    virtual camera_status camera_execute_command(CAM_HANDLE camera, const char* command) = 0;
    virtual camera_status camera_get_num_of_data_streams(CAM_HANDLE camera, std::uint32_t* count) = 0;
    virtual camera_status camera_create_data_stream(CAM_HANDLE camera, std::uint32_t index, STREAM_HANDLE* stream) = 0;

    virtual camera_status stream_set_param(STREAM_HANDLE stream, int param, void* value, std::uint32_t size) = 0;
    virtual camera_status stream_announce_buffer(STREAM_HANDLE stream, void* block, std::uint32_t size,
                                                 void* private_data, BUF_HANDLE* buffer) = 0;
    virtual camera_status stream_queue_buffer(STREAM_HANDLE stream, BUF_HANDLE buffer) = 0;
    virtual camera_status stream_register_event(STREAM_HANDLE stream, int kind, HANDLE condition,
                                                EVT_HANDLE* event) = 0;
    virtual camera_status stream_unregister_event(STREAM_HANDLE stream, int kind) = 0;
    virtual camera_status stream_start_acquisition(STREAM_HANDLE stream, int flag, std::uint64_t count) = 0;
    virtual camera_status stream_stop_acquisition(STREAM_HANDLE stream, int flag) = 0;
    virtual camera_status stream_get_buffer_info(STREAM_HANDLE stream, BUF_HANDLE buffer, int item, void* value,
                                                 std::uint32_t* size) = 0;
    virtual camera_status stream_get_stream_info(STREAM_HANDLE stream, int item, void* value, std::uint32_t* size) = 0;
    virtual camera_status stream_flush_queue(STREAM_HANDLE stream, int mode) = 0;
    virtual camera_status stream_revoke_buffer(STREAM_HANDLE stream, BUF_HANDLE buffer, void** block,
                                               void** private_data) = 0;
    virtual camera_status stream_close(STREAM_HANDLE stream) = 0;

    virtual camera_status event_create_condition(HANDLE* condition) = 0;
    virtual camera_status event_wait_for_condition(HANDLE condition, std::uint32_t timeout_ms,
                                                   std::uint32_t* result) = 0;
    virtual camera_status event_exit_condition(HANDLE condition) = 0;
    virtual camera_status event_close_condition(HANDLE condition) = 0;
    virtual camera_status event_get_data(EVT_HANDLE event, void* destination, std::uint32_t* size) = 0;
    virtual camera_status event_close(EVT_HANDLE event) = 0;
};

// A new backend as the environment asks: QUILLMAR_CAMERAS=simulated gives Aravis's
// in-process fake camera with every network interface disabled (its picture from
// QUILLMAR_SIMULATED_SCENE and QUILLMAR_SIMULATED_SIZE; a value it does not understand is
// named on standard error); anything else, or unset, gives real GigE Vision / USB3 Vision
// cameras through Aravis.
std::shared_ptr<camera_backend> camera_backend_from_environment();

// Copies text into a J_ caller's buffer of *size bytes, zero-terminated, and sets *size to
// the bytes used including the terminator; J_ST_INVALID_BUFFER_SIZE when it does not fit.
J_STATUS_TYPE copy_sdk_text(const char* text, char* buffer, std::uint32_t* size);
