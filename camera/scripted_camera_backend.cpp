#include "camera/scripted_camera_backend.h"

#include "camera/wait_condition.h"

#include <algorithm>
#include <cstring>

struct scripted_camera_backend::buffer {
    std::uint8_t* block = nullptr;
    std::uint32_t size = 0;
    void* private_data = nullptr;
    std::uint64_t frame = 0;
};

struct scripted_camera_backend::stream {
    std::map<buffer*, std::unique_ptr<buffer>> buffers;
    std::deque<buffer*> queued;  // waiting to be filled, oldest first
    std::deque<buffer*> ready;   // filled, not yet handed out
    event* registered = nullptr;
    std::uint64_t delivered = 0;
};

struct scripted_camera_backend::condition {
    wait_condition wait;
    bool exit = false;
};

struct scripted_camera_backend::event {
    stream* owner = nullptr;
    condition* cond = nullptr;
};

namespace {

struct camera_handle {
    std::string id;
};

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

scripted_camera_backend::~scripted_camera_backend() {
    for (void* c : cameras_open_) delete static_cast<camera_handle*>(c);
    for (void* f : factories_) delete static_cast<int*>(f);
    for (stream* s : streams_) delete s;
    for (condition* c : conditions_) delete c;
    for (event* e : events_) delete e;
}

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

void scripted_camera_backend::fail(const std::string& call, J_STATUS_TYPE status, int after) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_[call] = failure{status, after};
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
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = factories_.size() + cameras_open_.size() + streams_.size() + conditions_.size() +
                    events_.size();
    for (stream* s : streams_) n += s->buffers.size();
    return n;
}

std::uint64_t scripted_camera_backend::frames_delivered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

J_STATUS_TYPE scripted_camera_backend::enter(const char* name, const char* argument) {
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
    return it->second.status;
}

bool scripted_camera_backend::deliver_locked(stream* s) {
    if (!s || s->queued.empty()) return false;
    buffer* b = s->queued.front();
    s->queued.pop_front();
    b->frame = ++frames_;
    ++s->delivered;
    if (fill_frames_)
        for (std::uint32_t i = 0; i < b->size; ++i) b->block[i] = pattern(b->frame, i);
    s->ready.push_back(b);
    return true;
}

J_STATUS_TYPE scripted_camera_backend::factory_open(const char*, FACTORY_HANDLE* factory) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Factory_Open")) return st;
    auto* f = new int(0);
    factories_.insert(f);
    *factory = f;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::factory_close(FACTORY_HANDLE factory) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Factory_Close")) return st;
    if (!factories_.erase(factory)) return J_ST_INVALID_HANDLE;
    delete static_cast<int*>(factory);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::factory_get_info(int info, char* buffer, std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Factory_GetInfo")) return st;
    if (info != FAC_INFO_VERSION) return J_ST_INVALID_ID;
    return copy_sdk_text(version_.c_str(), buffer, size);
}

