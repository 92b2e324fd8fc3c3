#include "settings/quillmar_options.h"
#include "settings/settings_keys.h"
#include "tests/app/frame_test_support.h"

#include <gtest/gtest.h>

#include <functional>

#include <wx/button.h>
#include <wx/textctrl.h>
#include <wx/propgrid/propgrid.h>
#include <wx/utils.h>

namespace {

namespace fs = std::filesystem;

struct shown {
    const wchar_t* key;
    const wchar_t* label;
    wxString value;
};

class options_test : public ::testing::Test {
protected:
    test_support::scoped_home home;
    fs::path file = home.path() / ".quillmar";
    settings_ptr store = std::make_shared<settings_store>(wxString(file.string()));

    // Shows the dialog modally and presses the button `id` from inside its modal loop, after
    // `before` (run while the dialog is shown).
    int show_and_press(quillmar_options& dialog, int id, std::function<void()> before = {}) {
        wxTheApp->CallAfter([&dialog, id, before] {
            if (before) before();
            wxCommandEvent click(wxEVT_BUTTON, id);
            click.SetEventObject(dialog.FindWindow(id));
            dialog.FindWindow(id)->GetEventHandler()->ProcessEvent(click);
        });
        return dialog.ShowModal();
    }
};

TEST_F(options_test, without_a_settings_file_every_property_shows_its_default) {
    quillmar_options dialog(nullptr, store);
    EXPECT_EQ(dialog.GetTitle(), L"Настройка программы");
    const shown expected[] = {
        {L"side", L"Борт", L"левый"},
        {L"driver", L"Предпочтительный драйвер", L"SocketDriver"},
        {L"rotate180", L"Разворачивать на 180", L"Нет"},
        {L"show_scale", L"Показывать линейку", L"Да"},
        {L"scale", L"Масштаб линейки", L"0,8"},  // the operator's decimal comma
        {L"write_path", L"Каталог", wxGetHomeDir()},
        {L"record_queue_mb", L"Очередь записи, МБ", L"480"},
        {L"dpp_port", L"Порт ДПП", L"COM1"},
        {L"dpp_format", L"Формат ДПП", L"ДПП7"},
        {L"coordinate_server_enabled", L"Запрашивать сервер координат", L"Да"},
        {L"coordinate_server_address", L"Адрес", L"127.0.0.1"},
        {L"coordinate_server_port", L"Порт", L"12500"},
        {L"coordinate_server_query_period", L"Период опроса (секунды)", L"5"},
        {L"data_service_port", L"Порт", L"12600"},
        {L"rc_service_enabled", L"Разрешить удаленное управление", L"Нет"},
        {L"rc_service_port", L"Порт", L"12700"},
    };
    for (const auto& e : expected) {
        wxPGProperty* p = dialog.grid()->GetPropertyByName(e.key);
        ASSERT_NE(p, nullptr) << e.key;
        EXPECT_EQ(p->GetLabel(), e.label) << e.key;
        EXPECT_EQ(p->GetValueAsString(), e.value) << e.key;
    }
    EXPECT_EQ(dialog.grid()->GetPropertyByName(L"exposure_mode"), nullptr);
    EXPECT_EQ(dialog.grid()->GetPropertyByName(L"Удаленное управление (требуется перезапуск)")->GetLabel(),
              L"Удаленное управление (требуется перезапуск)");
}

TEST_F(options_test, ok_writes_every_key_and_cancel_writes_nothing) {
    store->write_text(settings_keys::exposure_mode, "ContinuousPreset3");
    {
        quillmar_options dialog(nullptr, store);
        EXPECT_EQ(show_and_press(dialog, wxID_CANCEL), wxID_CANCEL);
    }
    EXPECT_FALSE(store->has(settings_keys::write_path));
    {
        quillmar_options dialog(nullptr, store);
        dialog.grid()->SetPropertyValue(L"side", 1);
        dialog.grid()->SetPropertyValue(L"rotate180", true);
        EXPECT_EQ(show_and_press(dialog, wxID_OK), wxID_OK);
    }
    for (const wchar_t* key :
         {L"side", L"driver", L"rotate180", L"show_scale", L"scale", L"write_path", L"record_queue_mb", L"dpp_port",
          L"dpp_format", L"coordinate_server_enabled", L"coordinate_server_address", L"coordinate_server_port",
          L"coordinate_server_query_period", L"data_service_port", L"rc_service_enabled", L"rc_service_port"})
        EXPECT_TRUE(store->has(key)) << key;
    EXPECT_EQ(store->read_text(settings_keys::side, ""), L"правый");
    EXPECT_TRUE(store->read_bool(settings_keys::rotate180, false));
    EXPECT_EQ(store->read_text(settings_keys::dpp_format, ""), L"ДПП7");
    EXPECT_EQ(store->read_text(settings_keys::coordinate_server_query_period, ""), L"5");
    EXPECT_EQ(store->read_long(settings_keys::record_queue_mb, 0), 480);
    EXPECT_DOUBLE_EQ(store->read_double(settings_keys::scale, 0), 0.8);
    EXPECT_EQ(store->read_text(settings_keys::exposure_mode, ""), L"ContinuousPreset3");
    // Not flushed by the dialog: the caller does that.
    EXPECT_FALSE(fs::exists(file));
    store->flush();
    const auto lines = test_support::file_lines(file);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "write_path=" + wxGetHomeDir().ToStdString()), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "scale=0.8"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "side=правый"), lines.end());
}

