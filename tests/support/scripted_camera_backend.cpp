#include "tests/support/scripted_camera_backend.h"

#include "camera/buffer_pool.h"
#include "camera/wait_condition.h"

#include <algorithm>
#include <cstring>

struct scripted_camera_backend::stream {
    std::shared_ptr<buffer_pool> pool = std::make_shared<buffer_pool>();
    std::shared_ptr<wait_condition> registered;  // under the backend's mutex_
};

namespace {

template <typename T>
J_STATUS_TYPE put(void* value, std::uint32_t* size, T v) {
    if (!value || !size || *size < sizeof v) return J_ST_INVALID_BUFFER_SIZE;
    std::memcpy(value, &v, sizeof v);
    *size = sizeof v;
    return J_ST_SUCCESS;
}

}  // namespace

scripted_camera_backend::scripted_camera_backend() {
    features_["Width"] = 64;
    features_["Height"] = 48;
    features_["PixelFormat"] = 0x01080001;  // Mono8
}

scripted_camera_backend::~scripted_camera_backend() = default;

void scripted_camera_backend::set_cameras(std::vector<scripted_camera> cameras) {
    std::lock_guard<std::mutex> lock(mutex_);
    cameras_ = std::move(cameras);
}

void scripted_camera_backend::set_feature(const std::string& name, std::int64_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    features_[name] = value;
}

void scripted_camera_backend::set_version(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_ = text;
}

void scripted_camera_backend::fail(const std::string& call, J_STATUS_TYPE status, int after,
                                   const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_[call] = failure{status, after, message};
}

void scripted_camera_backend::clear_failures() {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.clear();
}

void scripted_camera_backend::script_waits(const std::vector<wait_step>& steps) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.insert(script_.end(), steps.begin(), steps.end());
}

void scripted_camera_backend::set_free_running(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    free_running_ = on;
}

void scripted_camera_backend::set_fill_frames(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    fill_frames_ = on;
}

void scripted_camera_backend::set_lost_and_corrupt(std::uint64_t lost, std::uint64_t corrupt) {
    std::lock_guard<std::mutex> lock(mutex_);
    lost_ = lost;
    corrupt_ = corrupt;
}

void scripted_camera_backend::set_buffer_report(std::uint32_t offset, std::int64_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    report_offset_ = offset;
    report_size_ = size;
}

void scripted_camera_backend::set_on_frame(std::function<void(std::uint64_t)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    on_frame_ = std::move(hook);
}

void scripted_camera_backend::set_record_calls(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_calls_ = on;
}

std::vector<std::string> scripted_camera_backend::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::size_t scripted_camera_backend::count_calls(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), name));
}

std::size_t scripted_camera_backend::open_handles() const {
    std::size_t n = factories_.size() + cameras_open_.size() + streams_.size() + conditions_.size() + events_.size();
    for (const auto& [h, s] : streams_.snapshot()) n += s->pool->announced();
    return n;
}

std::uint64_t scripted_camera_backend::frames_delivered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

camera_status scripted_camera_backend::enter(const char* name, const char* argument) {
    std::string full = name;
    if (argument) full = full + ":" + argument;
    if (record_calls_) calls_.push_back(full);
    if (failures_.empty()) return J_ST_SUCCESS;
    auto it = failures_.find(full);
    if (it == failures_.end() && argument) it = failures_.find(name);
    if (it == failures_.end()) return J_ST_SUCCESS;
    if (it->second.after > 0) {
        --it->second.after;
        return J_ST_SUCCESS;
    }
    return camera_status(it->second.status, it->second.message);
}

bool scripted_camera_backend::deliver_locked(stream* s) {
    if (!s) return false;
    const auto next = s->pool->next_input();
    if (!next) return false;
    const std::uint64_t frame = ++frames_;
    if (fill_frames_)
        s->pool->with_buffer(*next, [&](const pool_buffer& b) {
            auto* bytes = static_cast<std::uint8_t*>(b.block);
            for (std::uint32_t i = 0; i < b.size; ++i) bytes[i] = pattern(frame, i);
        });
    s->pool->complete(*next, buffer_pool::outcome::whole, frame);
    return true;
}

camera_status scripted_camera_backend::factory_open(const char*, FACTORY_HANDLE* factory) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Factory_Open"); !st.ok()) return st;
    *factory = factories_.add(std::make_shared<int>(0));
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::factory_close(FACTORY_HANDLE factory) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Factory_Close"); !st.ok()) return st;
    return factories_.remove(factory) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

