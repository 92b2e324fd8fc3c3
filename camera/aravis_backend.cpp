#include "camera/aravis_backend.h"

#include "camera/wait_condition.h"

#include <arv.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

struct device_entry {
    std::string id;      // the ID that callers see
    std::string arv_id;  // Aravis's device ID
    std::string model;
    std::string address;
    bool gige = false;
    bool packet_socket = false;
};

struct factory_rec {
    std::vector<device_entry> list;  // the list as of this factory's last update
};

struct camera_rec {
    ArvCamera* arv = nullptr;
    std::mutex lock;  // guards every use of arv
};

struct stream_rec;

struct buffer_rec {
    ArvBuffer* arv = nullptr;  // our own reference; the stream holds one more while in_stream
    void* block = nullptr;
    std::uint32_t size = 0;
    void* private_data = nullptr;
    bool in_stream = false;
};

struct event_rec {
    stream_rec* stream = nullptr;
    wait_condition* condition = nullptr;  // null once the condition was closed
};

struct stream_rec {
    camera_rec* camera = nullptr;
    ArvStream* arv = nullptr;
    gulong handler = 0;
    std::mutex lock;  // guards everything below; shared with Aravis's receive thread
    std::map<buffer_rec*, std::unique_ptr<buffer_rec>> buffers;
    std::deque<buffer_rec*> ready;  // whole frames not yet handed out by get-data
    event_rec* event = nullptr;
    std::uint64_t delivered = 0;
    std::uint64_t lost = 0;
    std::uint64_t corrupt = 0;
    bool halted = false;  // the receive thread was stopped; no buffer is in the stream
};

bool is_corrupt(ArvBufferStatus status) {
    return status == ARV_BUFFER_STATUS_MISSING_PACKETS || status == ARV_BUFFER_STATUS_WRONG_PACKET_ID ||
           status == ARV_BUFFER_STATUS_SIZE_MISMATCH;
}

// Runs on Aravis's receive thread for every completed buffer.
void on_new_buffer(ArvStream* arv_stream, gpointer user_data) {
    auto* stream = static_cast<stream_rec*>(user_data);
    while (ArvBuffer* arv = arv_stream_try_pop_buffer(arv_stream)) {
        std::lock_guard<std::mutex> lock(stream->lock);
        auto* rec = static_cast<buffer_rec*>(const_cast<void*>(arv_buffer_get_user_data(arv)));
        if (!rec || stream->buffers.count(rec) == 0) {
            g_object_unref(arv);
            continue;
        }
        g_object_unref(arv);  // the stream's reference came back with the pop
        rec->in_stream = false;
        const ArvBufferStatus status = arv_buffer_get_status(arv);
        if (status == ARV_BUFFER_STATUS_SUCCESS && stream->event && stream->event->condition) {
            stream->ready.push_back(rec);
            ++stream->delivered;
            stream->event->condition->signal();
            continue;
        }
        if (status != ARV_BUFFER_STATUS_SUCCESS) {
            if (is_corrupt(status))
                ++stream->corrupt;
            else
                ++stream->lost;
        }
        if (!stream->halted) {
            g_object_ref(arv);
            rec->in_stream = true;
            arv_stream_push_buffer(arv_stream, arv);
        }
    }
}

// Stops the receive thread so that no caller block is written any more. Idempotent.
void halt(stream_rec* stream) {
    {
        std::lock_guard<std::mutex> lock(stream->lock);
        if (stream->halted) return;
    }
    arv_stream_set_emit_signals(stream->arv, FALSE);
    // Joins the receive thread and drops the stream's references to queued buffers. Not
    // under stream->lock: the receive thread may be waiting for it in on_new_buffer.
    arv_stream_stop_thread(stream->arv, TRUE);
    std::lock_guard<std::mutex> lock(stream->lock);
    for (auto& [rec, owned] : stream->buffers) rec->in_stream = false;
    stream->halted = true;
}

J_STATUS_TYPE put_value(void* value, std::uint32_t* size, const void* source, std::uint32_t length) {
    if (!value || !size || *size < length) return J_ST_INVALID_BUFFER_SIZE;
    std::memcpy(value, source, length);
    *size = length;
    return J_ST_SUCCESS;
}

template <typename T>
J_STATUS_TYPE put(void* value, std::uint32_t* size, T v) {
    return put_value(value, size, &v, sizeof v);
}

