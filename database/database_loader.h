#pragma once
// database_loader: what the main window calls to keep the "Данные" list and the registry in
// step with the write path. GUI thread only (its members are not locked), except that its
// scan runs on a thread of its own.
//
//   start-up, "Обновить список баз", Settings with a changed write_path:
//       loader.reload(sink, write_path);  list->refresh();
//   database_info_message:
//       if (loader.on_database_info(message)) list->refresh();
//   after a delete command removed an entry from the registry:
//       loader.forget(folder);  loader.resync();  list->refresh();
//
// Reports of a superseded scan: every scan gets a generation number, carried in the
// database_info message; on_database_info() drops a report whose generation is not
// the latest one (is_current_scan() answers that alone). Reports of generation 0 (the write
// thread's) are always taken.
//
// Threads: the loader owns the scan thread. A new scan cancels the previous one and waits
// for it to end (on the new thread, so the window does not wait) before it lists the
// folder: two scans never hold the same database open. The destructor cancels and joins;
// that waits at most for one database to be summarised. Scans post only to the sink, which
// the window detaches when it goes away.
//
// Cost: one registry append and one model append per summary; the list grows linearly.
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "base/thread_message.h"
#include "database/database_list_model.h"
#include "database/database_registry.h"

class load_thread;

class database_loader {
public:
    explicit database_loader(database_registry& registry);  // must outlive the loader
    ~database_loader();
    database_loader(const database_loader&) = delete;
    database_loader& operator=(const database_loader&) = delete;

    // Clears the registry and the list, then starts a new scan of write_path.
    void reload(event_sink_ptr sink, const std::wstring& write_path);

    // A database_info_message: adds its summary under its folder to the registry and the
    // list. Returns false, changing nothing, for a superseded scan's report.
    bool on_database_info(const database_info_message& message);
    bool is_current_scan(int generation) const;

    // Copies the registry into the list again (after a removal from the registry).
    void resync();
    // A deleted database: reports of the running scan about it (summarised before the delete,
    // still queued) are dropped instead of bringing it back. A new scan forgets this.
    void forget(const std::wstring& folder);

    // Waits until the running scan (if any) has ended; for tests and benchmarks.
    void wait();

    const database_list_model& model() const { return model_; }
    // For the columns the registry does not hold (the depot upload's).
    database_list_model& model() { return model_; }
    database_registry& registry() { return registry_; }

private:
    void start(event_sink_ptr sink, std::unique_ptr<load_thread> job);

    database_registry& registry_;
    database_list_model model_;
    int generation_ = 0;
    std::set<std::wstring> forgotten_;  // folders deleted during the current scan
    std::shared_ptr<load_thread> job_;  // the latest scan, shared with its thread
    std::thread thread_;                // the latest scan's thread; it joins its predecessor
};
