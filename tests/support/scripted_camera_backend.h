#pragma once
// A camera backend for tests and benchmarks: scripted cameras, deterministic frames, fault
// injection on any call, and driven wait results.
//
// Pass it to J_Factory_Open (or a jai_factory); the J_ calls on every handle that comes from
// that factory then reach it. Frame n (1, 2, ...) is delivered into the oldest queued buffer;
// with filling on, byte i of it is pattern(n, i), and its time stamp is timestamp_of(n).
// Geometry comes from the integer features "Width", "Height" and "PixelFormat" (default
// 64 x 48 Mono8).
//
// Waits follow the script first (one step per J_Event_WaitForCondition call); once it is used
// up, a free-running backend delivers a frame on every wait while a buffer is queued, and
// otherwise the wait blocks like a real one until its time-out or an exit request. An exit
// request always wins over the script.
//
// Ownership: whoever opens a factory with it shares it; handles still open keep it alive.
// Handles and buffers are kept as for every backend (camera/handle_table.h,
// camera/buffer_pool.h); the backend frees whatever its callers left open when it dies.
//
// Errors: only what fail() injects, and the statuses any backend gives for unknown handles,
// missing features and short buffers. An injected failure carries the words given to fail(),
// as a library's message would.
//
// Thread safety: every member may be called from any thread; the hook of set_on_frame runs
// without the backend's lock, on the thread that called get-data.
#include "camera/buffer_pool.h"
#include "camera/camera_backend.h"
#include "camera/handle_table.h"
#include "camera/wait_condition.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct scripted_camera {
    std::string id;
    std::string model;
    std::string address;
};

struct wait_step {
    J_STATUS_TYPE status = J_ST_SUCCESS;  // not 0: the wait call itself fails
    std::uint32_t result = J_COND_WAIT_SIGNAL;

    static wait_step frame() { return {}; }
    static wait_step timeout() { return {J_ST_SUCCESS, J_COND_WAIT_TIMEOUT}; }
    static wait_step exit() { return {J_ST_SUCCESS, J_COND_WAIT_EXIT}; }
    static wait_step value(std::uint32_t result) { return {J_ST_SUCCESS, result}; }
    static wait_step failure(J_STATUS_TYPE status) { return {status, 0}; }
};

class scripted_camera_backend : public camera_backend {
public:
    scripted_camera_backend();
    ~scripted_camera_backend() override;

    static std::uint8_t pattern(std::uint64_t frame, std::size_t offset) {
        return static_cast<std::uint8_t>((frame * 7 + offset) & 0xFF);
    }
    static std::uint64_t timestamp_of(std::uint64_t frame) { return frame * 1000; }

    // --- scripting
    void set_cameras(std::vector<scripted_camera> cameras);
    void set_feature(const std::string& name, std::int64_t value);
    void set_version(const std::string& text);
    // Makes the call named `call` return `status` once `after` matching calls have succeeded,
    // with `message` as the library's words for it (none when empty). A name matches the bare
    // function name ("J_Camera_Open") or, for calls that take a feature or command, the name
    // with it ("J_Camera_GetValueInt64:Height").
    void fail(const std::string& call, J_STATUS_TYPE status = J_ST_ERROR, int after = 0,
              const std::string& message = {});
    void clear_failures();
    void script_waits(const std::vector<wait_step>& steps);
    void set_free_running(bool on);
    void set_fill_frames(bool on);
    void set_lost_and_corrupt(std::uint64_t lost, std::uint64_t corrupt);
    // Misreports delivered buffers: the image address `offset` bytes into the block and the
    // image size `size` (the block's size when negative), as a faulty SDK might.
    void set_buffer_report(std::uint32_t offset, std::int64_t size);
    // Called (without the backend's lock) when get-data hands out frame n.
    void set_on_frame(std::function<void(std::uint64_t)> hook);
    void set_record_calls(bool on);

    // --- observation
    std::vector<std::string> calls() const;
    std::size_t count_calls(const std::string& name) const;
    // Factories, cameras, streams, announced buffers, conditions and events not yet closed.
    std::size_t open_handles() const;
    std::uint64_t frames_delivered() const;

    // --- camera_backend
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

    struct stream;

private:
    struct failure {
        J_STATUS_TYPE status;
        int after;
        std::string message;
    };
    // Records the call and answers the injected failure for it, if any. Needs mutex_.
    camera_status enter(const char* name, const char* argument = nullptr);
    bool deliver_locked(stream* s);

    // Guards every member below but the handle tables, which lock themselves (taken after mutex_).
    mutable std::mutex mutex_;
    std::vector<scripted_camera> cameras_;
    std::map<std::string, std::int64_t> features_;
    std::string version_ = "scripted camera layer";
    std::map<std::string, failure> failures_;
    std::deque<wait_step> script_;
    bool free_running_ = false;
    bool fill_frames_ = true;
    bool record_calls_ = true;
    std::uint64_t lost_ = 0;
    std::uint64_t corrupt_ = 0;
    std::uint32_t report_offset_ = 0;
    std::int64_t report_size_ = -1;
    std::function<void(std::uint64_t)> on_frame_;
    std::vector<std::string> calls_;
    std::uint64_t frames_ = 0;
    handle_table<int> factories_;
    handle_table<std::string> cameras_open_;
    handle_table<stream> streams_;
    handle_table<wait_condition> conditions_;
    handle_table<stream_event> events_;
};
