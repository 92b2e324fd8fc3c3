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
    }
}

}  // namespace
