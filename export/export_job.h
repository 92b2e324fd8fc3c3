#pragma once
// One export of a recorded database: its frames into a folder, a video, or both, all or
// nothing. run_export() does it on the calling thread; export_job does it on a worker
// thread of its own that the GUI polls.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "export/frame_export.h"
#include "export/video_export.h"

class reader_pool;

struct export_request {
    std::filesystem::path database;
    export_range range;
    std::optional<std::filesystem::path> frames_dir;  // the frames and index.csv go here
    std::optional<std::filesystem::path> video_file;  // the MP4 goes here
    video_options video;
    // The process's shared read handles (the window's); null: the export opens a read handle
    // of its own. Either way the recording is only read and no file of it changes.
    reader_pool* readers = nullptr;
};

struct export_outcome {
    enum class status { done, cancelled, failed };
    status state = status::failed;
    frames_result frames;
    video_result video;
    std::string error;  // Russian UTF-8, when failed
};

// Opens the database for reading, prepares the video, then the frames, and only when both are whole
// moves them to their names. A storage error, a full disk, a fault injected through control:
// failed, with the reason; nothing promised is left in either case but done.
export_outcome run_export(const export_request& request, const export_control& control);

// Russian UTF-8 text of an outcome for the operator, e.g. "Экспортировано кадров: 120 …".
std::string describe(const export_request& request, const export_outcome& outcome);

// Runs one request on a worker thread it owns. The owner polls progress() and finished(),
// may cancel() at any time, and takes the outcome with wait(); the destructor cancels and
// joins. progress()/finished()/cancel() may be called from any thread.
class export_job {
public:
    // before_frame: a fault hook passed through to the export (tests); may be empty.
    explicit export_job(export_request request, std::function<void(std::uint64_t)> before_frame = {});
    ~export_job();
    export_job(const export_job&) = delete;
    export_job& operator=(const export_job&) = delete;

    void cancel() { cancel_.store(true); }
    bool finished() const { return finished_.load(); }
    // Whole export, 0 to 1000 (the video weighs more than the frames when both are made).
    int permille() const { return permille_.load(); }
    std::uint64_t frames_done() const { return frames_.load(); }
    // Joins the worker and returns the outcome (once; later calls return the same).
    const export_outcome& wait();

private:
    void run(std::function<void(std::uint64_t)> before_frame);

    export_request request_;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> permille_{0};
    std::atomic<std::uint64_t> frames_{0};
    export_outcome outcome_;  // written by the worker before finished_, read after join
    std::thread worker_;      // last: starts after every member above exists
};