TEST_F(options_test, ok_refuses_a_stored_queue_bound_out_of_range_and_says_which_field) {
    store->write_text(settings_keys::record_queue_mb, L"10");
    quillmar_options dialog(nullptr, store);
    EXPECT_EQ(dialog.grid()->GetPropertyByName(L"record_queue_mb")->GetValueAsString(), L"10");
    std::vector<wxString> refused;
    dialog.show_error = [&](const wxString& text) { refused.push_back(text); };
    bool still_open = false;
    wxTheApp->CallAfter([&] {
        wxCommandEvent click(wxEVT_BUTTON, wxID_OK);
        click.SetEventObject(dialog.FindWindow(wxID_OK));
        dialog.FindWindow(wxID_OK)->GetEventHandler()->ProcessEvent(click);
        still_open = dialog.IsModal();
        if (still_open) dialog.EndModal(wxID_CANCEL);
    });
    EXPECT_EQ(dialog.ShowModal(), wxID_CANCEL);
    EXPECT_TRUE(still_open);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0], L"Значение \"10\" поля \"Очередь записи, МБ\" должно быть целым числом от 64 до 16384");
    EXPECT_EQ(store->read_text(settings_keys::record_queue_mb, L""), L"10");
}

TEST_F(options_test, ok_keeps_a_value_still_being_typed_in_its_editor) {
    quillmar_options dialog(nullptr, store);
    bool typed = false;
    EXPECT_EQ(show_and_press(dialog, wxID_OK,
                             [&] {
                                 dialog.grid()->SelectProperty(L"dpp_port", true);
                                 auto* editor = dynamic_cast<wxTextCtrl*>(dialog.grid()->GetEditorControl());
                                 if (!editor) return;
                                 editor->SetValue(L"/dev/ttyUSB1");  // typed, Enter not pressed
                                 typed = true;
                             }),
              wxID_OK);
    ASSERT_TRUE(typed) << "no text editor for the port";
    EXPECT_EQ(store->read_text(settings_keys::dpp_port, L""), L"/dev/ttyUSB1");
}

// Russian operators type a decimal comma: "0,5" is a half, and text around a number is
// refused with the field named instead of being read as another number.
TEST_F(options_test, the_ruler_scale_takes_a_decimal_comma_and_refuses_text_around_a_number) {
    const struct {
        const wchar_t* typed;
        double stored;  // 0: refused, the stored value stays 0.8
    } cases[] = {{L"0,5", 0.5}, {L"1.25", 1.25}, {L"1abc,5x", 0}, {L"5 мм", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(wxString(c.typed).utf8_string());
        store->write_double(settings_keys::scale, 0.8);
        quillmar_options dialog(nullptr, store);
        std::vector<wxString> refused;
        dialog.show_error = [&](const wxString& text) { refused.push_back(text); };
        dialog.grid()->SetPropertyValue(L"scale", wxString(c.typed));
        wxTheApp->CallAfter([&] {
            wxCommandEvent click(wxEVT_BUTTON, wxID_OK);
            click.SetEventObject(dialog.FindWindow(wxID_OK));
            dialog.FindWindow(wxID_OK)->GetEventHandler()->ProcessEvent(click);
            if (dialog.IsModal()) dialog.EndModal(wxID_CANCEL);  // refused: still open
        });
        EXPECT_EQ(dialog.ShowModal(), c.stored ? wxID_OK : wxID_CANCEL);
        EXPECT_DOUBLE_EQ(store->read_double(settings_keys::scale, 0), c.stored ? c.stored : 0.8);
        if (c.stored) {
            EXPECT_TRUE(refused.empty());
        } else {
            ASSERT_EQ(refused.size(), 1u);
            EXPECT_EQ(refused[0], L"Значение \"" + wxString(c.typed) +
                                      L"\" поля \"Масштаб линейки\" должно быть числом "
                                      L"больше нуля");
        }
    }
}

TEST_F(options_test, a_stored_choice_in_another_letter_case_shows_no_selection_and_ok_stores_it_empty) {
    store->write_text(settings_keys::dpp_format, L"дпп7");
    store->write_text(settings_keys::driver, L"FilterDriver");
    quillmar_options dialog(nullptr, store);
    EXPECT_TRUE(dialog.grid()->GetPropertyByName(L"dpp_format")->IsValueUnspecified());
    EXPECT_EQ(dialog.grid()->GetPropertyByName(L"driver")->GetValueAsString(), L"FilterDriver");
    dialog.save();
    EXPECT_TRUE(store->has(settings_keys::dpp_format));
    EXPECT_EQ(store->read_text(settings_keys::dpp_format, L"x"), L"");
}

}  // namespace

namespace {

TEST(options_damaged_file, ok_leaves_a_line_that_is_not_utf8_alone_and_writes_the_others_as_read) {
    test_support::scoped_home home;
    const auto file = home.path() / ".quillmar";
    std::ofstream(file, std::ios::binary) << "side=\xff\xfe\ndpp_port=COM3\nrotate180=1\n";
    auto store = std::make_shared<settings_store>(wxString(file.string()));
    {
        quillmar_options dialog(nullptr, store);
        EXPECT_EQ(dialog.grid()->GetPropertyByName(L"dpp_port")->GetValueAsString(), L"COM3");
        EXPECT_EQ(dialog.grid()->GetPropertyByName(L"rotate180")->GetValueAsString(), L"Да");
        dialog.save();
    }
    store->flush();
    const auto lines = test_support::file_lines(file);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "side=\xff\xfe");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "dpp_port=COM3"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "rotate180=1"), lines.end());
}

}  // namespace
