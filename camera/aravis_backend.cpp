#include "camera/aravis_backend.h"

#include "camera/buffer_pool.h"
#include "camera/handle_table.h"
#include "camera/simulated_pattern.h"
#include "camera/wait_condition.h"

#include <arv.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>
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
    std::vector<device_entry> list;  // the list as of this factory's last update; under the system lock
};

// What Aravis's heartbeat thread touches when the camera stops answering, kept apart from the
// camera and stream records: were the handler to hold one of those and let go of its last
// reference there, the device would be finalised on the heartbeat thread, which Aravis then
// joins from itself ("Resource deadlock avoided") and aborts.
struct control_link {
    std::atomic<bool> lost{false};                  // the control connection is gone
    std::mutex lock;                                // guards pools
    std::vector<std::weak_ptr<buffer_pool>> pools;  // of the camera's streams
};

struct camera_rec {
    ArvCamera* arv = nullptr;
    std::mutex lock;  // guards every use of arv
    gulong lost_handler = 0;
    std::shared_ptr<control_link> link = std::make_shared<control_link>();
    ArvFakeCamera* fake = nullptr;  // the simulated camera behind arv, if it is one; owned by arv

    ~camera_rec() {
        if (lost_handler) g_signal_handler_disconnect(arv_camera_get_device(arv), lost_handler);
        if (arv) g_object_unref(arv);  // null when Aravis refused to open the camera
    }
};

struct stream_rec {
    std::shared_ptr<camera_rec> camera;  // Aravis's stream needs its device alive
    ArvStream* arv = nullptr;
    gulong handler = 0;
    std::shared_ptr<buffer_pool> pool;
    std::mutex halt_lock;             // serialises halt()
    std::atomic<bool> halted{false};  // the receive thread was stopped; no buffer is in Aravis

    // Stops the receive thread so that no caller block is written any more. Idempotent.
    void halt() {
        std::lock_guard<std::mutex> lock(halt_lock);
        if (halted) return;
        pool->stop_input();  // from here on no buffer enters Aravis's input queue
        arv_stream_set_emit_signals(arv, FALSE);
        // Joins the receive thread and drops Aravis's references to the buffers it held.
        arv_stream_stop_thread(arv, TRUE);
        halted = true;
    }

    ~stream_rec() {
        if (!arv) return;  // Aravis refused the stream: nothing was made, nothing to release
        halt();
        g_signal_handler_disconnect(arv, handler);
        // Finalising a stream stops its receive thread unconditionally; give it an idle one
        // (no buffer is queued any more, no signal is emitted) so Aravis finds what it expects.
        arv_stream_start_thread(arv);
        g_object_unref(arv);
        for (const pool_buffer& b : pool->take_all()) g_object_unref(static_cast<ArvBuffer*>(b.native));
    }
};

buffer_pool::outcome outcome_of(ArvBufferStatus status) {
    if (status == ARV_BUFFER_STATUS_SUCCESS) return buffer_pool::outcome::whole;
    // A time-out means the frame retention ran out with packets still missing: a frame that
    // arrived incomplete, like the other three.
    if (status == ARV_BUFFER_STATUS_MISSING_PACKETS || status == ARV_BUFFER_STATUS_WRONG_PACKET_ID ||
        status == ARV_BUFFER_STATUS_SIZE_MISMATCH || status == ARV_BUFFER_STATUS_TIMEOUT)
        return buffer_pool::outcome::corrupt;
    return buffer_pool::outcome::lost;
}

// Runs on Aravis's receive thread for every completed buffer. The stream record outlives
// every call: its destruction joins that thread first.
void on_new_buffer(ArvStream* arv_stream, gpointer user_data) {
    auto* stream = static_cast<stream_rec*>(user_data);
    while (ArvBuffer* arv = arv_stream_try_pop_buffer(arv_stream)) {
        // The stream's reference came back with the pop; ours keeps the buffer alive.
        g_object_unref(arv);
        BUF_HANDLE handle = const_cast<void*>(arv_buffer_get_user_data(arv));
        stream->pool->complete(handle, outcome_of(arv_buffer_get_status(arv)), arv_buffer_get_frame_id(arv));
    }
}

