// Stepping two recorded 1920 x 1200 runs together in the comparison (run under Xvfb), the
// second run's offset found: the median time from the Right key to both frames painted
// (lined up; with and without the differences marked), against the bare cost of one run's
// step as bench_viewer_step measures it (seek to the next frame, decode, convert to RGB).
// Options: --frames N (default 200).
#include "bench/database_bench_util.h"
#include "bench/gui_bench.h"
#include "bench/viewer_bench.h"
#include "tests/viewer/synthetic_runs.h"
#include "viewer/VImagePanel.h"
#include "viewer/compare_dialog.h"
#include "viewer/frame_browser.h"

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <vector>

#include <opencv2/imgproc.hpp>

int main(int argc, char** argv) {
    const int frames = static_cast<int>(bench_db::option(argc, argv, "--frames", 200));
    const std::string home = gui_bench::start(1, argv, "compare-bench");
    if (home.empty()) return 2;
    const std::wstring first = (std::filesystem::path(home) / "2024.05.01 12.30.45").wstring();
    const std::wstring second = (std::filesystem::path(home) / "2024.06.01 09.00.00").wstring();
    {
        const synthetic_runs::strip s(1920, 1200, frames + 40, 12);
        synthetic_runs::record(first, s, 1000, frames, 0, 0, 3, 1, "A : 1");
        synthetic_runs::record(second, s, 1037, frames, 4, -4, 3, 2, "A : 2");
    }

    std::vector<double> bare, bare_cpu;
    viewer_bench::bare_steps(first, frames, bare, bare_cpu);

    double find_ms = 0;
    std::vector<double> plain, marked, plain_cpu;
    long offset = 0;
    {
        const auto t0 = std::chrono::steady_clock::now();
        compare_dialog dialog(nullptr, first, second);
        find_ms = 1000 * bench_db::seconds_since(t0);  // opening finds the offset
        offset = static_cast<long>(dialog.comparison().offset());
        dialog.SetSize(1480, 1000);
        dialog.Show();
        for (int i = 0; i < 20; ++i) wxYield();
        for (int pass = 0; pass < 2; ++pass) {
            dialog.show_differences(pass == 1);
            dialog.handle_key(WXK_HOME, wxMOD_NONE);
            std::vector<double>& times = pass ? marked : plain;
            for (int i = 1; i < frames - 40; ++i) {
                const auto t0 = std::chrono::steady_clock::now();
                const double c0 = gui_bench::cpu_seconds();
                wxKeyEvent key(wxEVT_CHAR_HOOK);
                key.m_keyCode = WXK_RIGHT;
                key.SetEventObject(&dialog);
                dialog.GetEventHandler()->ProcessEvent(key);
                dialog.first_panel()->Update();
                dialog.second_panel()->Update();
                times.push_back(bench_db::seconds_since(t0));
                if (!pass) plain_cpu.push_back(gui_bench::cpu_seconds() - c0);
            }
        }
        std::printf("pictures %d x %d each, zoom %.3f, %s\n", dialog.first_panel()->GetClientSize().x,
                    dialog.first_panel()->GetClientSize().y, dialog.first_panel()->view.zoom,
                    dialog.side_by_side() ? "side by side" : "one above the other");
        dialog.Hide();
    }
    const double b = gui_bench::median_ms(bare), p = gui_bench::median_ms(plain), m = gui_bench::median_ms(marked);
    std::printf("%d frames of 1920 x 1200 in each run; offset found: %ld (true 37) in %.0f ms\n", frames, offset,
                find_ms);
    std::printf("one run's bare seek + decode + convert: median %.2f ms\n", b);
    std::printf("Right key to both frames painted:       median %.2f ms (ratio %.2f)\n", p, p / b);
    std::printf("  with the differences marked:          median %.2f ms (ratio %.2f)\n", m, m / b);
    std::printf(
        "CPU time of this process (all its threads, without the X server's): bare %.2f ms, "
        "both painted %.2f ms, ratio %.2f\n",
        gui_bench::median_ms(bare_cpu), gui_bench::median_ms(plain_cpu),
        gui_bench::median_ms(plain_cpu) / gui_bench::median_ms(bare_cpu));
    wxEntryCleanup();
    std::filesystem::remove_all(home);
    return 0;
}
