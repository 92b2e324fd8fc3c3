#pragma once
// Start-up shared by the benchmarks that show the real main window (run under Xvfb):
// HOME in a fresh temporary folder so no user's settings or logs are touched, the simulated
// camera so nothing is broadcast, and the toolkit started with a bare application object.
// Include from exactly one source file of a benchmark program (it defines the wx app).
#include <algorithm>
#include <clocale>
#include <ctime>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include <wx/app.h>
#include <wx/init.h>
#include <wx/log.h>

namespace gui_bench {
class bench_app : public wxApp {
public:
    bool OnInit() override { return true; }
};

// Returns the temporary home (the caller removes it), or an empty text when it or the
// toolkit cannot be set up.
inline std::string start(int argc, char** argv, const char* name) {
    std::setlocale(LC_ALL, "C.UTF-8");
    std::string home = std::string("/tmp/qm-") + name + "-XXXXXX";
    if (!::mkdtemp(home.data())) return {};
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("QUILLMAR_CAMERAS", "simulated", 1);
    if (!wxEntryStart(argc, argv)) return {};
    wxTheApp->CallOnInit();
    delete wxLog::SetActiveTarget(new wxLogStderr);
    return home;
}

// This process's CPU time (all its threads): on a shared machine, wall time also counts the
// waits for a core.
inline double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

inline double median_ms(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : 1000.0 * v[v.size() / 2];
}
}  // namespace gui_bench

wxIMPLEMENT_APP_NO_MAIN(gui_bench::bench_app);
