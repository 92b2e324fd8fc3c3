// main() for GUI tests: starts the toolkit on $DISPLAY (Xvfb under `make test`) with a bare
// wxApp, so windows can be created, shown and driven through wxUIActionSimulator / events.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>
#include <clocale>
#include <cstdlib>

namespace {
class test_app : public wxApp {
public:
    bool OnInit() override { return true; }
};

// A toolkit assertion fails the test that made it; its dialog would wait for a click under
// Xvfb until the suite's time-out.
void fail_on_assert(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg) {
    ADD_FAILURE_AT(file.utf8_str(), line) << "wx assertion in " << func.utf8_str() << ": " << cond.utf8_str() << " "
                                          << msg.utf8_str();
}
}  // namespace

wxIMPLEMENT_APP_NO_MAIN(test_app);

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C.UTF-8");
    // Tests never look for real cameras: Aravis discovery would broadcast on every interface.
    ::setenv("QUILLMAR_CAMERAS", "simulated", 1);
    ::testing::InitGoogleTest(&argc, argv);
    // --gtest_list_tests runs without a display at discovery time.
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    if (!wxEntryStart(argc, argv)) return 2;
    wxSetAssertHandler(fail_on_assert);
    wxTheApp->CallOnInit();
    const int rc = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return rc;
}
