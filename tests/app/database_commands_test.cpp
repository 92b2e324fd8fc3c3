// The database commands of the main window, through its menu ids, on a recorded database.
#include "app/window_ids.h"
#include "app/database_list.h"
#include "database/database_loader.h"
#include "database/database_maintenance.h"
#include "database/recording_database.h"
#include "tests/app/frame_test_support.h"
#include "tests/database/db_test_util.h"
#include "viewer/VImagePanel.h"
#include "viewer/viewer_dialog.h"

#include <gtest/gtest.h>

#include <wx/spinctrl.h>

namespace {

namespace fs = std::filesystem;

struct answers : maintenance_ui {
    bool yes = true;
    std::optional<std::wstring> text = L"Новый : 1";
    int asked = 0;
    bool confirm(const std::wstring&, const std::wstring&) override { return ++asked, yes; }
    std::optional<std::wstring> choose_archive_path(const std::wstring&) override { return ++asked, std::nullopt; }
    std::optional<std::wstring> enter_text(const std::wstring&, const std::wstring&, const std::wstring&) override {
        return ++asked, text;
    }
    void message(const std::wstring&) override {}
    void log_error(const std::wstring&) override {}
    void begin_busy(const std::wstring&) override {}
    void end_busy() override {}
};

class database_commands : public ::testing::Test, public test_support::frame_fixture {
protected:
    fs::path folder;
    answers* ui = nullptr;

    void open_with_one_database(const std::string& extra_settings = "") {
        write_settings(extra_settings);
        folder = records() / "2024.05.01 12.30.45";
        {
            recording_database db;
            db.open(folder.wstring());
            for (std::uint32_t c : {1000u, 1005u})
                db.store_frame(db_test::test_frame(static_cast<int>(c)), c, 1700000000);
            db.close(std::string("A : 1"), std::wstring(L"правый"));
        }
        open();
        frame->databases().wait();
        pump();
        auto owned = std::make_unique<answers>();
        ui = owned.get();
        frame->set_maintenance_ui(std::move(owned));
    }
    void select_row(bool on) {
        frame->database_pane()->SetItemState(0, on ? wxLIST_STATE_SELECTED : 0, wxLIST_STATE_SELECTED);
    }
    void menu(int id) {
        wxCommandEvent e(wxEVT_MENU, id);
        frame->GetEventHandler()->ProcessEvent(e);
    }
};

TEST_F(database_commands, nothing_happens_without_a_selected_row) {
    open_with_one_database();
    ASSERT_EQ(frame->database_pane()->GetItemCount(), 1);
    bool viewed = false;
    frame->show_viewer = [&](viewer_dialog&) { viewed = true; };
    for (int id : {ID_VIEW_DATABASE, ID_DELETE_DATABASE, ID_ARCHIVE_DATABASE, ID_REPLACE_SIDE, ID_REPLACE_SESSION_CODE,
                   ID_EXPORT_DATABASE}) {
        EXPECT_FALSE(frame->command_enabled(id)) << id;
        menu(id);
    }
    EXPECT_FALSE(viewed);
    EXPECT_EQ(ui->asked, 0);
    EXPECT_EQ(db_test::all_keys(folder.string()).at("side"), "правый");
}

TEST_F(database_commands, view_opens_the_viewer_on_the_row_with_the_ruler_settings) {
    open_with_one_database("scale=1.5\nshow_scale=0\n");
    select_row(true);
    EXPECT_TRUE(frame->command_enabled(ID_VIEW_DATABASE));
    double spin = 0, scale = 0;
    bool show = true;
    frame->show_viewer = [&](viewer_dialog& d) {
        spin = d.spin()->GetValue();
        scale = d.panel()->scale;
        show = d.panel()->show_scale;
    };
    menu(ID_VIEW_DATABASE);
    EXPECT_DOUBLE_EQ(spin, 1000);
    EXPECT_DOUBLE_EQ(scale, 1.5);
    EXPECT_FALSE(show);
}

TEST_F(database_commands, edits_write_the_database_and_show_at_once_and_delete_removes_it) {
    open_with_one_database();  // no side setting: "левый" is written
    select_row(true);
    menu(ID_REPLACE_SIDE);
    menu(ID_REPLACE_SESSION_CODE);
    const auto keys = db_test::all_keys(folder.string());
    EXPECT_EQ(keys.at("side"), "левый");
    EXPECT_EQ(keys.at("session"), "Новый : 1");
    // The list and the registry (the image service's lookups) show the edits at once.
    const auto& model = frame->databases().model();
    EXPECT_EQ(model.cell(0, 0), L"Новый : 1");
    EXPECT_EQ(model.cell(0, 1), L"левый");
    EXPECT_EQ(frame->databases().registry().snapshot().at(0).info.session, L"Новый : 1");
    // A reload reads the same.
    frame->refresh_databases();
    frame->databases().wait();
    pump();
    EXPECT_EQ(model.cell(0, 0), L"Новый : 1");
    EXPECT_EQ(model.cell(0, 1), L"левый");

    select_row(true);
    ui->yes = false;
    menu(ID_DELETE_DATABASE);
    EXPECT_TRUE(fs::exists(folder));
    ui->yes = true;
    menu(ID_DELETE_DATABASE);
    // The delete runs on its worker; the list is refilled at its end.
    ASSERT_TRUE(pump_until([&] { return frame->database_pane()->GetItemCount() == 0; }));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(frame->database_pane()->GetItemCount(), 0);
    EXPECT_EQ(frame->databases().registry().size(), 0u);
}

}  // namespace