J_STATUS_TYPE failed(GError* error) {
    if (!error) return J_ST_SUCCESS;
    g_error_free(error);
    return J_ST_ERROR;
}

}  // namespace

struct aravis_backend::state {
    mode which = mode::real;
    std::mutex mutex;  // guards the sets below, devices and last_update, and every arv_* system call
    std::set<factory_rec*> factories;
    std::set<camera_rec*> cameras;
    std::set<stream_rec*> streams;
    std::set<event_rec*> events;
    std::set<wait_condition*> conditions;
    std::vector<device_entry> devices;
    std::chrono::steady_clock::time_point last_update{};
    bool updated = false;

    template <typename T>
    T* find(const std::set<T*>& in, void* handle) {
        std::lock_guard<std::mutex> lock(mutex);
        auto* p = static_cast<T*>(handle);
        return in.count(p) ? p : nullptr;
    }

    // Discovery is slow on real networks and enumeration asks for the list once per camera,
    // so a list younger than two seconds is reused.
    void refresh_devices() {
        const auto now = std::chrono::steady_clock::now();
        if (updated && now - last_update < std::chrono::seconds(2)) return;
        arv_update_device_list();
        devices.clear();
        const unsigned n = arv_get_n_devices();
        for (unsigned i = 0; i < n; ++i) {
            const char* id = arv_get_device_id(i);
            if (!id) continue;
            const char* model = arv_get_device_model(i);
            const char* address = arv_get_device_address(i);
            const char* protocol = arv_get_device_protocol(i);
            device_entry e;
            e.arv_id = id;
            e.model = model ? model : "";
            e.address = address ? address : "";
            const std::string proto = protocol ? protocol : "";
            e.gige = proto == "GigEVision" || proto == "Fake";
            if (e.gige) {
                e.id = e.arv_id + " INT=>FD";
                e.packet_socket = true;
                devices.push_back(e);
                e.id = e.arv_id + " INT=>SD";
                e.packet_socket = false;
                devices.push_back(e);
            } else {
                e.id = e.arv_id;
                devices.push_back(e);
            }
        }
        last_update = now;
        updated = true;
    }
};

aravis_backend::aravis_backend(mode m) : state_(std::make_unique<state>()) {
    state_->which = m;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (m == mode::simulated) {
        // No interface but the in-process one: no discovery broadcast, no stream socket.
        for (unsigned i = 0, n = arv_get_n_interfaces(); i < n; ++i) {
            const char* id = arv_get_interface_id(i);
            if (id) arv_disable_interface(id);
        }
        arv_enable_interface("Fake");
    } else {
        arv_disable_interface("Fake");
    }
}

aravis_backend::~aravis_backend() {
    // Whatever callers left open is released so that no Aravis thread outlives the backend.
    for (auto* s : std::set<stream_rec*>(state_->streams)) stream_close(s);
    for (auto* e : std::set<event_rec*>(state_->events)) event_close(e);
    for (auto* c : std::set<wait_condition*>(state_->conditions)) event_close_condition(c);
    for (auto* c : std::set<camera_rec*>(state_->cameras)) camera_close(c);
    for (auto* f : std::set<factory_rec*>(state_->factories)) factory_close(f);
}

