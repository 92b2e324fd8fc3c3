// Cost of one log row as the log grows: 10,000 rows through log_info into the shown main
// window (run under Xvfb), each followed by one pass of the event loop so the pane repaints.
// Prints the 100th and 10,000th row's cost, and the mean of the 20 rows ending there.
#include "app/quillmar_frame.h"
#include "bench/gui_bench.h"
#include "log/log.h"
#include "log/log_viewer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const int rows = argc > 1 ? std::atoi(argv[1]) : 10000;
    const std::string home = gui_bench::start(argc, argv, "log-bench");
    if (home.empty()) return 2;

    auto* frame = new quillmar_frame();
    frame->Show();
    wxYield();

    using clock = std::chrono::steady_clock;
    std::vector<double> call_ms(rows), total_ms(rows);
    for (int i = 0; i < rows; ++i) {
        const auto t0 = clock::now();
        log_info(wxString::Format(L"Строка журнала %d: delivered: %d lost: 0 await: 0 corrupt: 0", i + 1, i * 10));
        const auto t1 = clock::now();
        wxYield();  // the pane repaints as it would between two events
        const auto t2 = clock::now();
        call_ms[i] = std::chrono::duration<double, std::milli>(t1 - t0).count();
        total_ms[i] = std::chrono::duration<double, std::milli>(t2 - t0).count();
    }
    // Single rows are at the mercy of the scheduler on a shared machine; the mean and median of
    // the 20 rows ending at a row show its typical cost.
    auto mean20 = [&](const std::vector<double>& v, int last) {
        double s = 0;
        const int first = last >= 20 ? last - 20 : 0;
        for (int i = first; i < last; ++i) s += v[i];
        return s / (last - first);
    };
    auto median20 = [&](const std::vector<double>& v, int last) {
        const int first = last >= 20 ? last - 20 : 0;
        std::vector<double> w(v.begin() + first, v.begin() + last);
        std::sort(w.begin(), w.end());
        return w[w.size() / 2];
    };
    const int a = rows >= 100 ? 100 : rows;
    std::printf("rows: %d (pane keeps the newest %zu)\n", rows, log_viewer::pane_rows);
    std::printf("row %5d: log_info %.3f ms, with repaint %.3f ms (mean of 20: %.3f / %.3f ms)\n", a, call_ms[a - 1],
                total_ms[a - 1], mean20(call_ms, a), mean20(total_ms, a));
    std::printf("row %5d: log_info %.3f ms, with repaint %.3f ms (mean of 20: %.3f / %.3f ms)\n", rows,
                call_ms[rows - 1], total_ms[rows - 1], mean20(call_ms, rows), mean20(total_ms, rows));
    std::printf("median of 20 with repaint: row %d %.3f ms, row %d %.3f ms, ratio %.2f\n", a, median20(total_ms, a),
                rows, median20(total_ms, rows), median20(total_ms, rows) / median20(total_ms, a));
    const auto log_path = frame->log_file_path().ToStdString();
    std::printf("log file: %ju bytes for %d rows\n", static_cast<std::uintmax_t>(std::filesystem::file_size(log_path)),
                rows);

    frame->Destroy();
    wxTheApp->ProcessIdle();
    wxEntryCleanup();
    std::filesystem::remove_all(home);
    return 0;
}
