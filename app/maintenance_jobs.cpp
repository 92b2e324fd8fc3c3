#include "app/maintenance_jobs.h"

#include "database/database_maintenance.h"

namespace {
// Private to this handler: the window never sees them.
wxDEFINE_EVENT(EVT_MAINTENANCE_PROGRESS, wxThreadEvent);
wxDEFINE_EVENT(EVT_MAINTENANCE_DONE, wxThreadEvent);
}  // namespace

maintenance_jobs::maintenance_jobs(ui_getter ui, database_registry& registry)
    : ui_(std::move(ui)),
      worker_(
          registry,
          [this](double fraction) {
              latest_ = fraction;
              if (!progress_queued_.exchange(true)) wxQueueEvent(this, new wxThreadEvent(EVT_MAINTENANCE_PROGRESS));
          },
          [this](maintenance_end end) {
              auto* event = new wxThreadEvent(EVT_MAINTENANCE_DONE);
              event->SetPayload(std::move(end));
              wxQueueEvent(this, event);
          }) {
    Bind(EVT_MAINTENANCE_PROGRESS, [this](wxThreadEvent&) {
        progress_queued_ = false;
        on_progress(latest_);
    });
    Bind(EVT_MAINTENANCE_DONE, [this](wxThreadEvent& event) { on_done(event.GetPayload<maintenance_end>()); });
}

// The worker goes after this body (its thread joined, an archive cancelled); events it
// queued meanwhile are dropped with this handler, so the job's end is not logged.
maintenance_jobs::~maintenance_jobs() {
    if (running_ == maintenance_job::archive)
        ui_().end_progress();
    else if (running_ == maintenance_job::remove)
        ui_().end_busy();
}

bool maintenance_jobs::start_archive(const std::wstring& folder) {
    if (busy()) return false;
    maintenance_ui& ui = ui_();
    const auto target = choose_archive_target(folder, ui);
    if (!target || !worker_.start_archive(folder, *target)) return false;
    running_ = maintenance_job::archive;
    ui.begin_progress(L"Архивация базы", L"Запись базы в архив: " + archive_folder_name(folder),
                      [this] { worker_.cancel(); });
    return true;
}

bool maintenance_jobs::start_delete(const std::wstring& folder) {
    if (busy()) return false;
    maintenance_ui& ui = ui_();
    if (!confirm_delete(folder, ui) || !worker_.start_delete(folder)) return false;
    running_ = maintenance_job::remove;
    ui.begin_busy(L"Удаление базы: " + archive_folder_name(folder));
    return true;
}

void maintenance_jobs::on_progress(double fraction) {
    if (running_ == maintenance_job::archive) ui_().show_progress(fraction);
}

void maintenance_jobs::on_done(const maintenance_end& end) {
    maintenance_ui& ui = ui_();
    if (end.job == maintenance_job::archive)
        ui.end_progress();
    else
        ui.end_busy();
    running_.reset();
    show_report(end_report(end), ui);
    if (end.job == maintenance_job::remove && deleted) deleted(end.folder);
}