J_STATUS_TYPE aravis_backend::factory_open(const char*, FACTORY_HANDLE* factory) {
    if (!factory) return J_ST_INVALID_PARAMETER;
    auto* f = new factory_rec;
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->factories.insert(f);
    *factory = f;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::factory_close(FACTORY_HANDLE factory) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* f = static_cast<factory_rec*>(factory);
    if (!state_->factories.erase(f)) return J_ST_INVALID_HANDLE;
    delete f;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::factory_get_info(int info, char* buffer, std::uint32_t* size) {
    if (info != FAC_INFO_VERSION) return J_ST_INVALID_ID;
    std::string text = "Aravis " + std::to_string(arv_get_major_version()) + "." +
                       std::to_string(arv_get_minor_version()) + "." + std::to_string(arv_get_micro_version());
    if (state_->which == mode::simulated) text += " (simulated camera)";
    return copy_sdk_text(text.c_str(), buffer, size);
}

J_STATUS_TYPE aravis_backend::factory_update_camera_list(FACTORY_HANDLE factory, bool* changed) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* f = static_cast<factory_rec*>(factory);
    if (!state_->factories.count(f)) return J_ST_INVALID_HANDLE;
    state_->refresh_devices();
    if (changed) *changed = f->list.size() != state_->devices.size();
    f->list = state_->devices;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::factory_get_num_of_cameras(FACTORY_HANDLE factory, std::uint32_t* count) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* f = static_cast<factory_rec*>(factory);
    if (!state_->factories.count(f) || !count) return J_ST_INVALID_HANDLE;
    *count = static_cast<std::uint32_t>(f->list.size());
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::factory_get_camera_id_by_index(FACTORY_HANDLE factory, std::int32_t index,
                                                             char* id, std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* f = static_cast<factory_rec*>(factory);
    if (!state_->factories.count(f)) return J_ST_INVALID_HANDLE;
    if (index < 0 || static_cast<std::size_t>(index) >= f->list.size()) return J_ST_INVALID_ID;
    return copy_sdk_text(f->list[index].id.c_str(), id, size);
}

J_STATUS_TYPE aravis_backend::factory_get_camera_info(FACTORY_HANDLE factory, const char* camera_id, int info,
                                                      char* buffer, std::uint32_t* size) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* f = static_cast<factory_rec*>(factory);
    if (!state_->factories.count(f) || !camera_id) return J_ST_INVALID_HANDLE;
    for (const auto& e : f->list) {
        if (e.id != camera_id) continue;
        if (info == CAM_INFO_MODELNAME) return copy_sdk_text(e.model.c_str(), buffer, size);
        if (info == CAM_INFO_IP) return copy_sdk_text(e.address.c_str(), buffer, size);
        return J_ST_INVALID_ID;
    }
    return J_ST_INVALID_ID;
}

