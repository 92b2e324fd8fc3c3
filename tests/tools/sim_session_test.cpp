// End to end: the write thread polls quillmar-coordserver-sim and records odometer messages
// from a pseudo-terminal; the server's answers decide where one database ends and the next
// begins.
#include "camera/frame_buffer.h"
#include "database/database_reader.h"
#include "base/ldb_info.h"
#include "base/locale_text.h"
#include "recording/odometer_protocol.h"
#include "tools/support/pseudo_terminal.h"
#include "recording/write_thread_settings.h"
#include "settings/settings_keys.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_home.h"
#include "tests/tools/sim_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

bool has_text(const test_support::recording_sink& sink, thread_event kind, const std::wstring& text) {
    return sink.wait_for([&](const thread_message& m) { return kind_of(m) == kind && text_of(m) == text; });
}

}  // namespace

TEST(CoordServerSession, ServerCodesSplitTheRecordingIntoDatabases) {
    test_support::temp_dir dir("qm-coord-rec");
    const std::string script = dir.str() + "/texts";
    std::ofstream(script) << "12\nab\n";
    sim_test::child_process server(sim_test::tool_path("quillmar-coordserver-sim"),
                                   {"--script", script, "--seconds", "30"});
    const auto port = server.read_line();
    ASSERT_TRUE(port);

    pseudo_terminal line;
    auto settings = std::make_shared<settings_store>((dir.path() / ".quillmar").wstring());
    settings->write_text(settings_keys::dpp_port, wxString::FromUTF8(line.device_path()));
    settings->write_text(settings_keys::dpp_format, L"ДПП4");
    settings->write_text(settings_keys::coordinate_server_port, wxString::FromUTF8(*port));
    // 0 would poll without pause; the write thread keeps at least one second.
    settings->write_long(settings_keys::coordinate_server_query_period, 0);
    settings->write_text(settings_keys::write_path, to_wide((dir.path() / "write").string()));
    frame_buffer fb;
    fb.width = 16;
    fb.height = 8;
    fb.image.assign(128, 0);
    auto sink = std::make_shared<test_support::recording_sink>();
    recording_queue queue;
    auto new_frame = [&](std::uint64_t stamp) {
        std::fill(fb.image.begin(), fb.image.end(), static_cast<std::uint8_t>(stamp));
        queue.push_frame(fb.image.data(), fb.image.size(), frame_geometry{fb.width, fb.height, 0, 8}, stamp);
    };
    auto send = [&](std::uint32_t count) {
        // Only once the port is open: what the line held before is discarded.
        ASSERT_TRUE(has_text(*sink, thread_event::log_info, L"Последовательный порт: " + to_wide(line.device_path())));
        const auto m = encode_odometer4(count);
        ASSERT_TRUE(line.write(m.data(), m.size()));
    };

    write_thread wt(sink, write_thread_config_from(*settings), "", &queue);
    new_frame(1);
    send(100);
    ASSERT_TRUE(has_text(*sink, thread_event::record_status, L"ДПП[4]: 100 Записано кадров: 1"));
    // The first answer names the session; the database recorded without a code stays open.
    ASSERT_TRUE(has_text(*sink, thread_event::log_info, L"Начат новый сеанс (код: 12 : ab)"));
    // The row is posted just before the code is taken over.
    for (int i = 0; i < 100 && wt.session_code() != "12 : ab"; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(wt.session_code(), "12 : ab");
    new_frame(2);
    send(101);
    ASSERT_TRUE(has_text(*sink, thread_event::record_status, L"ДПП[4]: 101 Записано кадров: 2"));
    // A new code from the server closes it; the next message starts a database of its own.
    std::ofstream(script) << "13\nab\n";
    ASSERT_TRUE(has_text(*sink, thread_event::log_info, L"Начат новый сеанс (код: 13 : ab)"));
    new_frame(3);
    send(102);
    ASSERT_TRUE(has_text(*sink, thread_event::record_status, L"ДПП[4]: 102 Записано кадров: 1"));
    wt.stop();
    EXPECT_EQ(wt.wait(), 0);

    const auto infos = sink->texts(thread_event::log_info);
    EXPECT_EQ(std::count(infos.begin(), infos.end(), L"Адрес сервера координат определён."), 1);
    EXPECT_EQ(std::count(infos.begin(), infos.end(), L"Соединение с сервером координат установлено."), 1);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());

    std::vector<thread_message> reports;
    for (auto& m : sink->messages())
        if (kind_of(m) == thread_event::database_info) reports.push_back(m);
    // The database the server's new code closed is reported at once, the last one at the end.
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(std::get<database_info_message>(reports[0]).summary.session, L"12 : ab");
    reports.erase(reports.begin());
    const auto last = std::get<database_info_message>(reports[0]).summary;
    EXPECT_EQ(last.session, L"13 : ab");
    EXPECT_EQ(last.dpp_start, 102u);
    EXPECT_EQ(last.count, 1u);

    std::vector<std::filesystem::path> folders;
    for (auto& e : std::filesystem::directory_iterator(dir.path() / "write")) folders.push_back(e.path());
    ASSERT_EQ(folders.size(), 2u);
    for (const auto& folder : folders) {
        if (to_wide(folder.string()) == text_of(reports[0])) continue;
        database_reader first(to_wide(folder.string()));
        EXPECT_EQ(first.session(), L"12 : ab");  // closed under the code it was recorded under
        EXPECT_EQ(first.count(), 2u);
        EXPECT_EQ(first.dpp_start(), 100u);
        EXPECT_EQ(first.dpp_end(), 101u);
    }
    // The session took two answers over a few seconds, not a tight polling loop.
    int answers = 0;
    while (server.read_line(200ms)) ++answers;
    EXPECT_LE(answers, 12);
}
