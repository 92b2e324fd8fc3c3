#pragma once
// The I/O loop thread every service runs: io runs until it is stopped; an exception that
// escapes a handler ends the loop and becomes one error row (unknown_text for anything that is
// not a std::exception). The caller owns the thread: it stops io and joins.
#include <exception>
#include <string>
#include <thread>
#include <utility>

#include <boost/asio/io_context.hpp>

#include "base/locale_text.h"
#include "base/thread_name.h"
#include "base/thread_message.h"

// nice > 0: the thread yields the processor to the recording at that niceness.
inline std::thread start_service_loop(boost::asio::io_context& io, event_sink_ptr sink, std::wstring unknown_text,
                                      std::string thread_name, int nice = 0) {
    return std::thread(
        [&io, sink = std::move(sink), unknown_text = std::move(unknown_text), thread_name = std::move(thread_name), nice] {
            name_this_thread(thread_name);
            if (nice > 0) yield_this_thread_to(nice);
            try {
                io.run();
            } catch (const std::exception& e) {
                post_log_error(sink, to_wide(e.what()));
            } catch (...) {
                post_log_error(sink, unknown_text);
            }
        });
}
