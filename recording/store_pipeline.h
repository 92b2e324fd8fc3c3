#pragma once
// store_pipeline: everything between the recording queue and the database, on threads of its
// own, so that no stall of the disk or the processor reaches the camera or the odometer.
//
//   recording_queue --> pairing ("qm-pair") --> encoders ("qm-encode-1".."qm-encode-N")
//                                           \--> writer ("qm-store"), one job at a time, in
//                                                arrival order, whatever order encoding ends in
//
// The pairing stage turns arrivals into jobs (frame_pairing) and gives every frame no message
// wants back to the queue at once. Encoders JPEG-encode the paired frames (deep pixels reduced
// to 8 bits first). The writer runs the recording session's step for each job in order (the
// session, split, disk-guard and count rules are recording_session's), gives the frame back,
// applies session codes where they arrived, and syncs writes left unsynced once the oldest has
// waited the sync interval. Memory is the queue's bound: a stall anywhere holds frames in the
// queue's buffers, and only a stall longer than the bound drops frames, at the camera's side.
//
// Each finished episode of drops is one error row: "Очередь записи переполнена: потеряно
// кадров: N (в очереди было K кадров, M МБ)".
//
// finish() is Stop: the queue must be closed first (nothing new comes); every job already
// paired is stored, the recording is synced and closed (reported as recording_session does),
// and every thread is joined. While it drains the writer posts, every quarter second, the
// status "Сохранение записи: осталось кадров: N" (news `draining`).
//
// After a fault that ends the recording (recording_session halted, a database that cannot be
// opened) the pipeline closes the queue, calls the halt handler once (from the writer's thread)
// and gives back every frame still coming without storing it.
//
// Ownership: the queue, the session and the sink are the caller's and must outlive it; the
// pipeline owns and joins its threads (the destructor calls finish()).
// Thread safety: finish(), halted(), pending() and frames_lost() from any thread.
#include "base/thread_message.h"
#include "camera/recording_queue.h"
#include "recording/frame_pairing.h"
#include "recording/recording_session.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct store_pipeline_options {
    // Encoding threads; 0: one per processor, at most 4.
    int encoders = 0;
    // Encodes a paired frame into frame.jpeg; empty: the stored format (JPEG quality 85 of the
    // 8-bit grey image). Tests wrap it to stall encoding.
    std::function<void(queued_frame& frame)> encode;
    // Benchmarks: called on the writer's thread for every frame stored, with the time from
    // the frame's arrival to the end of its store.
    std::function<void(std::chrono::steady_clock::duration since_arrival, std::size_t bytes)> stored;
    // Called once, on the writer's thread, when a fault has ended the recording.
    std::function<void()> halted;
    std::chrono::milliseconds drain_status_period{250};
};

class store_pipeline {
public:
    store_pipeline(event_sink_ptr sink, recording_queue& queue, recording_session& session,
                   store_pipeline_options options = {});
    ~store_pipeline();
    store_pipeline(const store_pipeline&) = delete;
    store_pipeline& operator=(const store_pipeline&) = delete;

    // Stop: call after the queue was closed. Stores what was paired, closes the recording,
    // joins. Further calls do nothing.
    void finish();

    bool halted() const { return halted_.load(); }
    // Frames paired with a message and not yet stored (the drain's remaining work).
    std::size_t pending() const;
    // Messages whose frame the queue had dropped.
    std::uint64_t frames_lost() const { return lost_.load(); }

    // The default encoding.
    static void encode_jpeg(queued_frame& frame);

private:
    struct job {
        recording_job work;
        enum class state { to_encode, encoding, ready } progress = state::ready;
        bool encode_failed = false;
        std::string encode_error;
    };

    void pair_loop();
    void encode_loop();
    void write_loop();
    void write(job& j);
    void report_episodes();
    void halt();  // writer's thread

    event_sink_ptr sink_;
    recording_queue& queue_;
    recording_session& session_;
    store_pipeline_options options_;

    mutable std::mutex jobs_mutex_;  // guards jobs_, to_encode_, paired_frames_, pairing_done_, stopping_
    std::condition_variable jobs_changed_;
    std::deque<job> jobs_;           // in arrival order; the writer takes the front when ready
    std::deque<job*> to_encode_;     // jobs waiting for an encoder, oldest first
    std::size_t paired_frames_ = 0;  // jobs with a frame, not yet written
    bool pairing_done_ = false;
    bool stopping_ = false;  // encoders end once nothing is left to encode

    std::atomic<bool> halted_{false};
    std::atomic<bool> draining_{false};
    std::atomic<std::uint64_t> lost_{0};
    std::once_flag finished_;

    std::thread pairing_;
    std::vector<std::thread> encoders_;
    std::thread writer_;
};
