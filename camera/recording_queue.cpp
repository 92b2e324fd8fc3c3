#include "camera/recording_queue.h"

#include <algorithm>
#include <cstring>

recording_queue::recording_queue(std::size_t byte_limit, steady_source steady, wall_source wall)
    : byte_limit_(byte_limit), steady_(std::move(steady)), wall_(std::move(wall)) {}

recording_queue::~recording_queue() = default;

recording_queue::clock::time_point recording_queue::steady_now() const { return steady_ ? steady_() : clock::now(); }

void recording_queue::observe(arrival_observer observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

void recording_queue::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    // Left over from a recording that ended without draining (its consumer gone): nobody
    // will take them now.
    for (auto& a : arrivals_)
        if (a.frame) {
            a.frame->held = false;
            free_.push_back(a.frame);
            --held_;
        }
    arrivals_.clear();
    highest_ = held_;
    dropped_ = 0;
    accepted_ = 0;
    current_episode_.reset();
    finished_episodes_.clear();
}

void recording_queue::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
        if (current_episode_) {
            finished_episodes_.push_back(*current_episode_);
            current_episode_.reset();
        }
    }
    ready_.notify_all();
}

bool recording_queue::is_open() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

queued_frame* recording_queue::take_buffer(std::size_t bytes) {
    buffer_bytes_ = std::max(buffer_bytes_, bytes);
    queued_frame* frame = nullptr;
    if (!free_.empty()) {
        frame = free_.back();
        free_.pop_back();
    } else if (buffers_.size() < least_buffers || (buffers_.size() + 1) * buffer_bytes_ <= byte_limit_) {
        buffers_.push_back(std::make_unique<queued_frame>());
        frame = buffers_.back().get();
    } else {
        return nullptr;
    }
    frame->held = true;
    frame->copied = false;
    ++held_;
    highest_ = std::max(highest_, held_);
    return frame;
}

bool recording_queue::push_frame(const std::uint8_t* data, std::size_t size, const frame_geometry& geometry,
                                 std::uint64_t camera_stamp) {
    queued_frame* frame = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) return false;
        const auto at = steady_now();
        frame = take_buffer(size);
        if (observer_) observer_(frame ? arrival::kind::frame : arrival::kind::dropped, at, 0);
        if (!frame) {
            ++dropped_;
            if (!current_episode_) current_episode_ = episode{0, held_, held_ * buffer_bytes_};
            ++current_episode_->frames;
            // Only the newest of several drops in a row can be a message's frame.
            if (!arrivals_.empty() && arrivals_.back().what == arrival::kind::dropped) {
                arrivals_.back().at = at;
                ++arrivals_.back().dropped;
            } else {
                arrival a;
                a.what = arrival::kind::dropped;
                a.at = at;
                a.dropped = 1;
                arrivals_.push_back(std::move(a));
            }
            ready_.notify_one();
            return false;
        }
        if (current_episode_) {
            finished_episodes_.push_back(*current_episode_);
            current_episode_.reset();
        }
        ++accepted_;
        frame->arrived = at;
        arrival a;
        a.what = arrival::kind::frame;
        a.at = at;
        a.frame = frame;
        arrivals_.push_back(std::move(a));
    }
    // The copy, the slow part, runs outside the lock; pop() waits for it when it reaches this
    // frame first.
    frame->raw.resize(size);
    if (size) std::memcpy(frame->raw.data(), data, size);
    frame->width = geometry.width;
    frame->height = geometry.height;
    frame->pixel_format = geometry.pixel_format;
    frame->bits_per_pixel = geometry.bits_per_pixel;
    frame->camera_stamp = camera_stamp;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frame->copied = true;
    }
    ready_.notify_one();
    return true;
}

bool recording_queue::push_count(std::uint32_t count, int format) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) return false;
        arrival a;
        a.what = arrival::kind::count;
        a.at = steady_now();
        a.wall = wall_ ? wall_() : std::time(nullptr);
        a.count = count;
        a.format = format;
        if (observer_) observer_(arrival::kind::count, a.at, count);
        arrivals_.push_back(std::move(a));
    }
    ready_.notify_one();
    return true;
}

bool recording_queue::push_session(std::string code) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) return false;
        arrival a;
        a.what = arrival::kind::session;
        a.at = steady_now();
        a.code = std::move(code);
        if (observer_) observer_(arrival::kind::session, a.at, 0);
        arrivals_.push_back(std::move(a));
    }
    ready_.notify_one();
    return true;
}

std::optional<arrival> recording_queue::pop(clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto front_ready = [this] {
        return !arrivals_.empty() &&
               (arrivals_.front().what != arrival::kind::frame || arrivals_.front().frame->copied);
    };
    // Wakes for closing too, so the consumer sees the end without waiting out `until`.
    if (!ready_.wait_until(lock, until, [&] { return front_ready() || (!open_ && arrivals_.empty()); }))
        return std::nullopt;
    if (!front_ready()) {
        // Closed: a frame whose copy is still running is waited for, it belongs to the run.
        if (arrivals_.empty()) return std::nullopt;
        ready_.wait(lock, front_ready);
    }
    arrival a = std::move(arrivals_.front());
    arrivals_.pop_front();
    return a;
}

bool recording_queue::closed_and_empty() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !open_ && arrivals_.empty();
}

void recording_queue::release(queued_frame* frame) {
    if (!frame) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!frame->held) return;
    frame->held = false;
    free_.push_back(frame);
    --held_;
}

std::optional<recording_queue::episode> recording_queue::take_episode() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_episodes_.empty()) return std::nullopt;
    episode e = finished_episodes_.front();
    finished_episodes_.pop_front();
    return e;
}

recording_queue::levels recording_queue::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    levels l;
    l.frames = held_;
    l.bytes = held_ * buffer_bytes_;
    l.highest_frames = highest_;
    l.capacity_frames = buffer_bytes_ ? std::max(least_buffers, byte_limit_ / buffer_bytes_) : 0;
    l.dropped = dropped_;
    l.accepted = accepted_;
    for (const auto& b : buffers_)
        if (b->held && (!l.oldest || b->arrived < *l.oldest)) l.oldest = b->arrived;
    return l;
}
