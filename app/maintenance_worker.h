#pragma once
// maintenance_worker: runs the working half of "Архивация базы" or "Удаление базы" (see
// database/database_maintenance.h) on its own thread, "qm-maintenance", one job at a time,
// so the window stays live while a big recording is archived or a folder deleted.
//
// Ownership: the window's maintenance_jobs owns it; the destructor cancels a running
// archive, lets a running delete finish, and joins the thread. The registry must outlive it.
// Threads: start_*, cancel and busy from the GUI thread (cancel and busy from any). The
// callbacks run on the worker's thread, never under the worker's lock: progress while an
// archive is written, done once per job.
// Errors: a job's failures come back in maintenance_end; an exception from the work is
// turned into an error row.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "database/database_maintenance.h"

class database_registry;

enum class maintenance_job { archive, remove };

// The end of one job.
struct maintenance_end {
    maintenance_job job = maintenance_job::archive;
    std::wstring folder;
    std::wstring archive;     // archive: the file chosen
    archive_outcome outcome;  // archive: all of it; remove: only report
};

// The log rows and message an ended job leaves: "Архив записан: <file>, <size> МБ за <s> с"
// (one decimal, a decimal comma, 1 МБ = 2^20 bytes), "Архивация отменена: <file>", or the
// failure's own texts.
maintenance_report end_report(const maintenance_end& end);

class maintenance_worker {
public:
    using progress_callback = std::function<void(double fraction)>;
    using done_callback = std::function<void(maintenance_end end)>;

    maintenance_worker(database_registry& registry, progress_callback progress, done_callback done);
    ~maintenance_worker();
    maintenance_worker(const maintenance_worker&) = delete;
    maintenance_worker& operator=(const maintenance_worker&) = delete;

    // Hands over a job; false (and nothing started) while another one runs. A job handed over
    // while the worker is being destroyed is dropped without a done.
    bool start_archive(const std::wstring& folder, const std::wstring& archive);
    bool start_delete(const std::wstring& folder);
    // The running archive stops at libzip's next block; does nothing otherwise.
    void cancel();
    // From start until the job's work has ended (just before done is called).
    bool busy() const;

private:
    void run();
    bool start(maintenance_end job);

    database_registry& registry_;
    const progress_callback progress_;
    const done_callback done_;
    std::atomic<bool> cancel_{false};  // the running archive's cancel request

    mutable std::mutex mutex_;  // guards pending_, busy_, stopping_, thread_
    std::condition_variable wake_;
    std::optional<maintenance_end> pending_;  // handed over, not yet taken by the thread
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;  // started with the first job
};
