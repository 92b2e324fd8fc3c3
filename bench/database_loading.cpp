// Loading the list: N small databases under one write path, from reload to the last row
// shown (the window side simulated on this thread: add to registry and list model, and read
// every cell of the new row as drawing would), against opening and summarising the same
// databases with nothing else. Options: --databases N (default 1000).
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

#include "bench/database_bench_util.h"
#include "database/database_loader.h"
#include "database/database_reader.h"
#include "database/database_scan.h"
#include "database/recording_database.h"

namespace {

// The window's event queue: posts from the scan thread, taken in order on this thread.
class queue_sink : public event_sink {
public:
    void post(thread_message message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(message));
        ready_.notify_one();
    }
    thread_message take() {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return !queue_.empty(); });
        thread_message m = std::move(queue_.front());
        queue_.pop_front();
        return m;
    }

private:
    std::mutex mutex_;  // guards queue_
    std::condition_variable ready_;
    std::deque<thread_message> queue_;
};

}  // namespace

int main(int argc, char** argv) {
    const int databases = static_cast<int>(bench_db::option(argc, argv, "--databases", 1000));
    bench_db::scratch dir;
    {
        cv::Mat frame(48, 64, CV_8UC1);
        cv::randu(frame, 0, 255);
        char name[64];
        for (int i = 0; i < databases; ++i) {
            std::snprintf(name, sizeof name, "2024.05.01 %02d.%02d.%02d", i / 3600, i / 60 % 60, i % 60);
            recording_database db;
            db.open((dir.path() / name).wstring());
            db.store_frame(frame, 100, 1714566645);
            db.store_frame(frame, 200, 1714566646);
            db.close(std::string("S : ") + std::to_string(i), L"левый");
        }
    }
    const std::wstring write_path = dir.path().wstring();

    // Opening and summarising alone; the first pass warms the caches (LevelDB's first open
    // of a freshly written database also rewrites its log), so it is not counted.
    int summarised = 0;
    scan_callbacks count_only;
    count_only.found = [&](const std::wstring&, const ldb_info&) { ++summarised; };
    auto open_alone = [&] {
        summarised = 0;
        auto start = std::chrono::steady_clock::now();
        scan_databases(write_path, count_only);
        return bench_db::seconds_since(start);
    };
    open_alone();
    double t_open = open_alone();
    std::chrono::steady_clock::time_point start;

    // The whole road: reload, scan thread, queued events, registry and list, cell texts.
    database_registry registry;
    database_loader loader(registry);
    auto sink = std::make_shared<queue_sink>();
    double t_window = 0;
    start = std::chrono::steady_clock::now();
    loader.reload(sink, write_path);
    std::size_t shown = 0, cell_chars = 0;
    for (;;) {
        thread_message m = sink->take();
        if (kind_of(m) == thread_event::status_text) break;  // the disk line comes last
        if (kind_of(m) != thread_event::database_info) continue;
        auto handle_start = std::chrono::steady_clock::now();
        if (loader.on_database_info(std::get<database_info_message>(m))) {
            const std::size_t row = loader.model().size() - 1;
            for (int c = 0; c < database_list_model::column_count; ++c)
                cell_chars += loader.model().cell(row, c).size();
            ++shown;
        }
        t_window += bench_db::seconds_since(handle_start);
    }
    double t_total = bench_db::seconds_since(start);
    loader.wait();
    t_open = (t_open + open_alone()) / 2;  // before and after, against drift

    std::printf("databases: %d (summarised alone: %d, rows shown: %zu)\n", databases, summarised, shown);
    std::printf("open + summary alone:        %.3f s\n", t_open);
    std::printf("reload to last row shown:    %.3f s\n", t_total);
    std::printf("window-side work (registry, list, cells): %.4f s = %.2f%% of the total\n", t_window,
                100.0 * t_window / t_total);
    std::printf("share outside opening and summarising: %.2f%%   [cells %zu chars]\n",
                100.0 * (t_total - t_open) / t_total, cell_chars);
    return 0;
}
