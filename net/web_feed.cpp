#include "net/web_feed.h"

#include <vector>

#include <opencv2/imgproc.hpp>

#include "database/frame_image.h"

void web_feed::publish_health(web_health health) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (health == health_) return;  // an unchanged strip sends nothing new
    health_ = std::move(health);
    ++health_version_;
}

web_feed::health_now web_feed::health() {
    std::unique_lock<std::mutex> hold(mutex_);
    if (health_json_version_ == health_version_) return {health_json_, health_version_};
    const web_health copy = health_;
    const std::uint64_t version = health_version_;
    hold.unlock();
    // Built outside the lock, so the window's publish never waits for it.
    auto json = std::make_shared<const std::string>(health_json(copy));
    hold.lock();
    if (health_json_version_ != version) {
        health_json_ = json;
        health_json_version_ = version;
    }
    return {json, version};
}

bool web_feed::offer_live(const cv::Mat& frame, clock::time_point now) {
    const std::int64_t watched = watched_at_.load();
    if (watched == 0 || frame.empty()) return false;
    if (now.time_since_epoch() - clock::duration(watched) > watch_window) return false;
    std::lock_guard<std::mutex> hold(mutex_);
    if (last_taken_ && now - *last_taken_ < live_interval) return false;
    if (!taken_.empty()) return false;  // the previous one is still being encoded
    last_taken_ = now;
    // A copy: the window reuses its picture's memory for the next frame.
    taken_ = frame.clone();
    return true;
}

void web_feed::watched(clock::time_point now) { watched_at_.store(now.time_since_epoch().count()); }

void web_feed::encode_taken() {
    cv::Mat frame;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        frame = taken_;
    }
    struct release {
        web_feed& feed;
        ~release() {
            std::lock_guard<std::mutex> hold(feed.mutex_);
            feed.taken_ = cv::Mat();
        }
    } released{*this};
    if (frame.empty()) return;
    cv::Mat gray = frame;
    if (frame.depth() != CV_8U) frame.convertTo(gray, CV_8U);
    if (gray.channels() == 3) cv::cvtColor(gray, gray, cv::COLOR_BGR2GRAY);
    if (gray.channels() == 4) cv::cvtColor(gray, gray, cv::COLOR_BGRA2GRAY);
    std::vector<unsigned char> bytes;
    encode_frame(gray, bytes);
    auto jpeg = std::make_shared<const std::string>(bytes.begin(), bytes.end());
    std::lock_guard<std::mutex> hold(mutex_);
    live_jpeg_ = std::move(jpeg);
    ++live_sequence_;
}

web_feed::live_now web_feed::live() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return {live_jpeg_, live_sequence_};
}
