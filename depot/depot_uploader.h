#pragma once
// depot_uploader: takes the closed recordings of the recordings folder to the depot, oldest
// first, one at a time, on a low-priority thread of its own, and (when the settings ask for it)
// deletes a recording on the car once the depot is proven to hold all of it.
//
// What counts as a recording: a directory of the recordings folder holding a LevelDB database
// (a CURRENT file), not hidden, not locked by a LevelDB writer in any process (the recorder
// writing it) and not one being_written() names; with settings.enabled false it does nothing.
// What counts as in the depot: after an upload of ours, a marker <recordings>/.depot/<folder>.done keeps the manifest's key
// and text; the recording is taken as in the depot while that marker is there and the store's
// manifest HEADs with the same length and MD5 (cheap: one request). Without a marker,
// push_recording() lists the recording's objects, checks those listed and sends only what is
// missing.
//
// Failures: a transient failure of one recording is retried after a doubling, capped pause; the
// others go on meanwhile. A refused key or a missing bucket stops all uploads until
// set_settings() or a long pause, with one log row.
//
// Ownership: the application owns the uploader; it owns its thread and the clients it makes.
// Threads: one thread "qm-depot", started by start() and stopped and joined by stop() or the
// destructor (an upload under way is cancelled between requests; its resume state lets the
// next run go on from the parts the store confirmed). Every callback (being_written, status,
// log, client factory) is called on that thread; the window must queue what it gets to itself.
// start(), stop(), recording_closed() and set_settings() may be called from any thread and
// never wait for the network (stop() waits only for the request under way to end).
// Errors: nothing throws out of the thread; every failure becomes a status and a log row in
// Russian, never containing the secret.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "depot/depot_recording.h"
#include "depot/depot_settings.h"
#include "depot/s3_client.h"

struct depot_status {
    enum class kind { none, queued, uploading, in_depot, failed };
    kind state = kind::none;
    int percent = 0;     // while uploading
    std::string reason;  // Russian, when failed
    bool operator==(const depot_status&) const = default;
};

// The list column's text: "—", "в очереди", "выгружается 37 %", "в депо", "ошибка: <reason>".
std::string depot_status_text(const depot_status& status);

// True only when the manifest at manifest_key is in the depot, names exactly the regular files
// of folder, and every object HEADs with the local file's size and SHA-256 and its ETag matches
// the local bytes (the MD5 of a single PUT, or of the part MD5s of part_size parts). Otherwise
// false with a Russian reason. Reads every local file; slow for a large recording.
bool depot_holds_recording(s3_client& client, const std::string& manifest_key, const std::string& folder,
                           std::uint64_t part_size, std::string& reason);

struct depot_uploader_config {
    std::string write_path;  // the recordings folder
    depot_settings settings;
    // Makes a client for the given settings; default: an s3_client of settings.client_config().
    std::function<std::unique_ptr<s3_client>(const depot_settings&)> make_client;
    // Folder name -> true while that recording is being written (never uploaded nor deleted).
    std::function<bool(const std::string&)> being_written;
    std::function<void(const std::string& folder, const depot_status&)> status;
    std::function<void(const std::string& row, bool is_error)> log;
    std::chrono::milliseconds scan_every{std::chrono::seconds(60)};
    std::chrono::milliseconds retry_first{std::chrono::seconds(30)};
    std::chrono::milliseconds retry_most{std::chrono::minutes(30)};
    std::chrono::milliseconds refused_pause{std::chrono::hours(1)};
    // Part size, request tries and hooks for push_recording; its cancelled is combined with stop.
    depot_options push;
};

class depot_uploader {
public:
    explicit depot_uploader(depot_uploader_config config);
    ~depot_uploader();  // stop()
    depot_uploader(const depot_uploader&) = delete;
    depot_uploader& operator=(const depot_uploader&) = delete;

    void start();  // once; a second call does nothing
    void stop();   // idempotent; joins the thread
    // True once stop() began; callbacks may poll it to give up early.
    bool stop_requested() const;
    // True once stop() began or new settings switched upload off: the upload under way gives up
    // between requests and within one.
    bool should_yield() const;

    // The recording in this folder (a name or a path) was closed: scan now.
    void recording_closed(const std::string& folder);
    // New settings (a new key, a new bucket): takes effect from the next recording and lifts
    // the pause after a refusal.
    void set_settings(const depot_settings& settings);
    // The recordings folder changed: the next pass looks there (an upload under way finishes).
    void set_write_path(const std::string& write_path);

private:
    void run();
    void pass();
    bool wait_for_work(std::chrono::steady_clock::time_point until);

    depot_uploader_config config_;  // the thread's alone once started, but for settings
    std::thread thread_;            // start()/stop()'s caller's
    bool started_ = false;          // start()/stop()'s caller's

    mutable std::mutex mutex_;
    std::condition_variable wake_;             // signalled on stop, a closed recording, new settings
    bool stop_ = false;                        // guarded by mutex_
    bool woken_ = false;                       // guarded by mutex_
    bool settings_changed_ = false;            // guarded by mutex_
    bool disabled_ = false;                    // guarded by mutex_: the newest settings are off
    depot_settings pending_settings_;          // guarded by mutex_ (valid when settings_changed_)
    std::string pending_write_path_;           // guarded by mutex_ (empty: unchanged)
    std::unique_ptr<struct depot_uploader_state> state_;  // the thread's alone
};
