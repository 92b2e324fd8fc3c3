#include "recording/store_pipeline.h"

#include "base/locale_text.h"
#include "base/thread_name.h"
#include "camera/pixel_layout.h"
#include "database/frame_image.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstring>

namespace {

// Between checks for episodes of drops to report while nothing arrives.
constexpr std::chrono::milliseconds idle_wake{200};
// Encoders give way to the threads that must never wait (capture, odometer, window).
constexpr int encoder_nice = 5;

int encoder_count(int asked) {
    if (asked > 0) return asked;
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 1u, 4u));
}

std::wstring megabytes(std::size_t bytes) { return std::to_wstring((bytes + (1u << 19)) >> 20); }

}  // namespace

void store_pipeline::encode_jpeg(queued_frame& frame) {
    const int rows = frame.height > 0 ? static_cast<int>(frame.height) : 0;
    const int cols = frame.width > 0 ? static_cast<int>(frame.width) : 0;
    const std::size_t pixels = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    if (frame.bits_per_pixel == 8 && frame.raw.size() >= pixels) {
        // The queued bytes are the image: no copy.
        const cv::Mat gray(rows, cols, CV_8UC1, frame.raw.data());
        encode_frame(gray, frame.jpeg);
        return;
    }
    // Deep pixels reduced to their 8 high bits (a short frame's missing pixels become 0), into
    // one image per encoder that is reused.
    thread_local cv::Mat gray;
    if (gray.rows != rows || gray.cols != cols || gray.type() != CV_8UC1) gray.create(rows, cols, CV_8UC1);
    if (frame.bits_per_pixel == 8) {
        std::memcpy(gray.data, frame.raw.data(), frame.raw.size());
        std::memset(gray.data + frame.raw.size(), 0, pixels - frame.raw.size());
    } else {
        reduce_pixels_to_gray8(frame.raw.data(), frame.raw.size(), gray.data, pixels, frame.pixel_format,
                               frame.bits_per_pixel);
    }
    encode_frame(gray, frame.jpeg);
}

store_pipeline::store_pipeline(event_sink_ptr sink, recording_queue& queue, recording_session& session,
                               store_pipeline_options options)
    : sink_(std::move(sink)), queue_(queue), session_(session), options_(std::move(options)) {
    if (!options_.encode) options_.encode = encode_jpeg;
    writer_ = std::thread([this] { write_loop(); });
    const int n = encoder_count(options_.encoders);
    for (int i = 1; i <= n; ++i)
        encoders_.emplace_back([this, i] {
            name_this_thread("qm-encode-" + std::to_string(i));
            yield_this_thread_to(encoder_nice);
            encode_loop();
        });
    pairing_ = std::thread([this] { pair_loop(); });
}

store_pipeline::~store_pipeline() { finish(); }

void store_pipeline::finish() {
    std::call_once(finished_, [this] {
        draining_ = true;
        // Normally closed by the owner already; closing twice is harmless, and without it the
        // pairing stage would wait for arrivals that never end.
        queue_.close();
        if (pairing_.joinable()) pairing_.join();
        if (writer_.joinable()) writer_.join();
        {
            std::lock_guard<std::mutex> lock(jobs_mutex_);
            stopping_ = true;
        }
        jobs_changed_.notify_all();
        for (auto& t : encoders_)
            if (t.joinable()) t.join();
    });
}

std::size_t store_pipeline::pending() const {
    std::lock_guard<std::mutex> lock(jobs_mutex_);
    return paired_frames_;
}

void store_pipeline::pair_loop() {
    name_this_thread("qm-pair");
    frame_pairing pairing([this](queued_frame* f) { queue_.release(f); });
    for (;;) {
        auto a = queue_.pop(std::chrono::steady_clock::now() + idle_wake);
        report_episodes();
        if (!a) {
            if (queue_.closed_and_empty()) break;
            continue;
        }
        auto made = pairing.take(std::move(*a));
        if (!made) continue;
        if (made->frame_lost) lost_.fetch_add(1);
        if (halted_) {
            // Nothing is stored after a fault; the buffer goes straight back.
            queue_.release(made->frame);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(jobs_mutex_);
            job& j = jobs_.emplace_back();
            j.work = std::move(*made);
            if (j.work.frame) {
                j.progress = job::state::to_encode;
                to_encode_.push_back(&j);
                ++paired_frames_;
            }
        }
        jobs_changed_.notify_all();
    }
    pairing.finish();
    report_episodes();
    {
        std::lock_guard<std::mutex> lock(jobs_mutex_);
        pairing_done_ = true;
    }
    jobs_changed_.notify_all();
}

