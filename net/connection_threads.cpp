#include "net/connection_threads.h"

#include <exception>

#include "base/locale_text.h"

connection_threads::connection_threads(event_sink_ptr sink, std::wstring unknown_exception_text)
    : sink_(std::move(sink)), unknown_exception_text_(std::move(unknown_exception_text)) {}

connection_threads::~connection_threads() { stop_all(); }

bool connection_threads::run(std::shared_ptr<boost::asio::io_context> io) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopped_) return false;
    reap_locked();
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back(worker{io, done, std::thread([this, io, done] {
                                  try {
                                      io->run();
                                  } catch (const std::exception& e) {
                                      post_log_error(sink_, to_wide(e.what()));
                                  } catch (...) {
                                      post_log_error(sink_, unknown_exception_text_);
                                  }
                                  done->store(true);
                              })});
    return true;
}

void connection_threads::reap_locked() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers_.erase(it);  // destroys the loop and whatever it still held
        } else {
            ++it;
        }
    }
}

void connection_threads::stop_all() {
    std::list<worker> workers;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopped_ = true;
        workers.swap(workers_);
    }
    for (auto& w : workers) w.io->stop();
    for (auto& w : workers)
        if (w.thread.joinable()) w.thread.join();
    // The loops, and the connections their handlers hold, go here, on the stopping thread.
}

std::size_t connection_threads::live() const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::size_t n = 0;
    for (const auto& w : workers_) n += w.done->load() ? 0 : 1;
    return n;
}
