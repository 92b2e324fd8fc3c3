// main() for tests without a display: wxBase is initialised so wxString conversions,
// wxFileConfig and wxThread work as in the program.
#include <gtest/gtest.h>
#include <wx/init.h>
#include <clocale>

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C.UTF-8");
    ::testing::InitGoogleTest(&argc, argv);
    wxInitializer wx;
    if (!wx.IsOk()) return 2;
    return RUN_ALL_TESTS();
}
