#pragma once
// health_model: what the recording health strip shows, computed from the workers' messages
// and a clock the caller passes in, so every rule is testable without a display.
//
// Cells, left to right: the lamp ("ЗАПИСЬ", "ЗАХВАТ", "СТОП", or "СОХРАНЕНИЕ" while a stopped
// recording still stores what it holds), elapsed time of the run, session code, current
// database folder, frames stored in this recording, odometer messages per second with the
// positions that found no new frame, camera fps over the last 2 s, frames the camera lost or
// delivered corrupt in this run, the recording queue (frames held and the age of the oldest,
// the highest level and the frames it dropped in this recording; while saving, the frames
// left), free disk space with the time left at the write rate of the last minutes.
//
// The lamp never says a plain "ЗАПИСЬ" while nothing is stored: recording with no frame
// stored for the odometer silence time (or with the odometer lost) it is amber
// "ЗАПИСЬ · нет ДПП", or "ЗАПИСЬ · нет кадров" while odometer messages come but find no
// frame. A recording that ended by itself leaves an amber
// "ЗАХВАТ · запись остановлена" and the odometer cell names the reason in a few words (the
// full text is the cell's tip) until the next start or Stop.
//
// Values are short enough for the strip at 1366 pixels; " · " separates parts the strip may
// put on two lines. Each cell's tip says the whole of it in words.
//
// Amber and red:
//   lamp      amber recording with nothing stored for the silence time; a recording that
//                   ended by itself; saving after Stop
//   odometer  red   while recording: the line is lost, or no message for the silence time;
//             amber the reason a recording ended by itself
//   camera    red   capture runs but no new frame for the camera silence time
//   fps       amber fps over the window below 80 % of the camera's set rate (when known)
//   lost      amber any frame lost or corrupt in this run
//   queue     amber dropped frames in this recording, or more than half full;
//             red   dropped a frame within the drop hold time, or at least 90 % full
//   disk      amber below the disk guard's warning level; red below its stop level
//
// Ownership: plain value. Thread safety: none (GUI thread).
#include "recording/disk_space_guard.h"

#include "base/locale_text.h"
#include "base/thread_message.h"
#include "camera/recording_queue.h"
#include "database/database_scan.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

enum class health_level { off, good, normal, amber, red };
enum class health_lamp { stop, capture, record, saving };

struct health_cell {
    // Parts left out are empty (the tip: the caption and the value say it all).
    health_cell(std::wstring label = {}, std::wstring value = {}, health_level level = health_level::normal,
                std::wstring tip = {})
        : label(std::move(label)), value(std::move(value)), level(level), tip(std::move(tip)) {}

    std::wstring label;  // small caption above the value; empty for the lamp
    std::wstring value;
    health_level level = health_level::normal;
    std::wstring tip;  // the whole meaning in words; empty: caption and value say it all

    bool operator==(const health_cell&) const = default;
};

struct health_settings {
    std::chrono::milliseconds odometer_silence{5000};
    std::chrono::milliseconds camera_silence{2000};
    std::chrono::milliseconds rate_window{2000};
    // The write rate behind the time left: the median of the free-space drops over the
    // samples of this span (a compaction's brief dip or a burst of write-back moves it
    // little), given once the samples span disk_rate_least.
    std::chrono::milliseconds disk_rate_window{300000};
    std::chrono::milliseconds disk_rate_least{120000};
    double fps_share = 0.8;                           // amber below this share of the set rate
    std::chrono::milliseconds queue_drop_hold{5000};  // the queue cell stays red this long after a drop
    disk_space_limits disk_limits;
};

class health_model {
public:
    using clock = std::chrono::steady_clock;

    enum cell_index {
        cell_lamp,
        cell_elapsed,
        cell_session,
        cell_database,
        cell_frames,
        cell_odometer,
        cell_camera,
        cell_lost,
        cell_queue,
        cell_disk,
        cell_count
    };

    explicit health_model(health_settings settings = {});

    // A run begins (capture only or capture and record): counters restart from zero.
    void started(bool recording, clock::time_point now);
    // Stop: the lamp goes to "СТОП", or to "СОХРАНЕНИЕ" while a recording still stores what
    // it holds (until saved()); the last figures stay readable.
    void stopped(bool saving = false);
    void saved();

