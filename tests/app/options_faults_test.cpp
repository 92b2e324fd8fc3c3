// The settings dialog driven as a new user would: typed text, Enter, Escape, message boxes.
#include "settings/quillmar_options.h"
#include "settings/settings_keys.h"
#include "tests/app/frame_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include <wx/propgrid/propgrid.h>
#include <wx/combo.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Whether a top-level X window with this exact title is mapped.
bool window_shown(const std::string& title) {
    FILE* p = ::popen(("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null").c_str(), "r");
    if (!p) return false;
    char buf[64] = {};
    const bool found = std::fgets(buf, sizeof buf, p) != nullptr;
    ::pclose(p);
    return found;
}

// wx names the property grid's error box "Validation conflict" ("Property Error" elsewhere).
bool error_box_shown() { return window_shown("(Property Error|Validation conflict)"); }

// Presses Return in the grid's error box (no window manager gives it the focus by itself).
void press_ok_on_error_box() {
    std::system(
        "for w in $(xdotool search --onlyvisible --name '^(Property Error|Validation conflict)$' "
        "2>/dev/null); do xdotool windowfocus $w key Return; done");
}

// Runs script steps one after another from timers, so they also run inside nested modal loops
// (message boxes); each step returns true when done, false to be retried.
class steps {
public:
    explicit steps(std::vector<std::function<bool()>> s) : steps_(std::move(s)) {
        timer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
            if (next_ < steps_.size() && steps_[next_]()) {
                ++next_;
                if (std::getenv("QM_STEPS")) std::fprintf(stderr, "step %zu\n", next_);
            }
            if (next_ >= steps_.size()) timer_.Stop();
        });
        timer_.Start(150);
    }
    bool done() const { return next_ >= steps_.size(); }

private:
    std::vector<std::function<bool()>> steps_;
    std::size_t next_ = 0;
    wxTimer timer_;
};

int* counter() {
    static int n = 0;
    return &n;
}

class options_faults : public ::testing::Test {
protected:
    test_support::scoped_home home;
    fs::path file = home.path() / ".quillmar";
    settings_ptr store = std::make_shared<settings_store>(wxString(file.string()));
    wxUIActionSimulator sim;
};

void click(wxDialog& dialog, int id) {
    wxCommandEvent e(wxEVT_BUTTON, id);
    e.SetEventObject(dialog.FindWindow(id));
    dialog.FindWindow(id)->GetEventHandler()->ProcessEvent(e);
}

TEST_F(options_faults, text_that_is_no_number_then_ok_keeps_the_dialog_open_and_never_crashes) {
    quillmar_options dialog(nullptr, store);
    wxPropertyGrid* grid = dialog.grid();
    std::vector<wxString> refused;
    dialog.show_error = [&](const wxString& text) { refused.push_back(text); };
    wxTextCtrl* editor = nullptr;
    bool still_open = false;
    steps script({
        [&] {
            dialog.Raise();
            grid->SelectProperty(L"coordinate_server_query_period", true);
            editor = dynamic_cast<wxTextCtrl*>(grid->GetEditorControl());
            if (!editor) return false;
            editor->SetFocus();
            editor->SetValue(L"abc");
            return true;
        },
        [&] {
            sim.Char(WXK_RETURN);
            return true;
        },
        [&] {  // OK on the grid's own box, if it shows one
            if (error_box_shown()) press_ok_on_error_box();
            return true;
        },
        [&] {
            if (error_box_shown()) return false;
            click(dialog, wxID_OK);
            still_open = dialog.IsModal();
            return true;
        },
        [&] {
            if (error_box_shown()) {  // none expected; press OK again as the user did
                press_ok_on_error_box();
                return false;
            }
            return true;
        },
        [&] {  // corrected: Ok takes it
            grid->SelectProperty(L"coordinate_server_query_period", true);
            auto* again = dynamic_cast<wxTextCtrl*>(grid->GetEditorControl());
            if (!again) return false;
            again->SetValue(L"7");
            click(dialog, wxID_OK);
            return true;
        },
        [&] {
            if (dialog.IsModal()) dialog.EndModal(wxID_CANCEL);
            return true;
        },
    });
    EXPECT_EQ(dialog.ShowModal(), wxID_OK);
    EXPECT_TRUE(still_open) << "Ok with text that is no number closed the dialog";
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0], L"Значение \"abc\" поля \"Период опроса (секунды)\" должно быть целым числом от 1 до 86400");
    EXPECT_EQ(store->read_long(settings_keys::coordinate_server_query_period, 0), 7);
}

TEST_F(options_faults, escape_in_an_open_drop_down_closes_only_the_drop_down) {
    int asserts = 0;
    const wxAssertHandler_t kept = wxSetAssertHandler(
        [](const wxString&, int, const wxString&, const wxString&, const wxString&) { ++*counter(); });
    *counter() = 0;
    for (const wchar_t* key : {L"side", L"rotate180"}) {
        SCOPED_TRACE(key);
        quillmar_options dialog(nullptr, store);
        wxPropertyGrid* grid = dialog.grid();
        bool popup_was_shown = false, open_after = false;
        steps script({
            [&] {
                dialog.Raise();
                grid->SelectProperty(key, true);
                auto* combo = dynamic_cast<wxComboCtrl*>(grid->GetEditorControl());
                if (!combo) return false;
                combo->Popup();
                popup_was_shown = combo->IsPopupShown();
                return true;
            },
            [&] {
                sim.Char(WXK_ESCAPE);
                return true;
            },
            [&] {
                auto* combo = dynamic_cast<wxComboCtrl*>(grid->GetEditorControl());
                open_after = dialog.IsModal() && combo && !combo->IsPopupShown();
                return true;
            },
            [&] {
                if (dialog.IsModal()) dialog.EndModal(wxID_CANCEL);
                return true;
            },
        });
        dialog.ShowModal();
        EXPECT_TRUE(popup_was_shown);
        EXPECT_TRUE(open_after) << "Escape closed the dialog under its drop-down";
        wxTheApp->ProcessIdle();
    }
    asserts = *counter();
    wxSetAssertHandler(kept);
    EXPECT_EQ(asserts, 0);
}

