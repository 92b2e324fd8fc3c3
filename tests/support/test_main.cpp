// main() for tests without a display: wxBase is initialised so wxString conversions,
// wxFileConfig and wxThread work as in the program.
#include <gtest/gtest.h>
#include <wx/init.h>
#include <clocale>
#include <cstdlib>

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C.UTF-8");
    // Tests never look for real cameras: Aravis discovery would broadcast on every interface.
    ::setenv("QUILLMAR_CAMERAS", "simulated", 1);
    ::testing::InitGoogleTest(&argc, argv);
    wxInitializer wx;
    if (!wx.IsOk()) return 2;
    return RUN_ALL_TESTS();
}
