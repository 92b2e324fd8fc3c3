#pragma once
// recording_queue: what a recording is made of, in the order it arrived. The capture thread
// puts in every new frame, the odometer's reader every message, the session-code sources every
// new code; each gets its arrival time on one steady clock, taken under the queue's lock, so
// the order of the queue is the order of the times. One consumer (the recording's pairing
// stage) takes them out in that order.
//
// Frames sit in pooled buffers whose total is bounded by bytes: a buffer goes back to the pool
// only when the last stage that needs it (pairing for a frame no message wanted, the writer
// for a stored one) releases it, so the bound covers every frame between the camera and the
// disk. A frame that finds no free buffer is dropped at once (the camera is never made to
// wait) and leaves a `dropped` mark in its place, so the pairing stage can tell exactly which
// message lost its frame; consecutive marks collapse into one (only the newest can be paired).
// A run of drops between two accepted frames is one episode; take_episode() hands finished
// episodes to whoever reports them.
//
// Messages and session codes are never dropped: they are a few bytes each.
//
// Lifetime: open() starts a recording (counters and highest level restart from zero), close()
// ends it: producers are refused from then on and the consumer's pop() returns nothing once
// the queue is empty. A queue may be opened again after close() once every buffer is back.
//
// Ownership: the queue owns every buffer; pop() lends one to the consumer until release().
// Thread safety: every member may be called from any thread. push_frame() holds the lock only
// to take its time and a buffer, and to mark the copy done; the copy runs outside it.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// One frame between the camera and the disk; buffers are reused, never freed while the queue
// lives.
struct queued_frame {
    using clock = std::chrono::steady_clock;
    std::vector<std::uint8_t> raw;  // the camera's bytes as delivered (after any rotation)
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t pixel_format = 0;
    std::uint32_t bits_per_pixel = 8;
    std::uint64_t camera_stamp = 0;
    clock::time_point arrived{};
    std::vector<unsigned char> jpeg;  // the encoder's result, capacity reused

    // The queue's bookkeeping, under its lock.
    bool held = false;    // lent out of the pool
    bool copied = false;  // push_frame's copy is done
};

struct frame_geometry {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t pixel_format = 0;
    std::uint32_t bits_per_pixel = 8;
};

// One thing that arrived.
struct arrival {
    enum class kind { frame, dropped, count, session };
    kind what = kind::count;
    std::chrono::steady_clock::time_point at{};
    std::time_t wall = 0;           // seconds since the epoch at arrival (stored as the step's time)
    queued_frame* frame = nullptr;  // frame: lent until release()
    std::uint64_t dropped = 0;      // dropped: frames this mark stands for
    std::uint32_t count = 0;        // count: the odometer's count
    int format = 7;                 // count: the message format
    std::string code;               // session: the new code
};

class recording_queue {
public:
    using clock = std::chrono::steady_clock;
    using steady_source = std::function<clock::time_point()>;
    using wall_source = std::function<std::time_t()>;

    // 4.2 s of 1920 x 1200 8-bit frames at 50 fps.
    static constexpr std::size_t default_byte_limit = std::size_t{480} << 20;
    // Fewer than this many buffers would drop frames at every scheduling hiccup.
    static constexpr std::size_t least_buffers = 3;

    explicit recording_queue(std::size_t byte_limit = default_byte_limit, steady_source steady = {},
                             wall_source wall = {});
    ~recording_queue();
    recording_queue(const recording_queue&) = delete;
    recording_queue& operator=(const recording_queue&) = delete;

    // Told of every arrival as the queue takes its time (dropped frames as `dropped`), under
    // the queue's lock: keep it short. For benchmarks that check the pairing from outside.
    using arrival_observer = std::function<void(arrival::kind what, clock::time_point at, std::uint32_t count)>;
    void observe(arrival_observer observer);

    void open();
    void close();
    bool is_open() const;

    // Producers. False when the queue is closed or the frame was dropped.
    bool push_frame(const std::uint8_t* data, std::size_t size, const frame_geometry& geometry,
                    std::uint64_t camera_stamp);
    bool push_count(std::uint32_t count, int format);
    bool push_session(std::string code);

    // Consumer: the oldest arrival, waiting for one until `until`; nothing on time-out, or once
    // the queue is closed and empty (then closed_and_empty() is true).
    std::optional<arrival> pop(clock::time_point until);
    bool closed_and_empty() const;
    // Any stage: the buffer goes back to the pool.
    void release(queued_frame* frame);

    struct episode {
        std::uint64_t frames = 0;  // dropped in it
        std::size_t held = 0;      // frames held when it began
        std::size_t held_bytes = 0;
    };
    // A finished episode of drops (once each), oldest first.
    std::optional<episode> take_episode();

    struct levels {
        std::size_t frames = 0;                   // held now: queued, being paired, encoded or stored
        std::size_t bytes = 0;                    // their buffers' bytes
        std::size_t highest_frames = 0;           // since open()
        std::size_t capacity_frames = 0;          // buffers the bound allows for the current frame size
        std::uint64_t dropped = 0;                // frames dropped since open()
        std::uint64_t accepted = 0;               // frames accepted since open()
        std::optional<clock::time_point> oldest;  // arrival of the oldest frame held
    };
    levels snapshot() const;
    std::size_t byte_limit() const { return byte_limit_; }

private:
    clock::time_point steady_now() const;
    queued_frame* take_buffer(std::size_t bytes);  // with the lock; null when the bound is reached

    const std::size_t byte_limit_;
    steady_source steady_;
    wall_source wall_;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable ready_;
    bool open_ = false;
    arrival_observer observer_;
    std::deque<arrival> arrivals_;
    std::vector<std::unique_ptr<queued_frame>> buffers_;  // every buffer ever made
    std::vector<queued_frame*> free_;
    std::size_t buffer_bytes_ = 0;  // the size every buffer is made for
    std::size_t held_ = 0;
    std::size_t highest_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t accepted_ = 0;
    std::optional<episode> current_episode_;
    std::deque<episode> finished_episodes_;
};
