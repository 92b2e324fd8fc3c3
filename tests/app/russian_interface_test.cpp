// The interface reads Russian whatever the locale, down to the toolkit's own buttons; the
// toolbar says what each tool does and shows which ones cannot be used now.
#include "app/main_toolbar.h"
#include "app/maintenance_prompts.h"
#include "app/quillmar_app.h"
#include "app/window_ids.h"
#include "settings/quillmar_options.h"
#include "tests/app/fake_frame_source.h"
#include "tests/app/frame_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <libintl.h>
#include <optional>
#include <string>

#include <wx/button.h>
#include <wx/combobox.h>
#include <wx/image.h>
#include <wx/menuitem.h>
#include <wx/stockitem.h>
#include <wx/toolbar.h>
#include <wx/translation.h>

namespace {

using test_support::frame_fixture;

// Puts LANGUAGE back and drops the catalog, so the other tests of this program see the
// environment they started with.
struct restore_language {
    std::optional<std::string> before;
    restore_language() {
        if (const char* v = std::getenv("LANGUAGE")) before = v;
    }
    ~restore_language() {
        if (before)
            ::setenv("LANGUAGE", before->c_str(), 1);
        else
            ::unsetenv("LANGUAGE");
        wxTranslations::Set(nullptr);
    }
};

TEST(russian_interface, the_toolkits_stock_buttons_and_gtks_own_texts_are_russian) {
    restore_language restore;
    ASSERT_TRUE(load_toolkit_translations()) << "package wx3.2-i18n missing";
    // As the buttons show them (with the mnemonic marker).
    EXPECT_EQ(wxGetStockLabel(wxID_OK), L"&ОК");
    EXPECT_EQ(wxGetStockLabel(wxID_CANCEL), L"&Отмена");
    EXPECT_EQ(wxGetStockLabel(wxID_YES), L"&Да");
    EXPECT_EQ(wxGetStockLabel(wxID_NO), L"&Нет");

    // The test environment's locale is C.UTF-8, as on a machine set up in English.
    use_russian_messages();
    EXPECT_STREQ(std::getenv("LANGUAGE"), "ru");
    EXPECT_EQ(wxString::FromUTF8(dgettext("gtk30", "_Cancel")), L"_Отмена");
    EXPECT_EQ(wxString::FromUTF8(dgettext("gtk30", "_Save")), L"_Сохранить");
}

TEST(russian_interface, the_settings_dialogs_ok_reads_as_the_stock_button_does) {
    restore_language restore;
    ASSERT_TRUE(load_toolkit_translations());
    test_support::scoped_home home;
    auto store = std::make_shared<settings_store>(wxString((home.path() / ".quillmar").string()));
    quillmar_options dialog(nullptr, store);
    auto* ok = dynamic_cast<wxButton*>(dialog.FindWindow(wxID_OK));
    auto* cancel = dynamic_cast<wxButton*>(dialog.FindWindow(wxID_CANCEL));
    ASSERT_TRUE(ok && cancel);
    EXPECT_EQ(ok->GetLabel(), wxStripMenuCodes(wxGetStockLabel(wxID_OK)));
    EXPECT_EQ(cancel->GetLabel(), L"Отмена");
}

// Every pixel that is not transparent has equal red, green and blue.
bool grey(const wxBitmap& bitmap) {
    const wxImage image = bitmap.ConvertToImage();
    for (int y = 0; y < image.GetHeight(); ++y)
        for (int x = 0; x < image.GetWidth(); ++x) {
            if (image.IsTransparent(x, y)) continue;
            const int r = image.GetRed(x, y), g = image.GetGreen(x, y), b = image.GetBlue(x, y);
            if (std::abs(r - g) > 2 || std::abs(g - b) > 2) return false;
        }
    return true;
}

class toolbar_test : public ::testing::Test, public frame_fixture {};

TEST_F(toolbar_test, every_tool_has_a_russian_tooltip_and_a_greyed_disabled_icon) {
    open();
    wxToolBar* bar = frame->GetToolBar();
    ASSERT_NE(bar, nullptr);
    for (int id : {ID_CAPTURE, ID_CAPTURE_RECORD, ID_STOP, ID_SETTINGS, ID_EXIT}) {
        SCOPED_TRACE(id);
        const wxToolBarToolBase* tool = bar->FindById(id);
        ASSERT_NE(tool, nullptr);
        EXPECT_EQ(tool->GetShortHelp(), main_toolbar::tooltip(id));
        EXPECT_FALSE(tool->GetShortHelp().empty());
        const wxBitmap normal = tool->GetNormalBitmap();
        const wxBitmap disabled = tool->GetDisabledBitmap();
        ASSERT_TRUE(normal.IsOk() && disabled.IsOk());
        EXPECT_EQ(disabled.GetSize(), normal.GetSize());
        EXPECT_TRUE(grey(disabled));
    }
    // The coloured icons lose their colour when disabled.
    EXPECT_FALSE(grey(bar->FindById(ID_SETTINGS)->GetNormalBitmap()));
    EXPECT_FALSE(grey(bar->FindById(ID_EXIT)->GetNormalBitmap()));
    EXPECT_EQ(frame->camera_combo()->GetToolTipText(), main_toolbar::tooltip(ID_CAMERA_COMBO));
    EXPECT_EQ(frame->exposure_combo()->GetToolTipText(), main_toolbar::tooltip(ID_EXPOSURE_COMBO));
    for (int id : {ID_CAPTURE, ID_CAPTURE_RECORD, ID_STOP, ID_SETTINGS, ID_EXIT, ID_CAMERA_COMBO, ID_EXPOSURE_COMBO})
        EXPECT_NE(main_toolbar::tooltip(id).find_first_of(L"абвгдеёжзийклмнопрстуфхцчшщъыьэюя"), std::wstring::npos);
}

// The operator can record and stop from the toolbar, and its buttons are enabled exactly
// when the menu's commands are: idle, recording, stopped.
TEST_F(toolbar_test, record_and_stop_tools_start_and_end_a_recording_as_the_menu_does) {
    open();
    wxToolBar* bar = frame->GetToolBar();
    EXPECT_EQ(bar->FindById(ID_CAPTURE_RECORD)->GetLabel(), L"Запись");
    EXPECT_EQ(bar->FindById(ID_STOP)->GetLabel(), L"Стоп");
    auto same_as_menu = [&](const char* when) {
        SCOPED_TRACE(when);
        frame->UpdateWindowUI(wxUPDATE_UI_RECURSE);
        for (int id : {ID_CAPTURE, ID_CAPTURE_RECORD, ID_STOP})
            EXPECT_EQ(bar->GetToolEnabled(id), frame->command_enabled(id)) << id;
    };
    same_as_menu("idle");
    ASSERT_TRUE(frame->command_enabled(ID_CAPTURE_RECORD));
    EXPECT_FALSE(frame->command_enabled(ID_STOP));

    wxCommandEvent record(wxEVT_TOOL, ID_CAPTURE_RECORD);
    frame->ProcessWindowEvent(record);
    ASSERT_TRUE(frame->state().active());
    same_as_menu("running");
    EXPECT_TRUE(bar->GetToolEnabled(ID_STOP));

    wxCommandEvent stop(wxEVT_TOOL, ID_STOP);
    frame->ProcessWindowEvent(stop);
    EXPECT_FALSE(frame->state().active());
    ASSERT_TRUE(pump_until([&] { return frame->command_enabled(ID_CAPTURE_RECORD); }));
    same_as_menu("stopped");
}

struct exit_answers : maintenance_ui {
    bool yes = false;
    std::vector<std::wstring> asked;
    bool confirm(const std::wstring& text, const std::wstring& caption) override {
        asked.push_back(caption + L"|" + text);
        return yes;
    }
    std::optional<std::wstring> choose_archive_path(const std::wstring&) override { return std::nullopt; }
    std::optional<std::wstring> enter_text(const std::wstring&, const std::wstring&, const std::wstring&) override {
        return std::nullopt;
    }
    void message(const std::wstring&) override {}
    void log_error(const std::wstring&) override {}
    void begin_busy(const std::wstring&) override {}
    void end_busy() override {}
};

TEST_F(toolbar_test, exit_while_recording_asks_first_and_no_keeps_recording) {
    open();
    auto owned = std::make_unique<exit_answers>();
    exit_answers* ui = owned.get();
    frame->set_maintenance_ui(std::move(owned));
    int closes = 0;
    // Counted, not carried out: the fixture destroys the window itself.
    frame->Bind(wxEVT_CLOSE_WINDOW, [&](wxCloseEvent&) { ++closes; });
    auto exit = [&] {
        wxCommandEvent e(wxEVT_MENU, ID_EXIT);
        frame->GetEventHandler()->ProcessEvent(e);
    };

    exit();  // idle: no question
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(ui->asked.empty());

    frame->state().set_camera_open(true);
    ASSERT_TRUE(frame->state().start([] { return std::make_shared<test_support::fake_frame_source>(true); }));
    exit();
    EXPECT_EQ(closes, 1);
    ASSERT_EQ(ui->asked.size(), 1u);
    EXPECT_EQ(ui->asked[0], L"Выход|Идет запись. Остановить запись и выйти из программы?");
    EXPECT_TRUE(frame->state().active());
    ui->yes = true;
    exit();
    EXPECT_EQ(closes, 2);
    frame->state().stop();

    // Capture alone is not a recording: no question.
    ASSERT_TRUE(frame->state().start([] { return std::make_shared<test_support::fake_frame_source>(false); }));
    exit();
    EXPECT_EQ(closes, 3);
    EXPECT_EQ(ui->asked.size(), 2u);
    frame->state().stop();
}

}  // namespace

TEST_F(toolbar_test, the_close_button_while_recording_asks_like_exit_and_no_keeps_the_window) {
    open();
    auto owned = std::make_unique<exit_answers>();
    exit_answers* ui = owned.get();
    frame->set_maintenance_ui(std::move(owned));
    frame->state().set_camera_open(true);
    ASSERT_TRUE(frame->state().start([] { return std::make_shared<test_support::fake_frame_source>(true); }));
    EXPECT_FALSE(frame->Close(false));  // vetoed
    ASSERT_EQ(ui->asked.size(), 1u);
    EXPECT_EQ(ui->asked[0], L"Выход|Идет запись. Остановить запись и выйти из программы?");
    EXPECT_TRUE(frame->state().active());
    frame->state().stop();
}
