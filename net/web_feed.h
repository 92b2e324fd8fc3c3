#pragma once
// web_feed: what the window hands the web service, kept so that the window's side costs next
// to nothing. The window (GUI thread) publishes the health strip once a second (a copy under
// a mutex), offers live frames (taken only when a page watched the live picture within the
// last few seconds, and at most every live_interval: then one copy of the frame) and says
// when the list of recordings changed (a counter). The service's threads read: the health
// JSON (built once per change, off the window's thread), the newest live JPEG (encoded on a
// worker from the last frame taken) with its sequence number, and the list's generation.
//
// Ownership: plain object owned by the web service; the live frame and JPEG are shared
// read-only with the answers that send them.
// Thread safety: every member from any thread; mutex_ guards the fields marked below.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "net/web_json.h"

class web_feed {
public:
    using clock = std::chrono::steady_clock;
    // Frames are taken at most this often; a page that watched within watch_window keeps them
    // coming.
    static constexpr std::chrono::milliseconds live_interval{250};
    static constexpr std::chrono::milliseconds watch_window{5000};

    // Window side.
    void publish_health(web_health health);
    // Takes a copy of frame when wanted now; true then, and the caller has a frame to encode.
    bool offer_live(const cv::Mat& frame, clock::time_point now);
    void recordings_changed() { recordings_generation_.fetch_add(1); }

    // Service side.
    struct health_now {
        std::shared_ptr<const std::string> json;  // never null
        std::uint64_t version = 0;                // grows with every publish_health()
    };
    health_now health();
    std::uint64_t recordings_generation() const { return recordings_generation_.load(); }
    // A page asked for the live picture.
    void watched(clock::time_point now);
    // Encodes the frame offer_live() took last, if any (a worker's job). Throws what the
    // encoder throws; the frame is dropped then.
    void encode_taken();
    struct live_now {
        std::shared_ptr<const std::string> jpeg;  // null while there is none
        std::uint64_t sequence = 0;               // grows with every encoded frame
    };
    live_now live() const;

private:
    std::atomic<std::uint64_t> recordings_generation_{1};
    std::atomic<std::int64_t> watched_at_{0};  // steady clock, ns; 0: never
    mutable std::mutex mutex_;                 // guards the fields below
    web_health health_;
    std::uint64_t health_version_ = 0;
    std::shared_ptr<const std::string> health_json_;  // of health_version_ when built
    std::uint64_t health_json_version_ = ~std::uint64_t{0};
    cv::Mat taken_;  // the frame waiting for encoding
    std::optional<clock::time_point> last_taken_;
    std::shared_ptr<const std::string> live_jpeg_;
    std::uint64_t live_sequence_ = 0;
};
