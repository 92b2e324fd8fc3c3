#include "settings/settings_check.h"
#include <wx/string.h>
#include "settings/settings_keys.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::optional<std::wstring> check(const wchar_t* key, const std::wstring& text, const wchar_t* label = L"Поле") {
    return refuse_setting({key, label, text});
}

TEST(SettingsCheck, PortsAreWholeNumbersFrom1To65535) {
    const struct {
        const wchar_t* text;
        bool ok;
    } cases[] = {
        {L"1", true},
        {L"12600", true},
        {L" 65535 ", true},
        {L"0", false},
        {L"-5", false},
        {L"65536", false},
        {L"", false},
        {L"12 600", false},
        {L"12600a", false},
        {L"0x10", false},
        {L"99999999999999999999", false},
        {L"+80", true},
        {L"８０", false},
    };
    for (const wchar_t* key :
         {settings_keys::coordinate_server_port, settings_keys::data_service_port, settings_keys::rc_service_port})
        for (const auto& c : cases) EXPECT_EQ(!check(key, c.text).has_value(), c.ok) << key << " " << c.text;
    EXPECT_EQ(check(settings_keys::rc_service_port, L"-5", L"Удаленное управление: Порт"),
              L"Значение \"-5\" поля \"Удаленное управление: Порт\" должно быть целым числом от 1 до 65535");
}

TEST(SettingsCheck, NumberFieldsRefuseText) {
    const wchar_t* period = settings_keys::coordinate_server_query_period;
    EXPECT_FALSE(check(period, L"5"));
    EXPECT_FALSE(check(period, L"86400"));
    EXPECT_TRUE(check(period, L"0"));
    EXPECT_TRUE(check(period, L"86401"));
    EXPECT_EQ(check(period, L"abc", L"Период опроса (секунды)"),
              L"Значение \"abc\" поля \"Период опроса (секунды)\" должно быть целым числом от 1 до 86400");

    const wchar_t* scale = settings_keys::scale;
    for (const wchar_t* ok : {L"0.8", L"0,8", L" 2 ", L"1e-1"}) EXPECT_FALSE(check(scale, ok)) << ok;
    for (const wchar_t* bad : {L"0", L"-1", L"abc", L"", L"inf", L"nan", L"0x1p3", L"1.2.3"})
        EXPECT_TRUE(check(scale, bad)) << bad;
    EXPECT_EQ(check(scale, L"x", L"Масштаб линейки"),
              L"Значение \"x\" поля \"Масштаб линейки\" должно быть числом больше нуля");

    EXPECT_EQ(parse_whole_number(L" -12 "), -12);
    EXPECT_FALSE(parse_whole_number(L"-"));
    EXPECT_EQ(parse_decimal_number(L"0,25"), 0.25);
}

TEST(SettingsCheck, TheRecordingQueueTakes64To16384Megabytes) {
    const struct {
        const wchar_t* text;
        bool ok;
    } cases[] = {
        {L"480", true}, {L"64", true},    {L" 16384 ", true}, {L"63", false},     {L"16385", false},
        {L"0", false},  {L"-480", false}, {L"", false},       {L"480 МБ", false}, {L"4.8e2", false},
    };
    for (const auto& c : cases) EXPECT_EQ(!check(settings_keys::record_queue_mb, c.text).has_value(), c.ok) << c.text;
    EXPECT_EQ(check(settings_keys::record_queue_mb, L"10", L"Очередь записи, МБ"),
              L"Значение \"10\" поля \"Очередь записи, МБ\" должно быть целым числом от 64 до 16384");
}

