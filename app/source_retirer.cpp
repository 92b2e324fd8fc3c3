#include "app/source_retirer.h"

#include "base/thread_name.h"

source_retirer::source_retirer(retired_callback retired) : retired_(std::move(retired)) {
    thread_ = std::thread([this] { run(); });
}

source_retirer::~source_retirer() { finish(); }

void source_retirer::retire(frame_source_ptr source, std::uint64_t run) {
    if (!source) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            waiting_.emplace_back(std::move(source), run);
            changed_.notify_all();
            return;
        }
    }
    // Nobody is left to hand it to.
    source.reset();
    if (retired_) retired_(run);
}

bool source_retirer::busy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return destroying_ || !waiting_.empty();
}

void source_retirer::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void source_retirer::run() {
    name_this_thread("qm-retire");
    for (;;) {
        std::pair<frame_source_ptr, std::uint64_t> next;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            // Stopping still destroys everything handed over first.
            if (waiting_.empty()) return;
            next = std::move(waiting_.front());
            waiting_.pop_front();
            destroying_ = true;
        }
        next.first.reset();  // the drain: every frame paired before Stop is stored
        {
            std::lock_guard<std::mutex> lock(mutex_);
            destroying_ = false;
        }
        if (retired_) retired_(next.second);
    }
}
