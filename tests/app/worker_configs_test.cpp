#include "app/worker_configs.h"
#include "settings/settings_keys.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

namespace {

TEST(WorkerConfigs, ReadTheStoreOrFallBackToTheDefaults) {
    test_support::temp_dir dir;
    auto settings = std::make_shared<settings_store>(wxString((dir.path() / ".quillmar").wstring()));
    settings->write_text(settings_keys::write_path, wxString(L"/data/записи"));
    settings->write_bool(settings_keys::rotate180, true);
    EXPECT_EQ(write_path_from(settings), L"/data/записи");
    EXPECT_TRUE(capture_config_from(settings).rotate180);

    auto empty = std::make_shared<settings_store>(wxString((dir.path() / "none").wstring()));
    for (const settings_ptr& none : {empty, settings_ptr()}) {
        EXPECT_EQ(write_path_from(none), settings_defaults::write_path().ToStdWstring());
        EXPECT_EQ(capture_config_from(none).rotate180, settings_defaults::rotate180);
        EXPECT_EQ(capture_config_from(none).recording_queue_bytes, std::size_t{480} << 20);
    }
}

// The queue's bound in MiB; a file edited by hand gets the nearest limit or the default.
TEST(WorkerConfigs, TheRecordingQueueBoundIsReadInMegabytes) {
    test_support::temp_dir dir;
    const struct {
        const wchar_t* stored;
        std::size_t mb;
    } cases[] = {{L"1024", 1024}, {L"64", 64}, {L"10", 64}, {L"-5", 64}, {L"999999", 16384}, {L"много", 480}};
    for (const auto& c : cases) {
        auto settings = std::make_shared<settings_store>(wxString((dir.path() / ".quillmar").wstring()));
        settings->write_text(settings_keys::record_queue_mb, c.stored);
        EXPECT_EQ(capture_config_from(settings).recording_queue_bytes, c.mb << 20) << wxString(c.stored);
    }
}

}  // namespace
