#include "recording/frame_pairing.h"

std::optional<recording_job> frame_pairing::take(arrival a) {
    switch (a.what) {
    case arrival::kind::frame:
        if (waiting_) give_back_(waiting_);
        waiting_ = a.frame;
        waiting_dropped_ = false;
        return std::nullopt;
    case arrival::kind::dropped:
        if (waiting_) give_back_(waiting_);
        waiting_ = nullptr;
        waiting_dropped_ = true;
        return std::nullopt;
    case arrival::kind::session: {
        recording_job job;
        job.what = recording_job::kind::session;
        job.at = a.at;
        job.code = std::move(a.code);
        return job;
    }
    case arrival::kind::count: break;
    }
    recording_job job;
    job.count = a.count;
    job.format = a.format;
    job.wall = a.wall;
    job.at = a.at;
    job.frame = waiting_;
    job.frame_lost = waiting_dropped_;
    waiting_ = nullptr;
    waiting_dropped_ = false;
    return job;
}

void frame_pairing::finish() {
    if (waiting_) give_back_(waiting_);
    waiting_ = nullptr;
    waiting_dropped_ = false;
}