TEST(SettingsCheck, TheDepotAndPagesFieldsRefuseWhatCouldNotWork) {
    test_support::temp_dir dir;
    const fs::path secret = dir.path() / "secret";
    std::ofstream(secret) << "key\n";
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    const fs::path shared = dir.path() / "shared";
    std::ofstream(shared) << "key\n";
    fs::permissions(shared, fs::perms::owner_read | fs::perms::group_read);
    const struct {
        const wchar_t* key;
        std::wstring text;
        bool ok;
    } cases[] = {
        {settings_keys::web_service_port, L"0", true},  // the pages off
        {settings_keys::web_service_port, L"65536", false},
        {settings_keys::depot_endpoint, L"", true},
        {settings_keys::depot_endpoint, L"http://127.0.0.1:8080", true},
        {settings_keys::depot_endpoint, L"https://depot.example/", true},
        {settings_keys::depot_endpoint, L"depot.example", false},
        {settings_keys::depot_endpoint, L"https://", false},
        {settings_keys::depot_endpoint, L"ftp://depot", false},
        {settings_keys::depot_max_kbps, L"0", true},
        {settings_keys::depot_max_kbps, L"-1", false},
        {settings_keys::depot_max_kbps, L"2 МБ", false},
        {settings_keys::depot_secret_file, L"", true},
        {settings_keys::depot_secret_file, secret.wstring(), true},
        {settings_keys::depot_secret_file, shared.wstring(), false},
        {settings_keys::depot_secret_file, (dir.path() / "none").wstring(), false},
        {settings_keys::depot_secret_file, L"secret", false},
    };
    for (const auto& c : cases) EXPECT_EQ(!check(c.key, c.text).has_value(), c.ok) << c.text;
    EXPECT_EQ(check(settings_keys::depot_secret_file, shared.wstring()),
              L"Файл ключа депо \"" + shared.wstring() + L"\" доступен не только владельцу: нужны права 0600 (chmod 600)");
}

TEST(SettingsCheck, TheRecordingFolderMustBeAFullPathThisUserCanWriteInto) {
    test_support::temp_dir dir;
    const fs::path plain = dir.path() / "a file";
    std::ofstream(plain) << "x";
    const fs::path locked = dir.path() / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const bool root = ::geteuid() == 0;  // root writes anywhere: the lock means nothing then

    const wchar_t* key = settings_keys::write_path;
    EXPECT_FALSE(check(key, dir.path().wstring()));
    EXPECT_FALSE(check(key, wxString::FromUTF8((dir.path() / "new" / "записи").string()).ToStdWstring()))
        << "created at the first recording";
    EXPECT_EQ(check(key, L"  ", L"Каталог"), L"Не указан каталог для записи (поле \"Каталог\")");
    EXPECT_EQ(check(key, L"records"),
              L"Каталог для записи \"records\" должен быть указан полным путем, от корня (\"/\")");
    EXPECT_EQ(check(key, plain.wstring()), L"\"" + plain.wstring() + L"\" не является каталогом");
    EXPECT_TRUE(check(key, (plain / "below").wstring()));
    if (!root) {
        EXPECT_EQ(check(key, locked.wstring()), L"Нет права записи в каталог \"" + locked.wstring() + L"\"");
        EXPECT_EQ(check(key, (locked / "new").wstring()),
                  L"Каталог \"" + (locked / "new").wstring() + L"\" не существует и не может быть создан");
    }
    fs::permissions(locked, fs::perms::owner_all);
}

TEST(SettingsCheck, TheFirstRefusedFieldInDialogOrderWinsAndOtherKeysPass) {
    test_support::temp_dir dir;
    EXPECT_FALSE(check(settings_keys::dpp_port, L"/dev/ttyUSB0"));
    EXPECT_TRUE(check(settings_keys::dpp_port, L" "));
    EXPECT_FALSE(check(settings_keys::coordinate_server_address, L""));
    EXPECT_FALSE(check(settings_keys::side, L"anything"));

    const std::vector<setting_text> values{
        {settings_keys::write_path, L"Каталог", dir.path().wstring()},
        {settings_keys::coordinate_server_port, L"Сервер координат: Порт", L"x"},
        {settings_keys::data_service_port, L"Служба доступа к данным: Порт", L"0"},
    };
    const auto first = first_refused_setting(values);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->key, settings_keys::coordinate_server_port);
    EXPECT_FALSE(first_refused_setting({values[0]}));
}

}  // namespace

// What the dialog shows must read back as the same number when the operator only presses
// "ОК": the comma it writes is one the parser takes.
TEST(decimal_text, writes_a_decimal_comma_that_reads_back_the_same_number) {
    EXPECT_EQ(decimal_text(0.8), L"0,8");
    EXPECT_EQ(decimal_text(12), L"12");
    for (double value : {0.8, 0.5, 1.25, 0.0625, 1234.5, 1e-7})
        EXPECT_EQ(parse_decimal_number(decimal_text(value)), value) << value;
}
