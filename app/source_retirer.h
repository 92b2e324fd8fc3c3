#pragma once
// source_retirer: destroys stopped frame sources away from the window's thread. A recording
// source's destructor stores every frame it still holds before it returns, which takes seconds
// when the disk was slow; the window hands the source over and stays responsive meanwhile.
//
// Sources are destroyed one at a time, in the order handed over, on the thread "qm-retire";
// after each, `retired` is called there with the run number given with it (the window queues
// a thread event from it). finish() waits until every source handed over is gone and joins
// the thread: the window's release() does that, so closing it while a drain runs still stores
// everything.
//
// Ownership: holds each source (its last reference, normally) until destroyed; owns its thread.
// Thread safety: retire() and busy() from any thread; finish() from the owner only.
#include "camera/frame_source.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

class source_retirer {
public:
    using retired_callback = std::function<void(std::uint64_t run)>;

    explicit source_retirer(retired_callback retired);
    ~source_retirer();
    source_retirer(const source_retirer&) = delete;
    source_retirer& operator=(const source_retirer&) = delete;

    // Takes the source for destruction (null: nothing to do). After finish() a source is
    // destroyed here, on the caller's thread.
    void retire(frame_source_ptr source, std::uint64_t run);
    // Whether a source handed over is not yet gone.
    bool busy() const;
    // Destroys whatever is left and joins the thread.
    void finish();

private:
    void run();

    retired_callback retired_;
    mutable std::mutex mutex_;  // guards waiting_, destroying_ and stopping_
    std::condition_variable changed_;
    std::deque<std::pair<frame_source_ptr, std::uint64_t>> waiting_;
    bool destroying_ = false;  // the thread holds one out of waiting_
    bool stopping_ = false;
    std::thread thread_;  // "qm-retire"; started in the constructor
};
