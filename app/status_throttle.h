#pragma once
// How often a status bar field may change.
//
// The workers send status texts with every frame: the grab statistics 25 times a second,
// the recording counters with every odometer message. Every change makes the toolkit lay out
// and redraw the bar there and then, which took a fifth of a core while capturing, and nobody
// reads a field that fast. A field takes a new text at once when its last change is at least
// `interval` old; otherwise the text is held back until then, a newer one replacing it. So
// the newest text of every field is always shown, at most one interval late.
// Thread safety: none; the window's thread only.
#include <chrono>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include <wx/string.h>

class status_throttle {
public:
    using clock = std::chrono::steady_clock;

    explicit status_throttle(clock::duration interval) : interval_(interval) {}

    // A new text for `field`: true when it is to be shown now, false when it was held back.
    bool offer(int field, const wxString& text, clock::time_point now);
    // The held-back texts that are due as of `now`, by field; they count as shown from now.
    std::vector<std::pair<int, wxString>> take_due(clock::time_point now);
    // How long until the next held-back text is due; nothing when none is held.
    std::optional<clock::duration> next_due(clock::time_point now) const;
    // Drops every held-back text (a run ended: its texts must not show up later).
    void clear() { fields_.clear(); }

private:
    struct field_state {
        clock::time_point changed;     // when the field last took a text
        std::optional<wxString> held;  // the newest text not shown yet
    };
    clock::duration interval_;
    std::map<int, field_state> fields_;
};
