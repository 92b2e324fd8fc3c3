// Stepping through a recorded 1920 x 1200 database in the viewer with the Right key (run under
// Xvfb), the frame fitted to a 1280 x 800 picture: the median time from the key event to the
// painted frame, against the bare cost of the same step without a window (seek to the next
// frame, decode, convert to RGB).
// Options: --frames N (default 1000).
#include "bench/database_bench_util.h"
#include "bench/gui_bench.h"
#include "bench/viewer_bench.h"
#include "database/recording_database.h"
#include "viewer/VImagePanel.h"
#include "viewer/frame_browser.h"
#include "viewer/viewer_dialog.h"

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <vector>

#include <opencv2/imgproc.hpp>

using gui_bench::cpu_seconds;
using gui_bench::median_ms;

int main(int argc, char** argv) {
    const int frames = static_cast<int>(bench_db::option(argc, argv, "--frames", 1000));
    const std::string home = gui_bench::start(1, argv, "viewer-bench");
    if (home.empty()) return 2;
    const std::wstring folder = (std::filesystem::path(home) / "2024.05.01 12.30.45").wstring();
    {
        const bench_db::strip texture(1920, 1200, 100);
        recording_database db;
        db.open(folder);
        for (int i = 0; i < frames; ++i)
            db.store_frame(texture.frame(i % 100), static_cast<std::uint32_t>(1000 + 5 * i), 1700000000);
        db.close(std::string("A : 1"), std::wstring(L"левый"));
    }

    std::vector<double> bare, bare_cpu;
    viewer_bench::bare_steps(folder, frames, bare, bare_cpu);

    std::vector<double> shown, handled, shown_cpu;
    {
        viewer_dialog dialog(nullptr, folder);
        dialog.Show();
        for (int i = 0; i < 20; ++i) wxYield();
        // The picture at 1280 x 800, whatever the dialog's frame and controls take.
        for (int attempt = 0; attempt < 5 && dialog.panel()->GetClientSize() != wxSize(1280, 800); ++attempt) {
            dialog.SetSize(dialog.GetSize() + wxSize(1280, 800) - dialog.panel()->GetClientSize());
            for (int i = 0; i < 20; ++i) wxYield();
        }
        for (int i = 1; i < frames; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = cpu_seconds();
            wxKeyEvent key(wxEVT_CHAR_HOOK);
            key.m_keyCode = WXK_RIGHT;
            key.SetEventObject(&dialog);
            dialog.GetEventHandler()->ProcessEvent(key);
            handled.push_back(bench_db::seconds_since(t0));
            dialog.panel()->Update();  // paints now
            shown.push_back(bench_db::seconds_since(t0));
            shown_cpu.push_back(cpu_seconds() - c0);
        }
        std::printf("picture %d x %d at zoom %.3f\n", dialog.panel()->GetClientSize().x,
                    dialog.panel()->GetClientSize().y, dialog.panel()->view.zoom);
        dialog.Hide();
    }
    const double b = median_ms(bare), s = median_ms(shown);
    std::printf("%d frames of 1920 x 1200\n", frames);
    std::printf("bare seek + decode + convert: median %.2f ms\n", b);
    std::printf("Right key to painted frame:   median %.2f ms\n", s);
    std::printf("  of which the key handler: median %.2f ms\n", median_ms(handled));
    std::printf("ratio: %.2f\n", s / b);
    std::printf("CPU time of this process (without the X server's): bare %.2f ms, key to painted %.2f ms, ratio %.2f\n",
                median_ms(bare_cpu), median_ms(shown_cpu), median_ms(shown_cpu) / median_ms(bare_cpu));
    wxEntryCleanup();
    std::filesystem::remove_all(home);
    return 0;
}
