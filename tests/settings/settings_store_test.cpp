#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(SettingsStore, MissingFileGivesDefaultsAndFlushWritesUtf8Values) {
    test_support::temp_dir dir;
    const auto file = dir.path() / ".quillmar";
    {
        settings_store store(wxString(file.string()));
        EXPECT_EQ(store.read_text(settings_keys::side, settings_defaults::side), L"левый");
        EXPECT_EQ(store.read_long(settings_keys::coordinate_server_query_period, 5), 5);
        EXPECT_DOUBLE_EQ(store.read_double(settings_keys::scale, settings_defaults::scale), 0.8);
        EXPECT_TRUE(store.read_bool(settings_keys::show_scale, true));
        EXPECT_FALSE(std::filesystem::exists(file));

        store.write_text(settings_keys::side, L"правый");
        store.write_bool(settings_keys::rotate180, true);
        store.write_double(settings_keys::scale, 0.8);
        store.write_text(settings_keys::dpp_format, L"ДПП4");
        ASSERT_TRUE(store.flush());
    }
    const std::string text = read_file(file);
    EXPECT_NE(text.find("side=правый\n"), std::string::npos) << text;
    EXPECT_NE(text.find("rotate180=1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("scale=0.8\n"), std::string::npos) << text;
    EXPECT_NE(text.find("dpp_format=ДПП4\n"), std::string::npos) << text;

    settings_store again(wxString(file.string()));
    EXPECT_EQ(again.read_text(settings_keys::side, settings_defaults::side), L"правый");
    EXPECT_TRUE(again.read_bool(settings_keys::rotate180, false));
}

TEST(SettingsStore, TextsComeBackAsWrittenWithoutEnvironmentExpansion) {
    test_support::temp_dir dir;
    const wxString file((dir.path() / ".quillmar").string());
    const wxString path = L"/data/$HOME/${USER}/записи";
    const wxString port = L"\\$COM1";
    {
        settings_store store(file);
        store.write_text(settings_keys::write_path, path);
        store.write_text(settings_keys::dpp_port, port);
        EXPECT_EQ(store.read_text(settings_keys::write_path, L""), path);
    }
    settings_store again(file);
    EXPECT_EQ(again.read_text(settings_keys::write_path, L""), path);
    EXPECT_EQ(again.read_text(settings_keys::dpp_port, L""), port);
}

TEST(SettingsStore, PendingChangesReachTheFileWhenTheStoreIsDeleted) {
    test_support::temp_dir dir;
    const auto file = dir.path() / ".quillmar";
    {
        settings_store store(wxString(file.string()));
        store.write_text(settings_keys::exposure_mode, L"Timed");
    }
    EXPECT_NE(read_file(file).find("exposure_mode=Timed"), std::string::npos);
}

TEST(SettingsStore, ConcurrentReadersAndWritersAreSerialized) {
    test_support::temp_dir dir;
    settings_store store(wxString((dir.path() / ".quillmar").string()));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < 500; ++i) {
                store.write_long(wxString::Format("k%d", t), i);
                EXPECT_EQ(store.read_text(settings_keys::side, L"левый"), L"левый");
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(store.read_long(wxString::Format("k%d", t), -1), 499);
}

}  // namespace

namespace {

TEST(SettingsStore, ALineThatIsNotUtf8CostsNoOtherKeyIsReportedAndIsWrittenBackUnchanged) {
    test_support::temp_dir dir;
    const auto file = dir.path() / ".quillmar";
    std::ofstream(file, std::ios::binary) << "dpp_port=COM3\nside=\xff\xfe\nwrite_path=/data/записи\n";
    {
        settings_store store(wxString(file.string()));
        EXPECT_EQ(store.read_text(settings_keys::dpp_port, L"COM1"), L"COM3");
        EXPECT_EQ(store.read_text(settings_keys::write_path, L""), L"/data/записи");
        ASSERT_EQ(store.load_errors().size(), 1u);
        EXPECT_EQ(store.load_errors()[0],
                  wxString(L"Строка 2 файла настроек ") + file.string() + L" не в кодировке UTF-8: side=\\xFF\\xFE");
        EXPECT_TRUE(store.damaged(settings_keys::side));
        EXPECT_FALSE(store.damaged(settings_keys::dpp_port));
        store.write_text(settings_keys::dpp_port, L"COM4");
        ASSERT_TRUE(store.flush());
    }
    EXPECT_EQ(read_file(file), "dpp_port=COM4\nside=\xff\xfe\nwrite_path=/data/записи\n");
    settings_store clean(wxString(file.string()));
    EXPECT_EQ(clean.load_errors().size(), 1u);
}

}  // namespace
