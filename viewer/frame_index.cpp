#include "viewer/frame_index.h"

#include "base/thread_name.h"

#include <algorithm>

#include "database/database_reader.h"

std::optional<std::pair<std::size_t, std::size_t>> position_among(const std::vector<std::uint32_t>& counts,
                                                                  std::uint32_t count) {
    const auto it = std::lower_bound(counts.begin(), counts.end(), count);
    if (it == counts.end() || *it != count) return std::nullopt;
    return std::make_pair(static_cast<std::size_t>(it - counts.begin()) + 1, counts.size());
}

std::optional<std::uint32_t> count_steps_away(const std::vector<std::uint32_t>& counts, std::uint32_t count,
                                              long steps) {
    const auto place = position_among(counts, count);
    if (!place) return std::nullopt;
    const long last = static_cast<long>(counts.size()) - 1;
    const long at = std::clamp(static_cast<long>(place->first) - 1 + steps, 0L, last);
    return counts[static_cast<std::size_t>(at)];
}

frame_index::frame_index(const database_reader& reader, std::function<void()> done) {
    worker_ = std::thread([this, &reader, done = std::move(done)] {
        name_this_thread("qm-frame-index");
        std::vector<std::uint32_t> counts;
        try {
            counts = reader.frame_counts([this] { return !stop_.load(); });
        } catch (const std::exception&) {
            return;  // a damaged key: the viewer simply never learns the numbers
        }
        if (stop_) return;
        {
            const std::lock_guard<std::mutex> hold(lock_);
            counts_ = std::move(counts);
            ready_ = true;
        }
        if (done) done();
    });
}

frame_index::~frame_index() {
    stop_ = true;
    worker_.join();
}

bool frame_index::ready() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return ready_;
}

std::vector<std::uint32_t> frame_index::counts() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return counts_;
}
