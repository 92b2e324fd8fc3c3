#pragma once
// web_routes: the web service's answer to each request, apart from the sockets.
//
//   GET/HEAD /                                     the live page
//   GET/HEAD /recordings                           the list page
//   GET/HEAD /recordings/<folder>                  a recording's page (404 unless listed)
//   GET/HEAD /static/<file>                        the pages' CSS and script
//   GET/HEAD /api/health                           the strip as JSON (no-store)
//   GET/HEAD /api/recordings                       the list as JSON, newest first
//   GET/HEAD /api/recordings/<folder>/frames       {"counts":[...],"scale":..,"show_scale":..}
//   GET/HEAD /recordings/<folder>/frames/<n>.jpg   the stored JPEG of count n, unchanged;
//                                                  ETag from the key, immutable, 304
//   GET/HEAD /live.jpg                             the newest live JPEG (no-store); 503 none yet
//   POST /api/record/start, /api/record/stop, /api/capture/start
//                                                  commands, only with web_control_token set
//                                                  and given in X-Quillmar-Token (else 403;
//                                                  404 while no token is set)
// /api/events is the connection's own business (is_event_stream()).
// A folder is one percent-encoded UTF-8 path segment (net/http_names.h), found only among the
// registry's folders by name: no path is ever made from it. Frames sent lately stay in memory
// (64 MB, 256 frames at most), each in a memory_file (net/http_body.h) the connection sends
// without copying; answer_from_memory() gives those without a worker. The query string is ignored
// everywhere, so a token in the URL counts for nothing.
//
// Ownership: refers to the registry, feed and sinks of its owner (the web service), which
// outlive it. Thread safety: answer() from any thread, several at once (index_mutex_ and
// counts_mutex_ and frames_mutex_ guard the caches). Errors: a database that cannot be read gives 503 and a
// row; answer() never throws for bad input.
#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/beast/http.hpp>

#include "base/thread_message.h"
#include "net/http_body.h"
#include "database/database_registry.h"
#include "net/web_feed.h"
#include "settings/settings_store.h"

using web_request = boost::beast::http::request<boost::beast::http::string_body>;
using web_response = boost::beast::http::response<shared_body>;

class web_routes {
public:
    struct context {
        database_registry& registry;
        settings_ptr settings;
        web_feed& feed;
        event_sink_ptr rows;      // rate limited
        event_sink_ptr commands;  // the window's own: a command and its row always pass
        const std::atomic<bool>& stopping;  // long reads give up once set
    };
    explicit web_routes(context c) : c_(std::move(c)) {}

    static bool is_event_stream(const web_request& request);
    // Whether answering may read a database (then it belongs on a worker).
    static bool needs_worker(const web_request& request);
    web_response answer(const web_request& request, const std::string& peer);
    // The answer when it needs no database read (a frame kept in memory, or one the client
    // already has), so the loop's own thread may give it; nothing when answer() must.
    std::optional<web_response> answer_from_memory(const web_request& request);

    // The list as the "recordings" event carries it.
    std::string recordings_now() const;

    // Constant-time comparison of a given token with the set one (never stops at the first
    // difference; only the length shows).
    static bool same_token(std::string_view given, std::string_view set);

private:
    std::optional<registry_entry> find_folder(const std::wstring& name);
    web_response answer_get(const web_request& request, std::string_view path);
    web_response frame(const web_request& request, const std::wstring& folder, std::string_view file);
    web_response counts(const web_request& request, const std::wstring& folder);
    web_response command(const web_request& request, std::string_view path, const std::string& peer);

    context c_;
    std::mutex index_mutex_;  // guards index_ and index_generation_
    std::unordered_map<std::wstring, registry_entry> index_;  // folder name -> its first entry
    std::uint64_t index_generation_ = 0;
    struct counted {
        std::wstring path;
        ldb_info info;  // what was listed when counted: a rewrite shows as a difference
        std::vector<std::uint32_t> counts;
    };
    std::mutex counts_mutex_;    // guards counts_
    std::list<counted> counts_;  // most recent first, a few recordings

    // Frames sent lately, most recent first, up to frames_kept_bytes: a page stepping back
    // and forth, or several pages on one recording, read each frame once.
    using frame_bytes = shared_body::value_type;  // a memory_file, or the bytes when none could be made
    // By the frame's validator, which tells a recording from a later one of the same folder.
    frame_bytes cached_frame(const std::string& etag);
    void keep_frame(const std::string& etag, frame_bytes bytes);
    struct kept_frame {
        std::string etag;
        frame_bytes bytes;
    };
    std::mutex frames_mutex_;  // guards frames_ and frames_bytes_
    std::list<kept_frame> frames_;
    std::size_t frames_bytes_ = 0;
};
