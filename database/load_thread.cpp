#include "database/load_thread.h"

#include <exception>
#include <utility>

#include "database/database_scan.h"
#include "base/locale_text.h"

load_thread::load_thread(event_sink_ptr sink, std::wstring write_path, int generation)
    : sink_(std::move(sink)), write_path_(std::move(write_path)), generation_(generation) {}

int load_thread::run() {
    try {
        scan_callbacks callbacks;
        callbacks.found = [this](const std::wstring& folder, const ldb_info& summary) {
            post_message(sink_, database_info_message{folder, summary, generation_});
        };
        callbacks.failed = [this](const std::wstring& folder, const std::string& reason) {
            post_log_error(sink_, unreadable_database_text(folder, reason));
        };
        callbacks.settle_databases = true;  // counted once, settled once: later starts read little
        if (!scan_databases(write_path_, callbacks, &cancelled_)) return 0;
        if (cancelled_.load()) return 0;

        if (auto space = disk_space_of(write_path_))
            post_message(sink_,
                         status_text_message{3, make_disk_line(volume_of(write_path_), space->total, space->free)});
        else
            post_log_error(sink_, L"Не удалось определить свободное место на диске");
        return 0;
    } catch (const std::exception& e) {
        post_log_error(sink_, to_wide(e.what()));
    } catch (...) {
        post_log_error(sink_, L"Неизвестная ошибка в потоке загрузки баз");
    }
    return -1;
}
