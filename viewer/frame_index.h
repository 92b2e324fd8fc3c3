#pragma once
// frame_index: the counts of every stored frame of one database, gathered on a thread of its
// own (reading a long run's keys reads the whole run), so the viewer can say "кадр i из n"
// and step by ten frames without searching.
//
// Ownership: owns its thread; the destructor asks it to stop and joins it. The reader must
// outlive the index (the viewer declares the index after the browser that owns the reader).
// `done` is called once, on the index's thread, when the counting finished (not when it was
// stopped); the viewer queues an event to itself from there.
// Thread safety: ready(), place() and counts() may be called from any thread.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

class database_reader;

// The 1-based position of count among sorted counts and their number; nothing when count is
// not among them.
std::optional<std::pair<std::size_t, std::size_t>> position_among(const std::vector<std::uint32_t>& counts,
                                                                  std::uint32_t count);

// The count `steps` frames away from count (negative: backwards), stopping at the ends;
// nothing when count is not among the counts.
std::optional<std::uint32_t> count_steps_away(const std::vector<std::uint32_t>& counts, std::uint32_t count,
                                              long steps);

class frame_index {
public:
    frame_index(const database_reader& reader, std::function<void()> done);
    ~frame_index();
    frame_index(const frame_index&) = delete;
    frame_index& operator=(const frame_index&) = delete;

    bool ready() const;
    // The counts once ready; empty before.
    std::vector<std::uint32_t> counts() const;

private:
    mutable std::mutex lock_;  // guards counts_ and ready_
    std::vector<std::uint32_t> counts_;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};
