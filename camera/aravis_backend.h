#pragma once
// The camera layer over Aravis 0.8: real GigE Vision / USB3 Vision cameras, or Aravis's
// in-process fake camera (no network at all).
//
// Real mode lists each GigE Vision camera twice: an ID ending in "INT=>FD" streams through
// Aravis's packet-socket receive path (needs CAP_NET_RAW, else Aravis falls back to UDP), one
// ending in "INT=>SD" through the ordinary UDP socket path. USB3 Vision cameras get one ID
// with neither tag. Simulated mode disables every Aravis interface but "Fake", so neither
// discovery nor streaming sends a packet; the fake camera is listed like a GigE camera.
//
// Buffers announced by the caller become Aravis buffers over the caller's blocks, kept in a
// buffer_pool. A buffer that Aravis completes with a failure status is queued again at once
// and counted (corrupt: missing packets, wrong packet id, size mismatch, packets still missing
// when the frame's time ran out; lost: every other failure, and frames Aravis dropped for want of a queued buffer); only whole frames signal
// the wait condition. GigE Vision streams on the UDP socket path get a receive buffer of
// four frames and packet resend, so they keep up with the camera.
//
// A camera whose control connection is lost (it vanished from the network) fails the wait
// condition of its stream: waits return J_COND_WAIT_ERROR, and later camera calls fail at
// once instead of waiting for the network's time-outs.
//
// Errors: a call that Aravis refuses returns J_ST_ERROR with Aravis's own message (its
// GError's text) in the camera_status; a call on a lost camera says so in the same way.
//
// Thread safety: every call may come from any thread. Handles name shared records
// (handle_table.h), so a close racing another call frees nothing under it. Each open camera
// is used under its own mutex (Aravis camera objects are not thread-safe); a stream's
// buffers are shared with Aravis's receive thread through its pool.
#include "camera/camera_backend.h"
#include "camera/undercar_scene.h"

#include <memory>

class aravis_backend : public camera_backend {
public:
    enum class mode { real, simulated };
    // picture: what simulated cameras show and their frame size (the ramp at their own size
    // by default); real cameras ignore it.
    explicit aravis_backend(mode m, simulated_picture picture = {});
    ~aravis_backend() override;

    // Simulated cameras draw their picture a row at a time (camera/simulated_pattern.h);
    // false goes back to the fake camera's own per-pixel fill, now and for later captures.
    // The picture is the same: benchmarks compare the two costs.
    void use_fast_simulated_pattern(bool fast);

    camera_status factory_open(const char* name, FACTORY_HANDLE* factory) override;
    camera_status factory_close(FACTORY_HANDLE factory) override;
    camera_status factory_get_info(int info, char* buffer, std::uint32_t* size) override;
    camera_status factory_update_camera_list(FACTORY_HANDLE factory, bool* changed) override;
    camera_status factory_get_num_of_cameras(FACTORY_HANDLE factory, std::uint32_t* count) override;
    camera_status factory_get_camera_id_by_index(FACTORY_HANDLE factory, std::int32_t index, char* id,
                                                 std::uint32_t* size) override;
    camera_status factory_get_camera_info(FACTORY_HANDLE factory, const char* camera_id, int info, char* buffer,
                                          std::uint32_t* size) override;

    camera_status camera_open(FACTORY_HANDLE factory, const char* camera_id, CAM_HANDLE* camera) override;
    camera_status camera_close(CAM_HANDLE camera) override;
    camera_status camera_get_value_int64(CAM_HANDLE camera, const char* feature, std::int64_t* value) override;
    camera_status camera_get_value_double(CAM_HANDLE camera, const char* feature, double* value) override;
    camera_status camera_set_value_string(CAM_HANDLE camera, const char* feature, const char* value) override;
    camera_status camera_execute_command(CAM_HANDLE camera, const char* command) override;
    camera_status camera_get_num_of_data_streams(CAM_HANDLE camera, std::uint32_t* count) override;
    camera_status camera_create_data_stream(CAM_HANDLE camera, std::uint32_t index, STREAM_HANDLE* stream) override;

    camera_status stream_set_param(STREAM_HANDLE stream, int param, void* value, std::uint32_t size) override;
    camera_status stream_announce_buffer(STREAM_HANDLE stream, void* block, std::uint32_t size, void* private_data,
                                         BUF_HANDLE* buffer) override;
    camera_status stream_queue_buffer(STREAM_HANDLE stream, BUF_HANDLE buffer) override;
    camera_status stream_register_event(STREAM_HANDLE stream, int kind, HANDLE condition, EVT_HANDLE* event) override;
    camera_status stream_unregister_event(STREAM_HANDLE stream, int kind) override;
    camera_status stream_start_acquisition(STREAM_HANDLE stream, int flag, std::uint64_t count) override;
    camera_status stream_stop_acquisition(STREAM_HANDLE stream, int flag) override;
    camera_status stream_get_buffer_info(STREAM_HANDLE stream, BUF_HANDLE buffer, int item, void* value,
                                         std::uint32_t* size) override;
    camera_status stream_get_stream_info(STREAM_HANDLE stream, int item, void* value, std::uint32_t* size) override;
    camera_status stream_flush_queue(STREAM_HANDLE stream, int mode) override;
    camera_status stream_revoke_buffer(STREAM_HANDLE stream, BUF_HANDLE buffer, void** block,
                                       void** private_data) override;
    camera_status stream_close(STREAM_HANDLE stream) override;

    camera_status event_create_condition(HANDLE* condition) override;
    camera_status event_wait_for_condition(HANDLE condition, std::uint32_t timeout_ms, std::uint32_t* result) override;
    camera_status event_exit_condition(HANDLE condition) override;
    camera_status event_close_condition(HANDLE condition) override;
    camera_status event_get_data(EVT_HANDLE event, void* destination, std::uint32_t* size) override;
    camera_status event_close(EVT_HANDLE event) override;

    struct state;

private:
    std::unique_ptr<state> state_;
};
