#include "app/status_throttle.h"

#include <algorithm>

bool status_throttle::offer(int field, const wxString& text, clock::time_point now) {
    auto [it, first] = fields_.try_emplace(field);
    field_state& f = it->second;
    if (first || now - f.changed >= interval_) {
        f.changed = now;
        f.held.reset();
        return true;
    }
    f.held = text;
    return false;
}

std::vector<std::pair<int, wxString>> status_throttle::take_due(clock::time_point now) {
    std::vector<std::pair<int, wxString>> due;
    for (auto& [field, f] : fields_)
        if (f.held && now - f.changed >= interval_) {
            due.emplace_back(field, *f.held);
            f.held.reset();
            f.changed = now;
        }
    return due;
}

std::optional<status_throttle::clock::duration> status_throttle::next_due(clock::time_point now) const {
    std::optional<clock::duration> next;
    for (const auto& [field, f] : fields_)
        if (f.held) {
            const clock::duration left = std::max(clock::duration::zero(), f.changed + interval_ - now);
            next = next ? std::min(*next, left) : left;
        }
    return next;
}
