#include "database/database_loader.h"

#include "base/thread_name.h"

#include <utility>

#include "database/load_thread.h"

database_loader::database_loader(database_registry& registry) : registry_(registry) {}

database_loader::~database_loader() {
    if (job_) job_->cancel();
    if (thread_.joinable()) thread_.join();
}

void database_loader::reload(event_sink_ptr sink, const std::wstring& write_path) {
    registry_.clear();
    model_.clear();
    start(sink, std::make_unique<load_thread>(sink, write_path, ++generation_));
}

void database_loader::start(event_sink_ptr, std::unique_ptr<load_thread> job) {
    forgotten_.clear();
    if (job_) job_->cancel();
    std::shared_ptr<load_thread> next(std::move(job));
    std::thread previous = std::move(thread_);
    job_ = next;
    thread_ = std::thread([next, previous = std::move(previous)]() mutable {
        name_this_thread("qm-list-scan");
        if (previous.joinable()) previous.join();
        next->run();
    });
}

bool database_loader::is_current_scan(int generation) const { return generation == 0 || generation == generation_; }

bool database_loader::on_database_info(const database_info_message& message) {
    if (!is_current_scan(message.generation)) return false;
    if (message.generation != 0 && forgotten_.count(message.folder)) return false;
    registry_.add(message.summary, message.folder);
    model_.append(registry_entry{message.summary, message.folder});
    return true;
}

void database_loader::forget(const std::wstring& folder) { forgotten_.insert(folder); }

void database_loader::resync() { model_.assign(registry_.snapshot()); }

void database_loader::wait() {
    if (thread_.joinable()) thread_.join();
}
