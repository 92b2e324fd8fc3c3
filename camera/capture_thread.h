#pragma once
// capture_thread: drives an open camera's data stream and copies every whole frame into the
// frame source's frame_buffer.
//
// Set-up announces twenty blocks of one frame each, starts acquisition, and the loop then
// waits on the SDK condition (1 s), copies each delivered frame under the buffer's exclusive
// lock (turned by 180 degrees first when the config says so), puts it into the recording
// queue when one is given, queues the SDK
// buffer again and posts through `sink`: EVT_GRAB_STATS after every frame and every quiet
// second, EVT_NEW_FRAME after every tenth frame, and log rows for the exit and every failure.
//
// Errors: a failing camera call's row is its fixed text ("Ошибка создания потока данных"),
// followed by ": " and the library's words when it gave any. A set-up step, the event's data
// or a buffer or stream item that cannot be read ends the run (-1); a failed wait ends the
// loop; a buffer that cannot be queued again is reported and the capture goes on without it.
// The stop sequence releases what it can and reports nothing.
//
// Ownership: the frame source owns the thread object; its destructor requests the exit and
// joins. The camera handle and the frame_buffer are borrowed and must outlive it.
// Whatever set-up acquired is released on every way out (an orderly stop, a failed set-up
// step, an exception in the loop), so the camera can be captured from again.
// Thread safety: start, request_exit and join are for the owning thread; request_exit may
// be called at any time, even before the wait condition exists.
#include "base/thread_message.h"
#include "camera/jai_sdk.h"
#include "camera/recording_queue.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct frame_buffer;

// What the capture thread reads, fixed for its run (the window fills it from the settings).
struct capture_config {
    bool rotate180 = false;
    // The recording queue's bound (capture-and-record sources).
    std::size_t recording_queue_bytes = recording_queue::default_byte_limit;
};

// The statistics line: "delivered: ", " lost: ", " await: ", " corrupt: ", " fps: ", each
// followed by its number in plain decimal.
std::wstring grab_stats_text(std::uint64_t delivered, std::uint64_t lost, std::uint64_t awaiting, std::uint64_t corrupt,
                             std::uint64_t rate);
// The last frame's line: "timestamp: ", " missing packets: ", " queued buffers: " with numbers.
std::wstring new_frame_text(std::uint64_t timestamp, std::uint32_t missing_packets, std::uint64_t queued_buffers);
// Frames per second averaged over the whole run: delivered / whole seconds since the start,
// 0 while less than a second has passed.
std::uint64_t grab_rate(std::uint64_t delivered, std::int64_t start_seconds, std::int64_t now_seconds);

class capture_thread {
public:
    // Whole seconds of the wall clock; tests substitute their own.
    using seconds_clock = std::function<std::int64_t()>;

    static constexpr int buffer_count = 20;
    // The longest wait for a frame; a quiet one still posts the statistics.
    static constexpr std::uint32_t wait_timeout_ms = 1000;
    // EVT_NEW_FRAME goes out after every this many copied frames.
    static constexpr std::uint64_t new_frame_interval = 10;
    // The event data of a new buffer; its first bytes are the buffer's handle.
    static constexpr std::uint32_t event_data_size = 16;

    // queue: where every frame also goes while a recording runs (it never makes the capture
    // wait); null: live frames only.
    capture_thread(event_sink_ptr sink, capture_config config, CAM_HANDLE camera, frame_buffer* frame,
                   seconds_clock clock = {}, recording_queue* queue = nullptr);
    ~capture_thread();
    capture_thread(const capture_thread&) = delete;
    capture_thread& operator=(const capture_thread&) = delete;

    // Runs the acquisition on a new thread. Throws std::system_error if none can be made.
    void start();
    // Asks the wait condition to exit (J_Event_ExitCondition); remembered if set-up has
    // not created it yet.
    void request_exit();
    // Waits for the thread to end; returns its result (0 after an orderly stop, -1 after
    // a failure). Returns at once when the thread was never started.
    int join();

    // The acquisition itself, on the calling thread; what start() runs.
    int run();

    // Frames copied into the frame buffer so far (any thread).
    std::uint64_t frames_copied() const { return copied_.load(std::memory_order_relaxed); }

private:
    void set_up();
    void grab_loop();
    void handle_frame(std::uint64_t& frames);
    void post_stats();
    void release(bool orderly);
    std::size_t readable_bytes(BUF_HANDLE buffer, const J_tIMAGE_INFO& info) const;

    event_sink_ptr sink_;
    CAM_HANDLE camera_;
    frame_buffer* frame_;
    recording_queue* queue_;
    seconds_clock clock_;
    bool rotate_ = false;

    // Used by the capture thread only.
    STREAM_HANDLE stream_ = nullptr;
    std::map<BUF_HANDLE, std::unique_ptr<std::uint8_t[]>> buffer_map_;  // owns the announced blocks
    // Blocks announced under a handle the map already held: not recorded again, but kept
    // until the stream is closed, since the SDK may still write into them.
    std::vector<std::unique_ptr<std::uint8_t[]>> unrecorded_blocks_;
    std::uint32_t block_size_ = 0;
    EVT_HANDLE event_ = nullptr;
    bool stream_started_ = false;
    std::uint8_t new_buffer_data_[event_data_size] = {};
    std::int64_t start_time_ = 0;

    std::mutex exit_mutex_;       // guards condition_ and exit_requested_
    HANDLE condition_ = nullptr;  // written by the capture thread only, under exit_mutex_
    bool exit_requested_ = false;

    std::atomic<std::uint64_t> copied_{0};
    std::thread thread_;
    int result_ = 0;  // written by the thread, read after join
};