// Runs on Aravis's heartbeat thread when the camera stops answering.
void on_control_lost(ArvGvDevice*, gpointer user_data) {
    const auto& link = *static_cast<std::shared_ptr<control_link>*>(user_data);
    link->lost = true;
    std::lock_guard<std::mutex> lock(link->lock);
    for (const auto& weak : link->pools)
        if (auto pool = weak.lock())
            if (auto condition = pool->listener()) condition->fail();
}

// Chooses the simulated camera's pattern; the caller holds camera.lock. The fast patterns
// draw 8-bit mono only; other formats keep the fake camera's own.
void choose_pattern(camera_rec& camera, bool fast, bool undercar) {
    GError* error = nullptr;
    const ArvPixelFormat format = arv_camera_get_pixel_format(camera.arv, &error);
    if (error) g_error_free(error);
    use_fast_pattern(camera.fake, fast && !error && format == ARV_PIXEL_FORMAT_MONO_8, undercar);
}

void forget_control_link(gpointer data, GClosure*) { delete static_cast<std::shared_ptr<control_link>*>(data); }

// The settings of Aravis's own UDP receive path for a GigE Vision stream, so that it keeps
// up with a camera that sends a full 1 Gb/s (the packet-socket path needs none of them).
// `payload` is the camera's frame size in bytes, 0 when unknown.
void tune_socket_stream(ArvStream* stream, guint payload) {
    if (!ARV_IS_GV_STREAM(stream)) return;
    g_object_set(stream,
                 // Missing packets are asked for again, so a dropped datagram costs no frame.
                 "packet-resend", ARV_GV_STREAM_PACKET_RESEND_ALWAYS,
                 // 20 ms before a missing packet is asked for again: many resend round trips
                 // on a LAN, yet half a frame period at 25 fps.
                 "packet-timeout", 20000u,
                 // An incomplete frame is kept 200 ms (five frame periods at 25 fps, well
                 // within the twenty buffers) so that resent packets can still complete it.
                 "frame-retention", 200000u, nullptr);
    // The system's default receive buffer (~200 kB) overflows within one frame whenever the
    // receive thread is not scheduled for a moment. Four frames ride out a busy machine (the
    // kernel caps the size at net.core.rmem_max); Aravis's own sizing gives one frame.
    constexpr guint frames = 4;
    if (payload > 0 && payload <= G_MAXINT / frames)
        g_object_set(stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size",
                     static_cast<gint>(frames * payload), nullptr);
    else
        g_object_set(stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_AUTO, nullptr);
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

// Success without an error; otherwise J_ST_ERROR in Aravis's words, and the error is freed.
camera_status failed(GError* error) {
    if (!error) return J_ST_SUCCESS;
    camera_status status(J_ST_ERROR, error->message ? error->message : "");
    g_error_free(error);
    return status;
}

// The answer of every call on a camera whose control connection was lost.
camera_status lost_camera() { return camera_status(J_ST_ERROR, "the camera no longer answers on the network"); }

}  // namespace