TEST_F(options_faults, refused_values_keep_the_dialog_open_with_every_other_edit) {
    quillmar_options dialog(nullptr, store);
    wxPropertyGrid* grid = dialog.grid();
    std::vector<wxString> refused;
    dialog.show_error = [&](const wxString& text) { refused.push_back(text); };
    std::vector<bool> open_after;
    std::vector<wxString> selected, shown;
    auto press_ok = [&] {
        click(dialog, wxID_OK);
        open_after.push_back(dialog.IsModal());
        selected.push_back(grid->GetSelection() ? grid->GetSelection()->GetName() : wxString());
        shown.push_back(dialog.message());
        return true;
    };
    steps script({
        [&] {
            dialog.Raise();
            grid->SetPropertyValue(L"side", 1);  // an edit that must survive the refusals
            grid->SetPropertyValue(L"write_path", wxString());
            grid->SetPropertyValue(L"data_service_port", wxString(L"-5"));
            return true;
        },
        press_ok,
        [&] {
            grid->SetPropertyValue(L"write_path", wxString::FromUTF8((home.path() / "записи").string()));
            return true;
        },
        press_ok,
        [&] {
            grid->SetPropertyValue(L"data_service_port", wxString(L"12601"));
            return true;
        },
        press_ok,
        [&] {
            if (dialog.IsModal()) dialog.EndModal(wxID_CANCEL);
            return true;
        },
    });
    EXPECT_EQ(dialog.ShowModal(), wxID_OK);
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_EQ(refused[0], L"Не указан каталог для записи (поле \"Каталог\")");
    EXPECT_EQ(refused[1],
              L"Значение \"-5\" поля \"Служба доступа к данным: Порт\" должно быть целым числом от 1 до 65535");
    EXPECT_EQ(open_after, (std::vector<bool>{true, true, false}));
    EXPECT_EQ(selected[0], L"write_path");  // the field to mend is the one selected
    EXPECT_EQ(selected[1], L"data_service_port");
    EXPECT_EQ(shown[1], refused[1]);
    EXPECT_EQ(store->read_text(settings_keys::side, L""), L"правый");
    EXPECT_EQ(store->read_text(settings_keys::data_service_port, L""), L"12601");
    EXPECT_EQ(store->read_text(settings_keys::write_path, L""), wxString::FromUTF8((home.path() / "записи").string()));
}

TEST_F(options_faults, escape_in_an_edited_cell_takes_back_that_cell_only) {
    quillmar_options dialog(nullptr, store);
    wxPropertyGrid* grid = dialog.grid();
    bool typed = false, open_after_first = false, kept_other = false;
    wxString port_after, message_with_letters;
    std::vector<wxString> refused;
    dialog.show_error = [&](const wxString& text) { refused.push_back(text); };
    steps script({
        [&] {
            dialog.Raise();
            grid->SetPropertyValue(L"dpp_port", wxString(L"/dev/ttyUSB3"));  // an earlier edit
            grid->SelectProperty(L"coordinate_server_query_period", true);
            auto* editor = dynamic_cast<wxTextCtrl*>(grid->GetEditorControl());
            if (!editor) return false;
            editor->SetFocus();
            editor->SetValue(L"12x");
            typed = true;
            return true;
        },
        [&] {  // what Enter does: refused by the grid, and said under it
            grid->CommitChangesFromEditor();
            return true;
        },
        [&] {
            message_with_letters = dialog.message();
            // Escape as the dialog's key hook sees it, whichever window has the focus.
            wxKeyEvent escape(wxEVT_CHAR_HOOK);
            escape.m_keyCode = WXK_ESCAPE;
            escape.SetEventObject(grid->GetEditorControl());
            dialog.GetEventHandler()->ProcessEvent(escape);
            return true;
        },
        [&] {
            open_after_first = dialog.IsModal();
            auto* editor = dynamic_cast<wxTextCtrl*>(grid->GetEditorControl());
            port_after = editor ? editor->GetValue() : wxString(L"?");
            kept_other = grid->GetPropertyByName(L"dpp_port")->GetValueAsString() == L"/dev/ttyUSB3";
            return true;
        },
        [&] {
            if (dialog.IsModal()) click(dialog, wxID_OK);
            return true;
        },
        [&] {
            if (dialog.IsModal()) dialog.EndModal(wxID_CANCEL);
            return true;
        },
    });
    EXPECT_EQ(dialog.ShowModal(), wxID_OK);
    ASSERT_TRUE(typed);
    EXPECT_TRUE(open_after_first) << "Escape in the cell closed the dialog";
    EXPECT_EQ(port_after, L"5");
    EXPECT_TRUE(kept_other);
    EXPECT_EQ(message_with_letters,
              L"Значение \"12x\" поля \"Период опроса (секунды)\" должно быть целым числом от 1 до 86400");
    EXPECT_EQ(dialog.message(), L"");
    EXPECT_TRUE(refused.empty());
    EXPECT_EQ(store->read_text(settings_keys::dpp_port, L""), L"/dev/ttyUSB3");
    EXPECT_EQ(store->read_long(settings_keys::coordinate_server_query_period, 0), 5);
}

}  // namespace
