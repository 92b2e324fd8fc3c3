#pragma once
// connection_threads: the threads of a TCP service's connections, one per connection, each
// running that connection's own I/O loop until the connection has no work left.
//
// Ownership: owns every thread it starts and the loop each runs; finished threads are joined
// when the next one starts (so they never pile up) and all at stop_all(). A loop's pending
// handlers, and so the connection objects they hold, are destroyed with the loop, after its
// thread was joined.
// Thread safety: every member may be called from any thread except a connection thread
// itself for stop_all() (it would join itself).
#include <atomic>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "base/thread_message.h"

class connection_threads {
public:
    // unknown_exception_text: the row posted when something other than a std::exception
    // leaves a connection's loop (a std::exception posts its message).
    connection_threads(event_sink_ptr sink, std::wstring unknown_exception_text);
    ~connection_threads();  // stop_all()
    connection_threads(const connection_threads&) = delete;
    connection_threads& operator=(const connection_threads&) = delete;

    // Runs io on a new thread. False, with nothing started, after stop_all().
    bool run(std::shared_ptr<boost::asio::io_context> io);
    // Stops every loop and joins every thread; run() refuses from then on.
    void stop_all();
    // Threads whose loop is still running.
    std::size_t live() const;

private:
    struct worker {
        std::shared_ptr<boost::asio::io_context> io;
        std::shared_ptr<std::atomic<bool>> done;
        std::thread thread;
    };
    void reap_locked();

    event_sink_ptr sink_;
    std::wstring unknown_exception_text_;
    mutable std::mutex mutex_;  // guards workers_ and stopped_
    std::list<worker> workers_;
    bool stopped_ = false;
};