camera_status scripted_camera_backend::factory_get_info(int info, char* buffer, std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Factory_GetInfo"); !st.ok()) return st;
    if (info != FAC_INFO_VERSION) return J_ST_INVALID_ID;
    return copy_sdk_text(version_.c_str(), buffer, size);
}

camera_status scripted_camera_backend::factory_update_camera_list(FACTORY_HANDLE factory, bool* changed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Factory_UpdateCameraList"); !st.ok()) return st;
    if (!factories_.find(factory)) return J_ST_INVALID_HANDLE;
    if (changed) *changed = false;
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::factory_get_num_of_cameras(FACTORY_HANDLE factory, std::uint32_t* count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Factory_GetNumOfCameras"); !st.ok()) return st;
    if (!factories_.find(factory) || !count) return J_ST_INVALID_HANDLE;
    *count = static_cast<std::uint32_t>(cameras_.size());
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::factory_get_camera_id_by_index(FACTORY_HANDLE factory, std::int32_t index,
                                                                      char* id, std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Factory_GetCameraIDByIndex"); !st.ok()) return st;
    if (!factories_.find(factory)) return J_ST_INVALID_HANDLE;
    if (index < 0 || static_cast<std::size_t>(index) >= cameras_.size()) return J_ST_INVALID_ID;
    return copy_sdk_text(cameras_[index].id.c_str(), id, size);
}

camera_status scripted_camera_backend::factory_get_camera_info(FACTORY_HANDLE factory, const char* camera_id, int info,
                                                               char* buffer, std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    const char* item = info == CAM_INFO_MODELNAME ? "model" : info == CAM_INFO_IP ? "ip" : "other";
    if (camera_status st = enter("J_Factory_GetCameraInfo", item); !st.ok()) return st;
    if (!factories_.find(factory) || !camera_id) return J_ST_INVALID_HANDLE;
    for (const auto& c : cameras_) {
        if (c.id != camera_id) continue;
        if (info == CAM_INFO_MODELNAME) return copy_sdk_text(c.model.c_str(), buffer, size);
        if (info == CAM_INFO_IP) return copy_sdk_text(c.address.c_str(), buffer, size);
    }
    return J_ST_INVALID_ID;
}

camera_status scripted_camera_backend::camera_open(FACTORY_HANDLE factory, const char* camera_id, CAM_HANDLE* camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Camera_Open", camera_id); !st.ok()) return st;
    if (!factories_.find(factory) || !camera_id || !camera) return J_ST_INVALID_HANDLE;
    const bool known =
        std::any_of(cameras_.begin(), cameras_.end(), [&](const scripted_camera& c) { return c.id == camera_id; });
    if (!known) return J_ST_INVALID_ID;
    *camera = cameras_open_.add(std::make_shared<std::string>(camera_id));
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::camera_close(CAM_HANDLE camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Camera_Close"); !st.ok()) return st;
    return cameras_open_.remove(camera) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

camera_status scripted_camera_backend::camera_get_value_int64(CAM_HANDLE camera, const char* feature,
                                                              std::int64_t* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Camera_GetValueInt64", feature); !st.ok()) return st;
    if (!cameras_open_.find(camera) || !feature || !value) return J_ST_INVALID_HANDLE;
    auto it = features_.find(feature);
    if (it == features_.end()) return J_ST_INVALID_ID;
    *value = it->second;
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::camera_set_value_string(CAM_HANDLE camera, const char* feature,
                                                               const char* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string arg = std::string(feature ? feature : "") + "=" + (value ? value : "");
    if (camera_status st = enter("J_Camera_SetValueString", arg.c_str()); !st.ok()) return st;
    if (!cameras_open_.find(camera)) return J_ST_INVALID_HANDLE;
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::camera_execute_command(CAM_HANDLE camera, const char* command) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Camera_ExecuteCommand", command); !st.ok()) return st;
    return cameras_open_.find(camera) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

camera_status scripted_camera_backend::camera_get_num_of_data_streams(CAM_HANDLE camera, std::uint32_t* count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Camera_GetNumOfDataStreams"); !st.ok()) return st;
    if (!cameras_open_.find(camera) || !count) return J_ST_INVALID_HANDLE;
    *count = 1;
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::camera_create_data_stream(CAM_HANDLE camera, std::uint32_t, STREAM_HANDLE* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Camera_CreateDataStream"); !st.ok()) return st;
    if (!cameras_open_.find(camera) || !out) return J_ST_INVALID_HANDLE;
    *out = streams_.add(std::make_shared<stream>());
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::stream_set_param(STREAM_HANDLE s, int, void*, std::uint32_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_SetParam"); !st.ok()) return st;
    return streams_.find(s) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

camera_status scripted_camera_backend::stream_announce_buffer(STREAM_HANDLE handle, void* block, std::uint32_t size,
                                                              void* private_data, BUF_HANDLE* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_AnnounceBuffer"); !st.ok()) return st;
    auto s = streams_.find(handle);
    if (!s || !block || !out) return J_ST_INVALID_HANDLE;
    *out = s->pool->announce(block, size, private_data);
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::stream_queue_buffer(STREAM_HANDLE handle, BUF_HANDLE buf) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_QueueBuffer"); !st.ok()) return st;
    auto s = streams_.find(handle);
    if (!s) return J_ST_INVALID_HANDLE;
    return s->pool->queue(buf);
}

camera_status scripted_camera_backend::stream_register_event(STREAM_HANDLE handle, int, HANDLE cond, EVT_HANDLE* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_RegisterEvent"); !st.ok()) return st;
    auto s = streams_.find(handle);
    auto c = conditions_.find(cond);
    if (!s || !c || !out) return J_ST_INVALID_HANDLE;
    // The scripted waits deliver frames themselves, so the pool signals no listener.
    s->registered = c;
    *out = events_.add(std::make_shared<stream_event>(stream_event{s->pool, c}));
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::stream_unregister_event(STREAM_HANDLE handle, int) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_UnRegisterEvent"); !st.ok()) return st;
    auto s = streams_.find(handle);
    if (!s) return J_ST_INVALID_HANDLE;
    s->registered = nullptr;
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::stream_start_acquisition(STREAM_HANDLE handle, int, std::uint64_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_StartAcquisition"); !st.ok()) return st;
    return streams_.find(handle) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

camera_status scripted_camera_backend::stream_stop_acquisition(STREAM_HANDLE handle, int) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_StopAcquisition"); !st.ok()) return st;
    return streams_.find(handle) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

camera_status scripted_camera_backend::stream_get_buffer_info(STREAM_HANDLE handle, BUF_HANDLE buf, int item,
                                                              void* value, std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_GetBufferInfo", std::to_string(item).c_str()); !st.ok()) return st;
    auto s = streams_.find(handle);
    if (!s) return J_ST_INVALID_HANDLE;
    const std::uint64_t queued = s->pool->queued();
    J_STATUS_TYPE status = J_ST_INVALID_HANDLE;
    s->pool->with_buffer(buf, [&](const pool_buffer& b) {
        switch (item) {
        case BUFFER_INFO_BASE:
            status = put<std::uint64_t>(value, size, reinterpret_cast<std::uintptr_t>(b.block) + report_offset_);
            break;
        case BUFFER_INFO_SIZE:
            status =
                put<std::uint32_t>(value, size, report_size_ < 0 ? b.size : static_cast<std::uint32_t>(report_size_));
            break;
        case BUFFER_INFO_WIDTH:
            status = put<std::uint32_t>(value, size, static_cast<std::uint32_t>(features_["Width"]));
            break;
        case BUFFER_INFO_HEIGHT:
            status = put<std::uint32_t>(value, size, static_cast<std::uint32_t>(features_["Height"]));
            break;
        case BUFFER_INFO_PIXELTYPE:
            status = put<std::uint64_t>(value, size, static_cast<std::uint64_t>(features_["PixelFormat"]));
            break;
        case BUFFER_INFO_TIMESTAMP: status = put<std::uint64_t>(value, size, timestamp_of(b.frame)); break;
        case BUFFER_INFO_NUM_PACKETS_MISSING: status = put<std::uint32_t>(value, size, 0); break;
        case BUFFER_INFO_NUMBER_OF_QUEUED: status = put<std::uint64_t>(value, size, queued); break;
        case BUFFER_INFO_XOFFSET:
        case BUFFER_INFO_YOFFSET:
        case BUFFER_INFO_XPADDING: status = put<std::uint32_t>(value, size, 0); break;
        case BUFFER_INFO_BLOCKID: status = put<std::uint64_t>(value, size, b.frame); break;
        default: status = J_ST_INVALID_ID;
        }
    });
    return status;
}

camera_status scripted_camera_backend::stream_get_stream_info(STREAM_HANDLE handle, int item, void* value,
                                                              std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_GetStreamInfo", std::to_string(item).c_str()); !st.ok()) return st;
    auto s = streams_.find(handle);
    if (!s) return J_ST_INVALID_HANDLE;
    switch (item) {
    case STREAM_INFO_CMD_NUMBER_OF_FRAMES_DELIVERED: return put<std::uint64_t>(value, size, s->pool->delivered());
    case STREAM_INFO_CMD_NUMBER_OF_FRAMES_LOST: return put<std::uint64_t>(value, size, lost_);
    case STREAM_INFO_CMD_NUMBER_OF_FRAMES_AWAIT_DELIVERY: return put<std::uint64_t>(value, size, s->pool->waiting());
    case STREAM_INFO_CMD_NUMBER_OF_FRAMES_CORRUPT_ON_DELIEVRY: return put<std::uint64_t>(value, size, corrupt_);
    default: return J_ST_INVALID_ID;
    }
}

camera_status scripted_camera_backend::stream_flush_queue(STREAM_HANDLE handle, int mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_FlushQueue", std::to_string(mode).c_str()); !st.ok()) return st;
    auto s = streams_.find(handle);
    if (!s) return J_ST_INVALID_HANDLE;
    s->pool->flush(mode);
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::stream_revoke_buffer(STREAM_HANDLE handle, BUF_HANDLE buf, void** block,
                                                            void** private_data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_RevokeBuffer"); !st.ok()) return st;
    auto s = streams_.find(handle);
    if (!s) return J_ST_INVALID_HANDLE;
    const auto b = s->pool->revoke(buf);
    if (!b) return J_ST_INVALID_HANDLE;
    if (block) *block = b->block;
    if (private_data) *private_data = b->private_data;
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::stream_close(STREAM_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_DataStream_Close"); !st.ok()) return st;
    return streams_.remove(handle) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

camera_status scripted_camera_backend::event_create_condition(HANDLE* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Event_CreateCondition"); !st.ok()) return st;
    if (!out) return J_ST_INVALID_PARAMETER;
    *out = conditions_.add(std::make_shared<wait_condition>());
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::event_wait_for_condition(HANDLE cond, std::uint32_t timeout_ms,
                                                                std::uint32_t* result) {
    std::shared_ptr<wait_condition> c;  // kept while waiting: a racing close frees nothing under us
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (camera_status st = enter("J_Event_WaitForCondition"); !st.ok()) return st;
        c = conditions_.find(cond);
        if (!c || !result) return J_ST_INVALID_HANDLE;
        if (c->exit_requested()) {
            *result = J_COND_WAIT_EXIT;
            return J_ST_SUCCESS;
        }
        std::shared_ptr<stream> s;
        for (const auto& [h, candidate] : streams_.snapshot())
            if (candidate->registered == c) s = candidate;
        if (!script_.empty()) {
            const wait_step step = script_.front();
            script_.pop_front();
            if (step.status != J_ST_SUCCESS) return step.status;
            *result = step.result;
            if (step.result == J_COND_WAIT_SIGNAL && !deliver_locked(s.get())) *result = J_COND_WAIT_TIMEOUT;
            return J_ST_SUCCESS;
        }
        if (free_running_ && deliver_locked(s.get())) {
            *result = J_COND_WAIT_SIGNAL;
            return J_ST_SUCCESS;
        }
    }
    // Nothing scripted: behave like an idle camera until the time-out or an exit request.
    *result = c->wait(timeout_ms);
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::event_exit_condition(HANDLE cond) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Event_ExitCondition"); !st.ok()) return st;
    auto c = conditions_.find(cond);
    if (!c) return J_ST_INVALID_HANDLE;
    c->request_exit();
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::event_close_condition(HANDLE cond) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Event_CloseCondition"); !st.ok()) return st;
    auto c = conditions_.remove(cond);
    if (!c) return J_ST_INVALID_HANDLE;
    c->request_exit();  // a wait in progress ends now
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::event_get_data(EVT_HANDLE handle, void* destination, std::uint32_t* size) {
    std::function<void(std::uint64_t)> hook;
    std::uint64_t frame = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (camera_status st = enter("J_Event_GetData"); !st.ok()) return st;
        auto e = events_.find(handle);
        if (!e) return J_ST_INVALID_HANDLE;
        auto pool = e->pool.lock();
        if (const J_STATUS_TYPE st = hand_out_frame(*e, destination, size)) return st;
        BUF_HANDLE b = nullptr;
        std::memcpy(&b, destination, sizeof b);
        if (pool) pool->with_buffer(b, [&](const pool_buffer& buffer) { frame = buffer.frame; });
        hook = on_frame_;
    }
    if (hook) hook(frame);
    return J_ST_SUCCESS;
}

camera_status scripted_camera_backend::event_close(EVT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera_status st = enter("J_Event_Close"); !st.ok()) return st;
    return events_.remove(handle) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}