    void record_status(const record_status_message& message, clock::time_point now);
    void grab_stats(const grab_stats_message& message, clock::time_point now);
    void session_code(std::wstring code) { session_ = std::move(code); }
    // The camera's configured frame rate; none when it cannot be read (no fps rule then).
    void camera_rate(std::optional<double> fps) { camera_rate_ = fps; }
    const std::optional<double>& camera_rate() const { return camera_rate_; }
    void disk(std::optional<disk_space> space, clock::time_point now);
    // The recording queue's levels (none: not known now, the last ones stay).
    void queue(const std::optional<recording_queue::levels>& levels, clock::time_point now);

    // Whether a disk reading is due (at least every 5 s).
    bool disk_due(clock::time_point now) const;

    health_lamp lamp_state() const;
    bool recording() const { return lamp_state() == health_lamp::record; }
    // Recording, but nothing stored for the odometer silence time (since the start or the
    // last stored frame), or the odometer line is lost.
    bool storing_nothing(clock::time_point now) const;
    std::vector<health_cell> cells(clock::time_point now) const;

    // Figures behind the cells, for tests and the window.
    // The frames stored in this recording, as the "Записано" cell shows them; 0 without one.
    std::uint64_t frames_stored() const { return recording_ ? stored_ : 0; }
    double odometer_rate(clock::time_point now) const;
    std::optional<double> fps(clock::time_point now) const;
    // Bytes a second the free space drops by over the rate window; none before the samples
    // span disk_rate_least.
    std::optional<double> write_rate() const;
    // Time left until the disk guard would stop at write_rate(); none without a rate or while
    // free space does not drop. The disk cell shows it only while frames are being stored.
    std::optional<std::chrono::seconds> time_left() const;
    std::uint64_t lost_frames() const { return lost_ + corrupt_; }
    std::uint64_t queue_dropped() const { return queue_dropped_; }

private:
    struct camera_sample {
        clock::time_point at;
        std::uint64_t delivered;
    };
    struct disk_sample {
        clock::time_point at;
        disk_space space;
    };

    void forget_old(clock::time_point now);
    health_cell odometer_cell(clock::time_point now) const;
    health_cell camera_cell(clock::time_point now) const;
    health_cell lamp_cell(clock::time_point now) const;
    health_cell disk_cell(clock::time_point now) const;
    health_cell queue_cell(clock::time_point now) const;
    void queue_drop(std::uint64_t dropped, clock::time_point now);

    health_settings settings_;
    bool active_ = false;
    bool recording_ = false;        // a recording source was started
    bool recording_ended_ = false;  // ... and its write thread said it stopped
    bool saving_ = false;           // stopped, and still storing what it holds
    clock::time_point started_at_{};

    std::wstring session_;
    std::wstring database_;
    std::uint64_t stored_ = 0;
    std::optional<clock::time_point> last_stored_;
    std::wstring odometer_text_;  // the news of the current loss or silence
    std::wstring stop_text_;      // why the recording of this run ended by itself
    std::uint64_t without_frame_ = 0;
    std::deque<clock::time_point> steps_;  // odometer messages within the rate window
    std::optional<clock::time_point> last_step_;
    bool odometer_lost_ = false;

    std::deque<camera_sample> camera_;  // within the rate window, plus one before it
    std::optional<clock::time_point> last_new_frame_;
    std::uint64_t delivered_ = 0;
    std::uint64_t lost_ = 0;
    std::uint64_t corrupt_ = 0;
    std::optional<double> camera_rate_;

    std::optional<recording_queue::levels> queue_;  // the latest levels of this recording
    clock::duration queue_age_{};                   // of its oldest frame when read
    std::uint64_t queue_dropped_ = 0;               // exact when read, counted from news between
    std::uint64_t dropped_reported_ = 0;            // the drop news' sum
    std::optional<clock::time_point> last_drop_;
    std::optional<std::uint64_t> drain_left_;  // frames left to store while saving

    std::deque<disk_sample> disk_;  // within the disk rate window
    std::optional<clock::time_point> last_disk_query_;
};

// "01:02:03"
std::wstring elapsed_text(std::chrono::seconds elapsed);
// "5 ч 20 мин", "12 мин", "< 1 мин"; from 10 h on whole hours: "151 ч"
std::wstring time_left_text(std::chrono::seconds left);
// A few words for the strip from a "Запись остановлена: ..." text: "порт ДПП не открыт",
// "диск заполнен", "ошибка записи", ...
std::wstring stop_reason_short(const std::wstring& stop_text);
// What the strip shows as a cell's tip: its tip, or its caption and value.
std::wstring tip_of(const health_cell& cell);