J_STATUS_TYPE scripted_camera_backend::factory_update_camera_list(FACTORY_HANDLE factory, bool* changed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Factory_UpdateCameraList")) return st;
    if (!factories_.count(factory)) return J_ST_INVALID_HANDLE;
    if (changed) *changed = false;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::factory_get_num_of_cameras(FACTORY_HANDLE factory, std::uint32_t* count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Factory_GetNumOfCameras")) return st;
    if (!factories_.count(factory) || !count) return J_ST_INVALID_HANDLE;
    *count = static_cast<std::uint32_t>(cameras_.size());
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::factory_get_camera_id_by_index(FACTORY_HANDLE factory, std::int32_t index,
                                                                      char* id, std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Factory_GetCameraIDByIndex")) return st;
    if (!factories_.count(factory)) return J_ST_INVALID_HANDLE;
    if (index < 0 || static_cast<std::size_t>(index) >= cameras_.size()) return J_ST_INVALID_ID;
    return copy_sdk_text(cameras_[index].id.c_str(), id, size);
}

J_STATUS_TYPE scripted_camera_backend::factory_get_camera_info(FACTORY_HANDLE factory, const char* camera_id,
                                                               int info, char* buffer, std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    const char* item = info == CAM_INFO_MODELNAME ? "model" : info == CAM_INFO_IP ? "ip" : "other";
    if (J_STATUS_TYPE st = enter("J_Factory_GetCameraInfo", item)) return st;
    if (!factories_.count(factory) || !camera_id) return J_ST_INVALID_HANDLE;
    for (const auto& c : cameras_) {
        if (c.id != camera_id) continue;
        if (info == CAM_INFO_MODELNAME) return copy_sdk_text(c.model.c_str(), buffer, size);
        if (info == CAM_INFO_IP) return copy_sdk_text(c.address.c_str(), buffer, size);
    }
    return J_ST_INVALID_ID;
}

J_STATUS_TYPE scripted_camera_backend::camera_open(FACTORY_HANDLE factory, const char* camera_id, CAM_HANDLE* camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Camera_Open", camera_id)) return st;
    if (!factories_.count(factory) || !camera_id || !camera) return J_ST_INVALID_HANDLE;
    const bool known = std::any_of(cameras_.begin(), cameras_.end(),
                                   [&](const scripted_camera& c) { return c.id == camera_id; });
    if (!known) return J_ST_INVALID_ID;
    auto* c = new camera_handle{camera_id};
    cameras_open_.insert(c);
    *camera = c;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::camera_close(CAM_HANDLE camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Camera_Close")) return st;
    if (!cameras_open_.erase(camera)) return J_ST_INVALID_HANDLE;
    delete static_cast<camera_handle*>(camera);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::camera_get_value_int64(CAM_HANDLE camera, const char* feature,
                                                              std::int64_t* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Camera_GetValueInt64", feature)) return st;
    if (!cameras_open_.count(camera) || !feature || !value) return J_ST_INVALID_HANDLE;
    auto it = features_.find(feature);
    if (it == features_.end()) return J_ST_INVALID_ID;
    *value = it->second;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::camera_set_value_string(CAM_HANDLE camera, const char* feature,
                                                               const char* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string arg = std::string(feature ? feature : "") + "=" + (value ? value : "");
    if (J_STATUS_TYPE st = enter("J_Camera_SetValueString", arg.c_str())) return st;
    if (!cameras_open_.count(camera)) return J_ST_INVALID_HANDLE;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::camera_execute_command(CAM_HANDLE camera, const char* command) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Camera_ExecuteCommand", command)) return st;
    return cameras_open_.count(camera) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

J_STATUS_TYPE scripted_camera_backend::camera_get_num_of_data_streams(CAM_HANDLE camera, std::uint32_t* count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Camera_GetNumOfDataStreams")) return st;
    if (!cameras_open_.count(camera) || !count) return J_ST_INVALID_HANDLE;
    *count = 1;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::camera_create_data_stream(CAM_HANDLE camera, std::uint32_t,
                                                                 STREAM_HANDLE* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Camera_CreateDataStream")) return st;
    if (!cameras_open_.count(camera) || !out) return J_ST_INVALID_HANDLE;
    auto* s = new stream;
    streams_.insert(s);
    *out = s;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::stream_set_param(STREAM_HANDLE s, int, void*, std::uint32_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_SetParam")) return st;
    return streams_.count(static_cast<stream*>(s)) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

J_STATUS_TYPE scripted_camera_backend::stream_announce_buffer(STREAM_HANDLE handle, void* block, std::uint32_t size,
                                                              void* private_data, BUF_HANDLE* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_AnnounceBuffer")) return st;
    auto* s = static_cast<stream*>(handle);
    if (!streams_.count(s) || !block || !out) return J_ST_INVALID_HANDLE;
    auto b = std::make_unique<buffer>();
    b->block = static_cast<std::uint8_t*>(block);
    b->size = size;
    b->private_data = private_data;
    *out = b.get();
    s->buffers.emplace(b.get(), std::move(b));
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::stream_queue_buffer(STREAM_HANDLE handle, BUF_HANDLE buf) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_QueueBuffer")) return st;
    auto* s = static_cast<stream*>(handle);
    if (!streams_.count(s) || !s->buffers.count(static_cast<buffer*>(buf))) return J_ST_INVALID_HANDLE;
    auto* b = static_cast<buffer*>(buf);
    if (std::find(s->queued.begin(), s->queued.end(), b) == s->queued.end()) s->queued.push_back(b);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::stream_register_event(STREAM_HANDLE handle, int, HANDLE cond,
                                                             EVT_HANDLE* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_RegisterEvent")) return st;
    auto* s = static_cast<stream*>(handle);
    auto* c = static_cast<condition*>(cond);
    if (!streams_.count(s) || !conditions_.count(c) || !out) return J_ST_INVALID_HANDLE;
    auto* e = new event{s, c};
    events_.insert(e);
    s->registered = e;
    *out = e;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::stream_unregister_event(STREAM_HANDLE handle, int) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_UnRegisterEvent")) return st;
    auto* s = static_cast<stream*>(handle);
    if (!streams_.count(s)) return J_ST_INVALID_HANDLE;
    if (s->registered) s->registered->owner = nullptr;
    s->registered = nullptr;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::stream_start_acquisition(STREAM_HANDLE handle, int, std::uint64_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_StartAcquisition")) return st;
    return streams_.count(static_cast<stream*>(handle)) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

J_STATUS_TYPE scripted_camera_backend::stream_stop_acquisition(STREAM_HANDLE handle, int) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_StopAcquisition")) return st;
    return streams_.count(static_cast<stream*>(handle)) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

J_STATUS_TYPE scripted_camera_backend::stream_get_buffer_info(STREAM_HANDLE handle, BUF_HANDLE buf, int item,
                                                              void* value, std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_GetBufferInfo", std::to_string(item).c_str())) return st;
    auto* s = static_cast<stream*>(handle);
    if (!streams_.count(s) || !s->buffers.count(static_cast<buffer*>(buf))) return J_ST_INVALID_HANDLE;
    const auto* b = static_cast<buffer*>(buf);
    switch (item) {
        case BUFFER_INFO_BASE:
            return put<std::uint64_t>(value, size, reinterpret_cast<std::uintptr_t>(b->block) + report_offset_);
        case BUFFER_INFO_SIZE:
            return put<std::uint32_t>(value, size,
                                      report_size_ < 0 ? b->size : static_cast<std::uint32_t>(report_size_));
        case BUFFER_INFO_WIDTH: return put<std::uint32_t>(value, size, static_cast<std::uint32_t>(features_["Width"]));
        case BUFFER_INFO_HEIGHT:
            return put<std::uint32_t>(value, size, static_cast<std::uint32_t>(features_["Height"]));
        case BUFFER_INFO_PIXELTYPE:
            return put<std::uint64_t>(value, size, static_cast<std::uint64_t>(features_["PixelFormat"]));
        case BUFFER_INFO_TIMESTAMP: return put<std::uint64_t>(value, size, timestamp_of(b->frame));
        case BUFFER_INFO_NUM_PACKETS_MISSING: return put<std::uint32_t>(value, size, 0);
        case BUFFER_INFO_NUMBER_OF_QUEUED: return put<std::uint64_t>(value, size, s->queued.size());
        case BUFFER_INFO_XOFFSET:
        case BUFFER_INFO_YOFFSET:
        case BUFFER_INFO_XPADDING: return put<std::uint32_t>(value, size, 0);
        case BUFFER_INFO_BLOCKID: return put<std::uint64_t>(value, size, b->frame);
        default: return J_ST_INVALID_ID;
    }
}

J_STATUS_TYPE scripted_camera_backend::stream_get_stream_info(STREAM_HANDLE handle, int item, void* value,
                                                              std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_GetStreamInfo", std::to_string(item).c_str())) return st;
    auto* s = static_cast<stream*>(handle);
    if (!streams_.count(s)) return J_ST_INVALID_HANDLE;
    switch (item) {
        case STREAM_INFO_CMD_NUMBER_OF_FRAMES_DELIVERED: return put<std::uint64_t>(value, size, s->delivered);
        case STREAM_INFO_CMD_NUMBER_OF_FRAMES_LOST: return put<std::uint64_t>(value, size, lost_);
        case STREAM_INFO_CMD_NUMBER_OF_FRAMES_AWAIT_DELIVERY: return put<std::uint64_t>(value, size, s->ready.size());
        case STREAM_INFO_CMD_NUMBER_OF_FRAMES_CORRUPT_ON_DELIEVRY: return put<std::uint64_t>(value, size, corrupt_);
        default: return J_ST_INVALID_ID;
    }
}

J_STATUS_TYPE scripted_camera_backend::stream_flush_queue(STREAM_HANDLE handle, int mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_FlushQueue", std::to_string(mode).c_str())) return st;
    auto* s = static_cast<stream*>(handle);
    if (!streams_.count(s)) return J_ST_INVALID_HANDLE;
    if (mode == ACQ_QUEUE_INPUT_TO_OUTPUT) {
        s->ready.insert(s->ready.end(), s->queued.begin(), s->queued.end());
        s->queued.clear();
    } else {
        s->ready.clear();
    }
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::stream_revoke_buffer(STREAM_HANDLE handle, BUF_HANDLE buf, void** block,
                                                            void** private_data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_RevokeBuffer")) return st;
    auto* s = static_cast<stream*>(handle);
    if (!streams_.count(s)) return J_ST_INVALID_HANDLE;
    auto it = s->buffers.find(static_cast<buffer*>(buf));
    if (it == s->buffers.end()) return J_ST_INVALID_HANDLE;
    if (block) *block = it->first->block;
    if (private_data) *private_data = it->first->private_data;
    std::erase(s->queued, it->first);
    std::erase(s->ready, it->first);
    s->buffers.erase(it);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::stream_close(STREAM_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_DataStream_Close")) return st;
    auto* s = static_cast<stream*>(handle);
    if (!streams_.erase(s)) return J_ST_INVALID_HANDLE;
    if (s->registered) s->registered->owner = nullptr;
    delete s;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::event_create_condition(HANDLE* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Event_CreateCondition")) return st;
    if (!out) return J_ST_INVALID_PARAMETER;
    auto* c = new condition;
    conditions_.insert(c);
    *out = c;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::event_wait_for_condition(HANDLE cond, std::uint32_t timeout_ms,
                                                                std::uint32_t* result) {
    condition* c = static_cast<condition*>(cond);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (J_STATUS_TYPE st = enter("J_Event_WaitForCondition")) return st;
        if (!conditions_.count(c) || !result) return J_ST_INVALID_HANDLE;
        if (c->exit) {
            *result = J_COND_WAIT_EXIT;
            return J_ST_SUCCESS;
        }
        stream* s = nullptr;
        for (event* e : events_)
            if (e->cond == c && e->owner) s = e->owner;
        if (!script_.empty()) {
            const wait_step step = script_.front();
            script_.pop_front();
            if (step.status != J_ST_SUCCESS) return step.status;
            *result = step.result;
            if (step.result == J_COND_WAIT_SIGNAL && !deliver_locked(s)) *result = J_COND_WAIT_TIMEOUT;
            return J_ST_SUCCESS;
        }
        if (free_running_ && deliver_locked(s)) {
            *result = J_COND_WAIT_SIGNAL;
            return J_ST_SUCCESS;
        }
    }
    // Nothing scripted: behave like an idle camera. Only the waiting thread closes `c`.
    *result = c->wait.wait(timeout_ms);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::event_exit_condition(HANDLE cond) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Event_ExitCondition")) return st;
    auto* c = static_cast<condition*>(cond);
    if (!conditions_.count(c)) return J_ST_INVALID_HANDLE;
    c->exit = true;
    c->wait.request_exit();
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::event_close_condition(HANDLE cond) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Event_CloseCondition")) return st;
    auto* c = static_cast<condition*>(cond);
    if (!conditions_.erase(c)) return J_ST_INVALID_HANDLE;
    for (event* e : events_)
        if (e->cond == c) e->cond = nullptr;
    delete c;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::event_get_data(EVT_HANDLE handle, void* destination, std::uint32_t* size) {
    std::function<void(std::uint64_t)> hook;
    std::uint64_t frame = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (J_STATUS_TYPE st = enter("J_Event_GetData")) return st;
        auto* e = static_cast<event*>(handle);
        if (!events_.count(e) || !e->owner) return J_ST_INVALID_HANDLE;
        if (!destination || !size || *size < sizeof(void*)) return J_ST_INVALID_BUFFER_SIZE;
        if (e->owner->ready.empty()) return J_ST_NOT_AVAILABLE;
        buffer* b = e->owner->ready.front();
        e->owner->ready.pop_front();
        std::memset(destination, 0, *size);
        std::memcpy(destination, &b, sizeof b);
        hook = on_frame_;
        frame = b->frame;
    }
    if (hook) hook(frame);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE scripted_camera_backend::event_close(EVT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (J_STATUS_TYPE st = enter("J_Event_Close")) return st;
    auto* e = static_cast<event*>(handle);
    if (!events_.erase(e)) return J_ST_INVALID_HANDLE;
    if (e->owner && e->owner->registered == e) e->owner->registered = nullptr;
    delete e;
    return J_ST_SUCCESS;
}