struct aravis_backend::state {
    mode which = mode::real;
    std::mutex system;  // guards devices, last_update, every factory's list and every arv_* system call
    handle_table<factory_rec> factories;
    handle_table<camera_rec> cameras;
    handle_table<stream_rec> streams;
    handle_table<stream_event> events;
    handle_table<wait_condition> conditions;
    std::vector<device_entry> devices;
    std::chrono::steady_clock::time_point last_update{};
    bool updated = false;
    std::atomic<bool> fast_pattern{true};  // simulated cameras draw with the row-copy ramp
    simulated_picture picture;             // set at construction, read-only after
    bool undercar() const { return picture.kind == simulated_picture::scene::undercar; }

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

aravis_backend::aravis_backend(mode m, simulated_picture picture) : state_(std::make_unique<state>()) {
    state_->which = m;
    state_->picture = picture;
    std::lock_guard<std::mutex> lock(state_->system);
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
    // Whatever callers left open is released, streams first, so that no Aravis thread
    // outlives the backend.
    for (auto& [h, s] : state_->streams.snapshot()) state_->streams.remove(h);
    for (auto& [h, e] : state_->events.snapshot()) state_->events.remove(h);
    for (auto& [h, c] : state_->conditions.snapshot()) state_->conditions.remove(h);
    for (auto& [h, c] : state_->cameras.snapshot()) state_->cameras.remove(h);
    for (auto& [h, f] : state_->factories.snapshot()) state_->factories.remove(h);
}

void aravis_backend::use_fast_simulated_pattern(bool fast) {
    state_->fast_pattern = fast;
    for (auto& [h, camera] : state_->cameras.snapshot()) {
        if (!camera->fake) continue;
        std::lock_guard<std::mutex> lock(camera->lock);
        choose_pattern(*camera, fast, state_->undercar());
    }
}

camera_status aravis_backend::factory_open(const char*, FACTORY_HANDLE* factory) {
    if (!factory) return J_ST_INVALID_PARAMETER;
    *factory = state_->factories.add(std::make_shared<factory_rec>());
    return J_ST_SUCCESS;
}

camera_status aravis_backend::factory_close(FACTORY_HANDLE factory) {
    return state_->factories.remove(factory) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

camera_status aravis_backend::factory_get_info(int info, char* buffer, std::uint32_t* size) {
    if (info != FAC_INFO_VERSION) return J_ST_INVALID_ID;
    std::string text = "Aravis " + std::to_string(arv_get_major_version()) + "." +
                       std::to_string(arv_get_minor_version()) + "." + std::to_string(arv_get_micro_version());
    if (state_->which == mode::simulated) text += " (simulated camera)";
    return copy_sdk_text(text.c_str(), buffer, size);
}

camera_status aravis_backend::factory_update_camera_list(FACTORY_HANDLE factory, bool* changed) {
    auto f = state_->factories.find(factory);
    if (!f) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(state_->system);
    state_->refresh_devices();
    if (changed) *changed = f->list.size() != state_->devices.size();
    f->list = state_->devices;
    return J_ST_SUCCESS;
}

camera_status aravis_backend::factory_get_num_of_cameras(FACTORY_HANDLE factory, std::uint32_t* count) {
    auto f = state_->factories.find(factory);
    if (!f || !count) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(state_->system);
    *count = static_cast<std::uint32_t>(f->list.size());
    return J_ST_SUCCESS;
}

camera_status aravis_backend::factory_get_camera_id_by_index(FACTORY_HANDLE factory, std::int32_t index, char* id,
                                                             std::uint32_t* size) {
    auto f = state_->factories.find(factory);
    if (!f) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(state_->system);
    if (index < 0 || static_cast<std::size_t>(index) >= f->list.size()) return J_ST_INVALID_ID;
    return copy_sdk_text(f->list[index].id.c_str(), id, size);
}

camera_status aravis_backend::factory_get_camera_info(FACTORY_HANDLE factory, const char* camera_id, int info,
                                                      char* buffer, std::uint32_t* size) {
    auto f = state_->factories.find(factory);
    if (!f || !camera_id) return J_ST_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(state_->system);
    for (const auto& e : f->list) {
        if (e.id != camera_id) continue;
        if (info == CAM_INFO_MODELNAME) return copy_sdk_text(e.model.c_str(), buffer, size);
        if (info == CAM_INFO_IP) return copy_sdk_text(e.address.c_str(), buffer, size);
        return J_ST_INVALID_ID;
    }
    return J_ST_INVALID_ID;
}

camera_status aravis_backend::camera_open(FACTORY_HANDLE factory, const char* camera_id, CAM_HANDLE* camera) {
    if (!camera_id || !camera) return J_ST_INVALID_PARAMETER;
    if (!state_->factories.find(factory)) return J_ST_INVALID_HANDLE;
    auto rec = std::make_shared<camera_rec>();
    {
        std::lock_guard<std::mutex> lock(state_->system);
        const device_entry* entry = nullptr;
        for (const auto& e : state_->devices)
            if (e.id == camera_id) entry = &e;
        if (!entry) return J_ST_INVALID_ID;
        GError* error = nullptr;
        rec->arv = arv_camera_new(entry->arv_id.c_str(), &error);
        if (!rec->arv) return error ? failed(error) : camera_status(J_ST_ERROR);
        if (arv_camera_is_gv_device(rec->arv) && !entry->packet_socket)
            arv_camera_gv_set_stream_options(rec->arv, ARV_GV_STREAM_OPTION_PACKET_SOCKET_DISABLED);
    }
    ArvDevice* device = arv_camera_get_device(rec->arv);
    // Its pattern is chosen at each acquisition start, when the pixel format is settled.
    if (ARV_IS_FAKE_DEVICE(device)) {
        rec->fake = arv_fake_device_get_fake_camera(ARV_FAKE_DEVICE(device));
        // The frame size the environment asked for, as if the operator had set it; a size
        // the camera refuses leaves its own.
        if (state_->picture.width > 0 && state_->picture.height > 0) {
            for (const auto& [feature, value] : {std::pair<const char*, std::uint32_t>{"Width", state_->picture.width},
                                                 {"Height", state_->picture.height}}) {
                GError* error = nullptr;
                arv_camera_set_integer(rec->arv, feature, value, &error);
                if (error) g_error_free(error);
            }
        }
        // Already now: the fake stream can draw a frame between the stream's start and the
        // acquisition start, which chooses again once the pixel format is settled.
        choose_pattern(*rec, state_->fast_pattern, state_->undercar());
    }
    if (ARV_IS_GV_DEVICE(device))
        rec->lost_handler =
            g_signal_connect_data(device, "control-lost", G_CALLBACK(on_control_lost),
                                  new std::shared_ptr<control_link>(rec->link), forget_control_link, GConnectFlags{});
    *camera = state_->cameras.add(std::move(rec));
    return J_ST_SUCCESS;
}

camera_status aravis_backend::camera_close(CAM_HANDLE camera) {
    // The record (and the Aravis camera) goes when its last user, or its last stream, lets go.
    return state_->cameras.remove(camera) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

camera_status aravis_backend::camera_get_value_int64(CAM_HANDLE camera, const char* feature, std::int64_t* value) {
    auto rec = state_->cameras.find(camera);
    if (!rec || !feature || !value) return J_ST_INVALID_HANDLE;
    if (rec->link->lost) return lost_camera();
    std::lock_guard<std::mutex> lock(rec->lock);
    GError* error = nullptr;
    const gint64 v = arv_camera_get_integer(rec->arv, feature, &error);
    if (error) return failed(error);
    *value = v;
    return J_ST_SUCCESS;
}

camera_status aravis_backend::camera_get_value_double(CAM_HANDLE camera, const char* feature, double* value) {
    auto rec = state_->cameras.find(camera);
    if (!rec || !feature || !value) return J_ST_INVALID_HANDLE;
    if (rec->link->lost) return lost_camera();
    std::lock_guard<std::mutex> lock(rec->lock);
    GError* error = nullptr;
    const double v = arv_camera_get_float(rec->arv, feature, &error);
    if (error) return failed(error);
    *value = v;
    return J_ST_SUCCESS;
}

camera_status aravis_backend::camera_set_value_string(CAM_HANDLE camera, const char* feature, const char* value) {
    auto rec = state_->cameras.find(camera);
    if (!rec || !feature || !value) return J_ST_INVALID_HANDLE;
    if (rec->link->lost) return lost_camera();
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

camera_status aravis_backend::camera_execute_command(CAM_HANDLE camera, const char* command) {
    auto rec = state_->cameras.find(camera);
    if (!rec || !command) return J_ST_INVALID_HANDLE;
    if (rec->link->lost) return lost_camera();
    std::lock_guard<std::mutex> lock(rec->lock);
    GError* error = nullptr;
    // The plain feature commands: Aravis's start/stop helpers also start and stop the stream
    // threads of some transports, which the stream calls below manage themselves.
    if (rec->fake && std::strcmp(command, "AcquisitionStart") == 0)
        choose_pattern(*rec, state_->fast_pattern, state_->undercar());
    arv_camera_execute_command(rec->arv, command, &error);
    return failed(error);
}

camera_status aravis_backend::camera_get_num_of_data_streams(CAM_HANDLE camera, std::uint32_t* count) {
    auto rec = state_->cameras.find(camera);
    if (!rec || !count) return J_ST_INVALID_HANDLE;
    if (rec->link->lost) return lost_camera();
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

camera_status aravis_backend::camera_create_data_stream(CAM_HANDLE camera, std::uint32_t index, STREAM_HANDLE* stream) {
    auto rec = state_->cameras.find(camera);
    if (!rec || !stream) return J_ST_INVALID_HANDLE;
    if (index != 0) return J_ST_INVALID_PARAMETER;
    if (rec->link->lost) return lost_camera();
    auto s = std::make_shared<stream_rec>();
    {
        std::lock_guard<std::mutex> lock(rec->lock);
        GError* error = nullptr;
        s->arv = arv_camera_create_stream(rec->arv, nullptr, nullptr, &error);
        if (!s->arv) return error ? failed(error) : camera_status(J_ST_ERROR);
        const guint payload = arv_camera_get_payload(rec->arv, &error);
        tune_socket_stream(s->arv, error ? 0 : payload);
        if (error) g_error_free(error);
    }
    s->camera = rec;
    ArvStream* arv = s->arv;
    // Runs under the pool's lock each time a buffer enters the input queue; Aravis's queue
    // then holds a reference of its own.
    s->pool = std::make_shared<buffer_pool>([arv](pool_buffer& b) {
        auto* buffer = static_cast<ArvBuffer*>(b.native);
        g_object_ref(buffer);
        arv_stream_push_buffer(arv, buffer);
    });
    s->handler = g_signal_connect(arv, "new-buffer", G_CALLBACK(on_new_buffer), s.get());
    {
        std::lock_guard<std::mutex> lock(rec->link->lock);
        std::erase_if(rec->link->pools, [](const std::weak_ptr<buffer_pool>& w) { return w.expired(); });
        rec->link->pools.push_back(s->pool);
    }
    *stream = state_->streams.add(std::move(s));
    return J_ST_SUCCESS;
}

camera_status aravis_backend::stream_set_param(STREAM_HANDLE stream, int, void*, std::uint32_t) {
    // Stream parameters tune the vendor driver; ours are set when the stream is made.
    return state_->streams.find(stream) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

camera_status aravis_backend::stream_announce_buffer(STREAM_HANDLE stream, void* block, std::uint32_t size,
                                                     void* private_data, BUF_HANDLE* buffer) {
    auto s = state_->streams.find(stream);
    if (!s || !block || !buffer || size == 0) return J_ST_INVALID_PARAMETER;
    // Aravis hands the buffer back with its handle as user data.
    BUF_HANDLE handle = s->pool->announce(
        block, size, private_data, [&](BUF_HANDLE h) -> void* { return arv_buffer_new_full(size, block, h, nullptr); });
    *buffer = handle;
    return J_ST_SUCCESS;
}

camera_status aravis_backend::stream_queue_buffer(STREAM_HANDLE stream, BUF_HANDLE buffer) {
    auto s = state_->streams.find(stream);
    if (!s) return J_ST_INVALID_HANDLE;
    return s->pool->queue(buffer);
}

camera_status aravis_backend::stream_register_event(STREAM_HANDLE stream, int kind, HANDLE condition,
                                                    EVT_HANDLE* event) {
    auto s = state_->streams.find(stream);
    auto c = state_->conditions.find(condition);
    if (!s || !c || !event) return J_ST_INVALID_HANDLE;
    if (kind != EVENT_NEW_BUFFER) return J_ST_INVALID_PARAMETER;
    if (s->pool->listener()) return J_ST_ACCESS_DENIED;
    s->pool->set_listener(c);
    if (s->camera->link->lost) c->fail();
    arv_stream_set_emit_signals(s->arv, TRUE);
    *event = state_->events.add(std::make_shared<stream_event>(stream_event{s->pool, c}));
    return J_ST_SUCCESS;
}

camera_status aravis_backend::stream_unregister_event(STREAM_HANDLE stream, int kind) {
    auto s = state_->streams.find(stream);
    if (!s) return J_ST_INVALID_HANDLE;
    if (kind != EVENT_NEW_BUFFER) return J_ST_INVALID_PARAMETER;
    arv_stream_set_emit_signals(s->arv, FALSE);
    s->pool->set_listener(nullptr);
    return J_ST_SUCCESS;
}

camera_status aravis_backend::stream_start_acquisition(STREAM_HANDLE stream, int, std::uint64_t) {
    // Aravis's receive thread runs from the stream's creation; the camera command starts frames.
    auto s = state_->streams.find(stream);
    if (!s) return J_ST_INVALID_HANDLE;
    return s->halted ? J_ST_NOT_AVAILABLE : J_ST_SUCCESS;
}

camera_status aravis_backend::stream_stop_acquisition(STREAM_HANDLE stream, int) {
    auto s = state_->streams.find(stream);
    if (!s) return J_ST_INVALID_HANDLE;
    s->halt();
    return J_ST_SUCCESS;
}

camera_status aravis_backend::stream_get_buffer_info(STREAM_HANDLE stream, BUF_HANDLE buffer, int item, void* value,
                                                     std::uint32_t* size) {
    auto s = state_->streams.find(stream);
    if (!s) return J_ST_INVALID_HANDLE;
    const std::uint64_t queued = s->pool->queued();
    J_STATUS_TYPE status = J_ST_INVALID_HANDLE;
    // The buffer is with the caller, so Aravis does not touch it while it is read.
    s->pool->with_buffer(buffer, [&](const pool_buffer& b) {
        auto* arv = static_cast<ArvBuffer*>(b.native);
        switch (item) {
        case BUFFER_INFO_BASE: {
            size_t n = 0;
            const void* data = arv_buffer_get_image_data(arv, &n);
            if (!data) data = arv_buffer_get_data(arv, &n);
            status = put<std::uint64_t>(value, size, reinterpret_cast<std::uintptr_t>(data));
            break;
        }
        case BUFFER_INFO_SIZE: {
            size_t n = 0;
            if (!arv_buffer_get_image_data(arv, &n)) arv_buffer_get_data(arv, &n);
            if (n == 0 && s->camera->fake) n = drawn_bytes(arv, b.size);
            status = put<std::uint32_t>(value, size, static_cast<std::uint32_t>(n));
            break;
        }
        case BUFFER_INFO_WIDTH: status = put<std::uint32_t>(value, size, arv_buffer_get_image_width(arv)); break;
        case BUFFER_INFO_HEIGHT: status = put<std::uint32_t>(value, size, arv_buffer_get_image_height(arv)); break;
        case BUFFER_INFO_PIXELTYPE:
            status = put<std::uint64_t>(value, size, arv_buffer_get_image_pixel_format(arv));
            break;
        case BUFFER_INFO_TIMESTAMP: {
            guint64 ts = arv_buffer_get_timestamp(arv);
            if (ts == 0) ts = arv_buffer_get_system_timestamp(arv);
            status = put<std::uint64_t>(value, size, ts);
            break;
        }
        // Only whole frames are handed out.
        case BUFFER_INFO_NUM_PACKETS_MISSING: status = put<std::uint32_t>(value, size, 0); break;
        case BUFFER_INFO_NUMBER_OF_QUEUED: status = put<std::uint64_t>(value, size, queued); break;
        case BUFFER_INFO_XOFFSET: status = put<std::uint32_t>(value, size, arv_buffer_get_image_x(arv)); break;
        case BUFFER_INFO_YOFFSET: status = put<std::uint32_t>(value, size, arv_buffer_get_image_y(arv)); break;
        case BUFFER_INFO_XPADDING: {
            gint x = 0, y = 0;
            arv_buffer_get_image_padding(arv, &x, &y);
            status = put<std::uint32_t>(value, size, static_cast<std::uint32_t>(x));
            break;
        }
        case BUFFER_INFO_BLOCKID: status = put<std::uint64_t>(value, size, arv_buffer_get_frame_id(arv)); break;
        default: status = J_ST_INVALID_ID;
        }
    });
    return status;
}

camera_status aravis_backend::stream_get_stream_info(STREAM_HANDLE stream, int item, void* value, std::uint32_t* size) {
    auto s = state_->streams.find(stream);
    if (!s) return J_ST_INVALID_HANDLE;
    guint64 completed = 0, failures = 0, underruns = 0;
    arv_stream_get_statistics(s->arv, &completed, &failures, &underruns);
    switch (item) {
    case STREAM_INFO_CMD_NUMBER_OF_FRAMES_DELIVERED: return put<std::uint64_t>(value, size, s->pool->delivered());
    case STREAM_INFO_CMD_NUMBER_OF_FRAMES_LOST: return put<std::uint64_t>(value, size, s->pool->lost() + underruns);
    case STREAM_INFO_CMD_NUMBER_OF_FRAMES_AWAIT_DELIVERY: return put<std::uint64_t>(value, size, s->pool->waiting());
    case STREAM_INFO_CMD_NUMBER_OF_FRAMES_CORRUPT_ON_DELIEVRY:
        return put<std::uint64_t>(value, size, s->pool->corrupt());
    default: return J_ST_INVALID_ID;
    }
}

camera_status aravis_backend::stream_flush_queue(STREAM_HANDLE stream, int mode) {
    auto s = state_->streams.find(stream);
    if (!s) return J_ST_INVALID_HANDLE;
    // While the receive thread runs, the input queue is Aravis's: nothing to move.
    if (mode == ACQ_QUEUE_OUTPUT_DISCARD || s->halted) s->pool->flush(mode);
    return J_ST_SUCCESS;
}

camera_status aravis_backend::stream_revoke_buffer(STREAM_HANDLE stream, BUF_HANDLE buffer, void** block,
                                                   void** private_data) {
    auto s = state_->streams.find(stream);
    if (!s) return J_ST_INVALID_HANDLE;
    // The caller frees the block next: Aravis must never write into it again.
    s->halt();
    const auto b = s->pool->revoke(buffer);
    if (!b) return J_ST_INVALID_HANDLE;
    if (block) *block = b->block;
    if (private_data) *private_data = b->private_data;
    g_object_unref(static_cast<ArvBuffer*>(b->native));
    return J_ST_SUCCESS;
}

camera_status aravis_backend::stream_close(STREAM_HANDLE stream) {
    // The receive thread is joined when the record's last user lets go, normally right here.
    return state_->streams.remove(stream) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}

camera_status aravis_backend::event_create_condition(HANDLE* condition) {
    if (!condition) return J_ST_INVALID_PARAMETER;
    *condition = state_->conditions.add(std::make_shared<wait_condition>());
    return J_ST_SUCCESS;
}

camera_status aravis_backend::event_wait_for_condition(HANDLE condition, std::uint32_t timeout_ms,
                                                       std::uint32_t* result) {
    auto c = state_->conditions.find(condition);
    if (!c || !result) return J_ST_INVALID_HANDLE;
    *result = c->wait(timeout_ms);
    return J_ST_SUCCESS;
}

camera_status aravis_backend::event_exit_condition(HANDLE condition) {
    auto c = state_->conditions.find(condition);
    if (!c) return J_ST_INVALID_HANDLE;
    c->request_exit();
    return J_ST_SUCCESS;
}

camera_status aravis_backend::event_close_condition(HANDLE condition) {
    auto c = state_->conditions.remove(condition);
    if (!c) return J_ST_INVALID_HANDLE;
    c->request_exit();  // a wait in progress ends now; the object lives on while it returns
    return J_ST_SUCCESS;
}

camera_status aravis_backend::event_get_data(EVT_HANDLE event, void* destination, std::uint32_t* size) {
    auto e = state_->events.find(event);
    if (!e) return J_ST_INVALID_HANDLE;
    return hand_out_frame(*e, destination, size);
}

camera_status aravis_backend::event_close(EVT_HANDLE event) {
    return state_->events.remove(event) ? J_ST_SUCCESS : J_ST_INVALID_HANDLE;
}
