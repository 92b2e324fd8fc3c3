#include "app/maintenance_worker.h"

#include <exception>

#include <wx/string.h>

#include "base/locale_text.h"
#include "base/thread_name.h"

maintenance_report end_report(const maintenance_end& end) {
    if (end.job == maintenance_job::remove) return end.outcome.report;
    switch (end.outcome.result) {
    case archive_result::written: {
        const double megabytes = static_cast<double>(end.outcome.bytes) / (1024.0 * 1024.0);
        const double seconds = std::chrono::duration<double>(end.outcome.took).count();
        return {{}, {}, L"Архив записан: " + end.archive + L", " + one_decimal(megabytes) + L" МБ за " +
                            one_decimal(seconds) + L" с"};
    }
    case archive_result::cancelled: return {{}, {}, L"Архивация отменена: " + end.archive};
    default: return end.outcome.report;
    }
}

maintenance_worker::maintenance_worker(database_registry& registry, progress_callback progress, done_callback done)
    : registry_(registry), progress_(std::move(progress)), done_(std::move(done)) {}

maintenance_worker::~maintenance_worker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    cancel_ = true;
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool maintenance_worker::start_archive(const std::wstring& folder, const std::wstring& archive) {
    maintenance_end job;
    job.job = maintenance_job::archive;
    job.folder = folder;
    job.archive = archive;
    return start(std::move(job));
}

bool maintenance_worker::start_delete(const std::wstring& folder) {
    maintenance_end job;
    job.job = maintenance_job::remove;
    job.folder = folder;
    return start(std::move(job));
}

bool maintenance_worker::start(maintenance_end job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (busy_ || stopping_) return false;
    busy_ = true;
    cancel_ = false;
    pending_ = std::move(job);
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    wake_.notify_all();
    return true;
}

void maintenance_worker::cancel() { cancel_ = true; }

bool maintenance_worker::busy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return busy_;
}

void maintenance_worker::run() {
    name_this_thread("qm-maintenance");
    for (;;) {
        maintenance_end job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || pending_; });
            if (stopping_) return;  // a job handed over just now is dropped
            job = std::move(*pending_);
            pending_.reset();
        }
        try {
            if (job.job == maintenance_job::archive) {
                const archive_hooks hooks{[this](double f) {
                                              if (progress_) progress_(f);
                                          },
                                          [this] { return cancel_.load(); }};
                job.outcome = write_archive(job.folder, job.archive, hooks);
            } else {
                job.outcome.report = remove_database(job.folder, registry_);
            }
        } catch (const std::exception& e) {
            job.outcome.result = archive_result::cannot_create;
            job.outcome.report = {{}, wxString(e.what(), wxConvLibc).ToStdWstring(), {}};
        }
        {
            // Free before done: its receiver may start the next job at once.
            std::lock_guard<std::mutex> lock(mutex_);
            busy_ = false;
        }
        if (done_) done_(std::move(job));
    }
}
