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
    wxTheApp->CallOnInit();
    const int rc = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return rc;
}
