#pragma once
// load_thread: one background scan of the write path for the "Данные" list.
//
// run() does the whole scan on the calling thread and posts, through the event sink:
//   - a database_info_message per database: its folder, summary and the scan's generation
//     (so the window can drop reports of a superseded scan);
//   - a log_error_message per folder that is not a readable database, naming the folder
//     ("База <name>: нет кадров" or "База <name>: повреждена: <text>", see
//     unreadable_database_text), "Не удалось определить свободное место на диске" when the disk size is unknown,
//     and for a failure of the scan itself its text or
//     "Неизвестная ошибка в потоке загрузки баз";
//   - a status_text_message for field 3 with the disk line, after the databases.
// Nothing at all is posted when the write path cannot be listed or has no subdirectory.
// It never touches the registry or any window.
//
// Ownership and threads: the object is a plain job; database_loader runs it on a thread it
// owns and joins. The sink may be detached by the window at any time (it then drops posts).
// Thread safety: one run() at a time per object; cancel() may be called from any thread and
// stops the scan before its next database.
#include <atomic>
#include <memory>
#include <string>

#include "base/thread_message.h"

class load_thread {
public:
    load_thread(event_sink_ptr sink, std::wstring write_path, int generation = 0);

    // The scan; 0 when it ran to its end (or was cancelled), -1 after an unexpected failure.
    int run();
    void cancel() { cancelled_.store(true); }

    const std::wstring& write_path() const { return write_path_; }
    int generation() const { return generation_; }

private:
    event_sink_ptr sink_;
    std::wstring write_path_;
    int generation_;
    std::atomic<bool> cancelled_{false};
};
