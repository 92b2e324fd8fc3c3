#pragma once
// Which frames a recording owes, worked out by bench_shift from the recording queue's arrivals
// alone, so that the figures it prints do not rest on the recorder's own counters.
//
// The reference rule: an odometer message is due the newest frame that arrived since the
// previous message. When that newest frame is a real one the message is due it; when the
// queue had dropped it the message is due and its frame is lost; with no frame since the
// previous message nothing is due. Frames a newer frame replaced before any message came were
// never due. Compared afterwards with the frame keys the database really holds (a message's
// count is its frame's key).
//
// ledger: fed from recording_queue::observe, under the queue's lock, so arrived() only appends
// to storage reserved up front. Thread safety: every member under its own lock.
#include "camera/recording_queue.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace shift_due {

using clock_type = std::chrono::steady_clock;

enum class outcome : std::uint8_t { nothing_due, due, due_dropped };

struct message {
    std::uint32_t count = 0;
    clock_type::time_point at{};
    outcome what = outcome::nothing_due;
};

class ledger {
public:
    // The storage is touched now, so that it neither grows the process's RSS during the run nor
    // reallocates under the queue's lock.
    explicit ledger(std::size_t expected_messages) {
        messages_.resize(expected_messages);
        messages_.clear();
    }

    void arrived(arrival::kind what, clock_type::time_point at, std::uint32_t count) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (first_frame_ == clock_type::time_point{} && what != arrival::kind::count && what != arrival::kind::session)
            first_frame_ = at;
        switch (what) {
        case arrival::kind::frame:
            ++frames_;
            last_frame_ = at;
            newest_ = outcome::due;
            break;
        case arrival::kind::dropped:
            ++frames_;
            ++dropped_;
            last_frame_ = at;
            newest_ = outcome::due_dropped;
            break;
        case arrival::kind::count:
            messages_.push_back({count, at, newest_});
            newest_ = outcome::nothing_due;
            break;
        case arrival::kind::session: break;
        }
    }

    std::vector<message> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // Frames that reached the queue (accepted or dropped) and the span they arrived over.
    std::uint64_t frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    std::uint64_t dropped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }
    double frame_rate() const {
        std::lock_guard<std::mutex> lock(mutex_);
        const double span = std::chrono::duration<double>(last_frame_ - first_frame_).count();
        return frames_ > 1 && span > 0 ? (frames_ - 1) / span : 0;
    }

private:
    mutable std::mutex mutex_;  // guards everything below
    std::vector<message> messages_;
    outcome newest_ = outcome::nothing_due;
    std::uint64_t frames_ = 0;
    std::uint64_t dropped_ = 0;
    clock_type::time_point first_frame_{}, last_frame_{};
};

struct tally {
    std::uint64_t messages = 0;
    std::uint64_t due = 0;          // messages owed a frame (real or dropped)
    std::uint64_t due_dropped = 0;  // of them, owed a frame the queue dropped
    std::uint64_t stored = 0;       // messages whose key the database holds
    std::uint64_t lost = 0;         // due and not stored
    std::uint64_t not_due = 0;      // stored but not owed a real frame: must stay 0

    bool clean() const { return lost == 0 && not_due == 0; }
    tally& operator+=(const tally& o) {
        messages += o.messages;
        due += o.due;
        due_dropped += o.due_dropped;
        stored += o.stored;
        lost += o.lost;
        not_due += o.not_due;
        return *this;
    }
};

// The messages in [from, to) against the database's keys; pass no keys to count what is due
// before the database can be read.
template <class It>
tally compare(It from, It to, const std::unordered_set<std::uint32_t>* keys) {
    tally t;
    for (It m = from; m != to; ++m) {
        ++t.messages;
        const bool owed = m->what != outcome::nothing_due;
        t.due += owed;
        t.due_dropped += m->what == outcome::due_dropped;
        if (!keys) continue;
        const bool held = keys->count(m->count) != 0;
        t.stored += held;
        t.lost += owed && !held;
        t.not_due += held && m->what != outcome::due;
    }
    return t;
}

// Keys no message at all asked for (a count never sent): stored, and not due.
inline std::uint64_t keys_without_message(const std::vector<message>& messages,
                                          const std::unordered_set<std::uint32_t>& keys) {
    std::unordered_set<std::uint32_t> asked;
    asked.reserve(messages.size());
    for (const auto& m : messages) asked.insert(m.count);
    std::uint64_t n = 0;
    for (std::uint32_t k : keys) n += asked.count(k) == 0;
    return n;
}

}  // namespace shift_due
