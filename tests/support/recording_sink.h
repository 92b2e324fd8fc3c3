#pragma once
// An event_sink for tests: keeps every posted message and lets a test wait for one.
#include "base/thread_message.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace test_support {

class recording_sink : public event_sink {
public:
    void post(thread_message message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(std::move(message));
        changed_.notify_all();
    }

    std::vector<thread_message> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

    std::vector<std::wstring> texts(thread_event kind) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::wstring> out;
        for (const auto& m : messages_)
            if (kind_of(m) == kind) out.push_back(text_of(m));
        return out;
    }

    // Waits until some posted message satisfies pred; false on time-out.
    bool wait_for(const std::function<bool(const thread_message&)>& pred,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (const auto& m : messages_)
                if (pred(m)) return true;
            return false;
        });
    }

    bool wait_for_kind(thread_event kind, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        return wait_for([kind](const thread_message& m) { return kind_of(m) == kind; }, timeout);
    }

private:
    mutable std::mutex mutex_;  // guards messages_
    mutable std::condition_variable changed_;
    std::vector<thread_message> messages_;
};

}  // namespace test_support