void store_pipeline::report_episodes() {
    while (auto e = queue_.take_episode()) {
        post_log_error(sink_, L"Очередь записи переполнена: потеряно кадров: " + std::to_wstring(e->frames) +
                                  L" (в очереди было " + std::to_wstring(e->held) + L" кадров, " +
                                  megabytes(e->held_bytes) + L" МБ)");
        record_status_message m =
            make_record_status(recording_news::queue_dropped,
                               L"Очередь записи переполнена: потеряно кадров: " + std::to_wstring(e->frames));
        m.count = static_cast<std::uint32_t>(std::min<std::uint64_t>(e->frames, UINT32_MAX));
        post_message(sink_, std::move(m));
    }
}

void store_pipeline::encode_loop() {
    for (;;) {
        job* j = nullptr;
        {
            std::unique_lock<std::mutex> lock(jobs_mutex_);
            jobs_changed_.wait(lock, [this] { return !to_encode_.empty() || stopping_; });
            if (to_encode_.empty()) return;
            j = to_encode_.front();
            to_encode_.pop_front();
            j->progress = job::state::encoding;
        }
        // The job stays where it is until the writer takes it, which waits for `ready`.
        bool failed = false;
        std::string error;
        try {
            options_.encode(*j->work.frame);
        } catch (const std::exception& e) {
            failed = true;
            error = e.what();
        }
        {
            std::lock_guard<std::mutex> lock(jobs_mutex_);
            j->encode_failed = failed;
            j->encode_error = std::move(error);
            j->progress = job::state::ready;
        }
        jobs_changed_.notify_all();
    }
}

void store_pipeline::write_loop() {
    name_this_thread("qm-store");
    auto last_status = std::chrono::steady_clock::now();
    for (;;) {
        std::unique_lock<std::mutex> lock(jobs_mutex_);
        const auto front_ready = [this] { return !jobs_.empty() && jobs_.front().progress == job::state::ready; };
        const auto done = [this] { return pairing_done_ && jobs_.empty(); };
        // Woken for the next job, the end, a sync that falls due or a drain status.
        auto wake = std::chrono::steady_clock::now() + idle_wake;
        if (!halted_)
            if (const auto deadline = session_.sync_deadline()) wake = std::min(wake, *deadline);
        if (draining_) wake = std::min(wake, last_status + options_.drain_status_period);
        jobs_changed_.wait_until(lock, wake, [&] { return front_ready() || done(); });
        const auto now = std::chrono::steady_clock::now();
        if (draining_ && now - last_status >= options_.drain_status_period && paired_frames_ > 0 && !halted_) {
            last_status = now;
            record_status_message m = make_record_status(
                recording_news::draining, L"Сохранение записи: осталось кадров: " + std::to_wstring(paired_frames_));
            m.count = static_cast<std::uint32_t>(paired_frames_);
            lock.unlock();
            post_message(sink_, std::move(m));
            continue;
        }
        if (front_ready()) {
            job j = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            write(j);
            if (j.work.frame) {
                std::lock_guard<std::mutex> again(jobs_mutex_);
                --paired_frames_;
            }
            continue;
        }
        if (done()) break;
        lock.unlock();
        if (!halted_) {
            session_.sync_due(std::chrono::steady_clock::now());
            if (session_.halted()) halt();
        }
    }
    // Stop: the recording is synced and closed after its last frame.
    if (halted_) return;
    try {
        session_.finish();
    } catch (const std::exception& e) {
        post_log_error(sink_, to_wide(e.what()));
        halt();
    }
}

void store_pipeline::write(job& j) {
    queued_frame* frame = j.work.frame;
    if (!halted_) {
        try {
            if (j.work.what == recording_job::kind::session) {
                session_.set_session_code(j.work.code);
            } else {
                if (j.encode_failed) {
                    post_log_error(sink_, L"Кадр не записан: " + to_wide(j.encode_error) + L" (ДПП " +
                                              std::to_wstring(j.work.count) + L")");
                    frame = nullptr;
                    queue_.release(j.work.frame);
                }
                const std::string_view jpeg =
                    frame ? std::string_view(reinterpret_cast<const char*>(frame->jpeg.data()), frame->jpeg.size())
                          : std::string_view();
                // The step's own time; the wait behind the queue is what `stored` measures.
                const bool stored =
                    session_.step_encoded(j.work.count, j.work.format, frame ? &jpeg : nullptr, j.work.wall);
                if (stored && options_.stored)
                    options_.stored(std::chrono::steady_clock::now() - frame->arrived, frame->jpeg.size());
            }
        } catch (const std::exception& e) {
            // A database that cannot be opened: no later message can be recorded either.
            post_log_error(sink_, to_wide(e.what()));
            post_message(sink_,
                         make_record_status(recording_news::stopped, L"Запись остановлена: " + to_wide(e.what())));
            halt();
        }
        if (session_.halted()) halt();
    }
    queue_.release(frame);
}

void store_pipeline::halt() {
    if (halted_.exchange(true)) return;
    queue_.close();
    if (options_.halted) options_.halted();
}