J_STATUS_TYPE aravis_backend::camera_open(FACTORY_HANDLE factory, const char* camera_id, CAM_HANDLE* camera) {
    if (!camera_id || !camera) return J_ST_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->factories.count(static_cast<factory_rec*>(factory))) return J_ST_INVALID_HANDLE;
    const device_entry* entry = nullptr;
    for (const auto& e : state_->devices)
        if (e.id == camera_id) entry = &e;
    if (!entry) return J_ST_INVALID_ID;
    GError* error = nullptr;
    ArvCamera* arv = arv_camera_new(entry->arv_id.c_str(), &error);
    if (!arv) {
        if (error) g_error_free(error);
        return J_ST_ERROR;
    }
    if (arv_camera_is_gv_device(arv) && !entry->packet_socket)
        arv_camera_gv_set_stream_options(arv, ARV_GV_STREAM_OPTION_PACKET_SOCKET_DISABLED);
    auto* rec = new camera_rec;
    rec->arv = arv;
    state_->cameras.insert(rec);
    *camera = rec;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::camera_close(CAM_HANDLE camera) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* rec = static_cast<camera_rec*>(camera);
    if (!state_->cameras.erase(rec)) return J_ST_INVALID_HANDLE;
    g_object_unref(rec->arv);
    delete rec;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::camera_get_value_int64(CAM_HANDLE camera, const char* feature, std::int64_t* value) {
    auto* rec = state_->find(state_->cameras, camera);
    if (!rec || !feature || !value) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(rec->lock);
    GError* error = nullptr;
    const gint64 v = arv_camera_get_integer(rec->arv, feature, &error);
    if (error) return failed(error);
    *value = v;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::camera_set_value_string(CAM_HANDLE camera, const char* feature, const char* value) {
    auto* rec = state_->find(state_->cameras, camera);
    if (!rec || !feature || !value) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(rec->lock);
    GError* error = nullptr;
    // As the SDK's string setter: any feature node takes its value from text (an integer
    // feature such as Width too), not only string features.
    ArvGcNode* node = arv_device_get_feature(arv_camera_get_device(rec->arv), feature);
    if (node && ARV_IS_GC_FEATURE_NODE(node) && !ARV_IS_GC_STRING(node))
        arv_gc_feature_node_set_value_from_string(ARV_GC_FEATURE_NODE(node), value, &error);
    else
        arv_camera_set_string(rec->arv, feature, value, &error);
    return failed(error);
}

J_STATUS_TYPE aravis_backend::camera_execute_command(CAM_HANDLE camera, const char* command) {
    auto* rec = state_->find(state_->cameras, camera);
    if (!rec || !command) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(rec->lock);
    GError* error = nullptr;
    // The plain feature commands: Aravis's start/stop helpers also start and stop the stream
    // threads of some transports, which the stream calls below manage themselves.
    arv_camera_execute_command(rec->arv, command, &error);
    return failed(error);
}

J_STATUS_TYPE aravis_backend::camera_get_num_of_data_streams(CAM_HANDLE camera, std::uint32_t* count) {
    auto* rec = state_->find(state_->cameras, camera);
    if (!rec || !count) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(rec->lock);
    if (!arv_camera_is_gv_device(rec->arv)) {
        *count = 1;
        return J_ST_SUCCESS;
    }
    GError* error = nullptr;
    const gint n = arv_camera_gv_get_n_stream_channels(rec->arv, &error);
    if (error) return failed(error);
    *count = n > 0 ? static_cast<std::uint32_t>(n) : 0;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::camera_create_data_stream(CAM_HANDLE camera, std::uint32_t index,
                                                        STREAM_HANDLE* stream) {
    auto* rec = state_->find(state_->cameras, camera);
    if (!rec || !stream) return J_ST_INVALID_HANDLE;
    if (index != 0) return J_ST_INVALID_PARAMETER;
    ArvStream* arv = nullptr;
    {
        std::lock_guard<std::mutex> lock(rec->lock);
        GError* error = nullptr;
        arv = arv_camera_create_stream(rec->arv, nullptr, nullptr, &error);
        if (!arv) {
        if (error) g_error_free(error);
        return J_ST_ERROR;
    }
    }
    auto* s = new stream_rec;
    s->camera = rec;
    s->arv = arv;
    s->handler = g_signal_connect(arv, "new-buffer", G_CALLBACK(on_new_buffer), s);
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->streams.insert(s);
    *stream = s;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::stream_set_param(STREAM_HANDLE stream, int, void*, std::uint32_t) {
    // Stream parameters tune the vendor driver; Aravis's defaults stand.
    return state_->find(state_->streams, stream) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

J_STATUS_TYPE aravis_backend::stream_announce_buffer(STREAM_HANDLE stream, void* block, std::uint32_t size,
                                                     void* private_data, BUF_HANDLE* buffer) {
    auto* s = state_->find(state_->streams, stream);
    if (!s || !block || !buffer || size == 0) return J_ST_INVALID_PARAMETER;
    auto rec = std::make_unique<buffer_rec>();
    rec->block = block;
    rec->size = size;
    rec->private_data = private_data;
    rec->arv = arv_buffer_new_full(size, block, rec.get(), nullptr);
    std::lock_guard<std::mutex> lock(s->lock);
    *buffer = rec.get();
    s->buffers.emplace(rec.get(), std::move(rec));
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::stream_queue_buffer(STREAM_HANDLE stream, BUF_HANDLE buffer) {
    auto* s = state_->find(state_->streams, stream);
    if (!s) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(s->lock);
    auto it = s->buffers.find(static_cast<buffer_rec*>(buffer));
    if (it == s->buffers.end()) return J_ST_INVALID_HANDLE;
    buffer_rec* rec = it->first;
    if (rec->in_stream) return J_ST_SUCCESS;
    if (s->halted) return J_ST_NOT_AVAILABLE;
    g_object_ref(rec->arv);
    rec->in_stream = true;
    arv_stream_push_buffer(s->arv, rec->arv);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::stream_register_event(STREAM_HANDLE stream, int kind, HANDLE condition,
                                                    EVT_HANDLE* event) {
    auto* s = state_->find(state_->streams, stream);
    auto* c = state_->find(state_->conditions, condition);
    if (!s || !c || !event) return J_ST_INVALID_HANDLE;
    if (kind != EVENT_NEW_BUFFER) return J_ST_INVALID_PARAMETER;
    auto* e = new event_rec{s, c};
    {
        std::lock_guard<std::mutex> lock(s->lock);
        if (s->event) {
            delete e;
            return J_ST_ACCESS_DENIED;
        }
        s->event = e;
    }
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->events.insert(e);
    }
    arv_stream_set_emit_signals(s->arv, TRUE);
    *event = e;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::stream_unregister_event(STREAM_HANDLE stream, int kind) {
    auto* s = state_->find(state_->streams, stream);
    if (!s) return J_ST_INVALID_HANDLE;
    if (kind != EVENT_NEW_BUFFER) return J_ST_INVALID_PARAMETER;
    arv_stream_set_emit_signals(s->arv, FALSE);
    std::lock_guard<std::mutex> state_lock(state_->mutex);  // e->stream is read under it
    std::lock_guard<std::mutex> lock(s->lock);
    if (s->event) s->event->stream = nullptr;
    s->event = nullptr;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::stream_start_acquisition(STREAM_HANDLE stream, int, std::uint64_t) {
    // Aravis's receive thread runs from the stream's creation; the camera command starts frames.
    auto* s = state_->find(state_->streams, stream);
    if (!s) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(s->lock);
    return s->halted ? J_ST_NOT_AVAILABLE : J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::stream_stop_acquisition(STREAM_HANDLE stream, int) {
    auto* s = state_->find(state_->streams, stream);
    if (!s) return J_ST_INVALID_HANDLE;
    halt(s);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::stream_get_buffer_info(STREAM_HANDLE stream, BUF_HANDLE buffer, int item,
                                                     void* value, std::uint32_t* size) {
    auto* s = state_->find(state_->streams, stream);
    if (!s) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(s->lock);
    auto it = s->buffers.find(static_cast<buffer_rec*>(buffer));
    if (it == s->buffers.end()) return J_ST_INVALID_HANDLE;
    ArvBuffer* arv = it->first->arv;
    switch (item) {
        case BUFFER_INFO_BASE: {
            size_t n = 0;
            const void* data = arv_buffer_get_image_data(arv, &n);
            if (!data) data = arv_buffer_get_data(arv, &n);
            return put<std::uint64_t>(value, size, reinterpret_cast<std::uintptr_t>(data));
        }
        case BUFFER_INFO_SIZE: {
            size_t n = 0;
            if (!arv_buffer_get_image_data(arv, &n)) arv_buffer_get_data(arv, &n);
            return put<std::uint32_t>(value, size, static_cast<std::uint32_t>(n));
        }
        case BUFFER_INFO_WIDTH: return put<std::uint32_t>(value, size, arv_buffer_get_image_width(arv));
        case BUFFER_INFO_HEIGHT: return put<std::uint32_t>(value, size, arv_buffer_get_image_height(arv));
        case BUFFER_INFO_PIXELTYPE:
            return put<std::uint64_t>(value, size, arv_buffer_get_image_pixel_format(arv));
        case BUFFER_INFO_TIMESTAMP: {
            guint64 ts = arv_buffer_get_timestamp(arv);
            if (ts == 0) ts = arv_buffer_get_system_timestamp(arv);
            return put<std::uint64_t>(value, size, ts);
        }
        case BUFFER_INFO_NUM_PACKETS_MISSING: return put<std::uint32_t>(value, size, 0);
        case BUFFER_INFO_NUMBER_OF_QUEUED: {
            std::uint64_t queued = 0;
            for (const auto& [rec, owned] : s->buffers) queued += rec->in_stream ? 1 : 0;
            return put<std::uint64_t>(value, size, queued);
        }
        case BUFFER_INFO_XOFFSET: return put<std::uint32_t>(value, size, arv_buffer_get_image_x(arv));
        case BUFFER_INFO_YOFFSET: return put<std::uint32_t>(value, size, arv_buffer_get_image_y(arv));
        case BUFFER_INFO_XPADDING: {
            gint x = 0, y = 0;
            arv_buffer_get_image_padding(arv, &x, &y);
            return put<std::uint32_t>(value, size, static_cast<std::uint32_t>(x));
        }
        case BUFFER_INFO_BLOCKID: return put<std::uint64_t>(value, size, arv_buffer_get_frame_id(arv));
        default: return J_ST_INVALID_ID;
    }
}

J_STATUS_TYPE aravis_backend::stream_get_stream_info(STREAM_HANDLE stream, int item, void* value,
                                                     std::uint32_t* size) {
    auto* s = state_->find(state_->streams, stream);
    if (!s) return J_ST_INVALID_HANDLE;
    guint64 completed = 0, failures = 0, underruns = 0;
    arv_stream_get_statistics(s->arv, &completed, &failures, &underruns);
    std::lock_guard<std::mutex> lock(s->lock);
    switch (item) {
        case STREAM_INFO_CMD_NUMBER_OF_FRAMES_DELIVERED: return put<std::uint64_t>(value, size, s->delivered);
        case STREAM_INFO_CMD_NUMBER_OF_FRAMES_LOST: return put<std::uint64_t>(value, size, s->lost + underruns);
        case STREAM_INFO_CMD_NUMBER_OF_FRAMES_AWAIT_DELIVERY:
            return put<std::uint64_t>(value, size, s->ready.size());
        case STREAM_INFO_CMD_NUMBER_OF_FRAMES_CORRUPT_ON_DELIEVRY:
            return put<std::uint64_t>(value, size, s->corrupt);
        default: return J_ST_INVALID_ID;
    }
}

J_STATUS_TYPE aravis_backend::stream_flush_queue(STREAM_HANDLE stream, int mode) {
    auto* s = state_->find(state_->streams, stream);
    if (!s) return J_ST_INVALID_HANDLE;
    if (mode == ACQ_QUEUE_OUTPUT_DISCARD) {
        std::lock_guard<std::mutex> lock(s->lock);
        s->ready.clear();
    }
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::stream_revoke_buffer(STREAM_HANDLE stream, BUF_HANDLE buffer, void** block,
                                                   void** private_data) {
    auto* s = state_->find(state_->streams, stream);
    if (!s) return J_ST_INVALID_HANDLE;
    // The caller frees the block next: Aravis must never write into it again.
    halt(s);
    std::lock_guard<std::mutex> lock(s->lock);
    auto it = s->buffers.find(static_cast<buffer_rec*>(buffer));
    if (it == s->buffers.end()) return J_ST_INVALID_HANDLE;
    buffer_rec* rec = it->first;
    if (block) *block = rec->block;
    if (private_data) *private_data = rec->private_data;
    std::erase(s->ready, rec);
    g_object_unref(rec->arv);
    s->buffers.erase(it);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::stream_close(STREAM_HANDLE stream) {
    stream_rec* s = nullptr;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        s = static_cast<stream_rec*>(stream);
        if (!state_->streams.erase(s)) return J_ST_INVALID_HANDLE;
    }
    halt(s);
    g_signal_handler_disconnect(s->arv, s->handler);
    // Finalising a stream stops its receive thread unconditionally; give it an idle one
    // (no buffer is queued any more, no signal is emitted) so Aravis finds what it expects.
    arv_stream_start_thread(s->arv);
    g_object_unref(s->arv);
    {
        std::lock_guard<std::mutex> state_lock(state_->mutex);  // e->stream is read under it
        std::lock_guard<std::mutex> lock(s->lock);
        for (auto& [rec, owned] : s->buffers) g_object_unref(rec->arv);
        if (s->event) s->event->stream = nullptr;
        s->buffers.clear();
    }
    delete s;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::event_create_condition(HANDLE* condition) {
    if (!condition) return J_ST_INVALID_PARAMETER;
    auto* c = new wait_condition;
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->conditions.insert(c);
    *condition = c;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::event_wait_for_condition(HANDLE condition, std::uint32_t timeout_ms,
                                                       std::uint32_t* result) {
    auto* c = state_->find(state_->conditions, condition);
    if (!c || !result) return J_ST_INVALID_HANDLE;
    *result = c->wait(timeout_ms);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::event_exit_condition(HANDLE condition) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* c = static_cast<wait_condition*>(condition);
    if (!state_->conditions.count(c)) return J_ST_INVALID_HANDLE;
    c->request_exit();
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::event_close_condition(HANDLE condition) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* c = static_cast<wait_condition*>(condition);
    if (!state_->conditions.erase(c)) return J_ST_INVALID_HANDLE;
    // An event still registered must not signal a freed condition.
    for (event_rec* e : state_->events) {
        if (e->condition != c) continue;
        if (e->stream) {
            std::lock_guard<std::mutex> stream_lock(e->stream->lock);
            e->condition = nullptr;
        } else {
            e->condition = nullptr;
        }
    }
    delete c;
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::event_get_data(EVT_HANDLE event, void* destination, std::uint32_t* size) {
    if (!destination || !size || *size < sizeof(void*)) return J_ST_INVALID_BUFFER_SIZE;
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* e = static_cast<event_rec*>(event);
    if (!state_->events.count(e) || !e->stream) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> stream_lock(e->stream->lock);
    if (e->stream->ready.empty()) return J_ST_NOT_AVAILABLE;
    buffer_rec* rec = e->stream->ready.front();
    e->stream->ready.pop_front();
    std::memset(destination, 0, *size);
    std::memcpy(destination, &rec, sizeof rec);
    return J_ST_SUCCESS;
}

J_STATUS_TYPE aravis_backend::event_close(EVT_HANDLE event) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* e = static_cast<event_rec*>(event);
    if (!state_->events.erase(e)) return J_ST_INVALID_HANDLE;
    if (e->stream) {
        std::lock_guard<std::mutex> stream_lock(e->stream->lock);
        if (e->stream->event == e) e->stream->event = nullptr;
    }
    delete e;
    return J_ST_SUCCESS;
}
