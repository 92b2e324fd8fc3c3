#include "recording/write_thread_settings.h"

#include "camera/frame_buffer.h"
#include "database/database_layout.h"
#include "database/database_reader.h"
#include "base/ldb_info.h"
#include "base/locale_text.h"
#include "recording/odometer_protocol.h"
#include "tools/support/pseudo_terminal.h"
#include "settings/settings_keys.h"
#include "tests/database/db_test_util.h"
#include "tests/support/fault_injection_env.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using fs_path = std::filesystem::path;

namespace {

class WriteThread : public ::testing::Test {
protected:
    WriteThread() : settings(std::make_shared<settings_store>((dir.path() / ".quillmar").wstring())) {
        settings->write_text(settings_keys::dpp_port, wxString::FromUTF8(line.device_path()));
        settings->write_text(settings_keys::dpp_format, L"ДПП4");
        settings->write_bool(settings_keys::coordinate_server_enabled, false);
        // Not ASCII: the folders must be made in the locale's multibyte form.
        settings->write_text(settings_keys::write_path, to_wide((dir.path() / "запись" / "здесь").string()));
        settings->write_text(settings_keys::side, L"правый");
        fb.width = 16;
        fb.height = 8;
        fb.image.assign(128, 0);
    }

    // A frame from the camera, as the capture thread hands it to the recording.
    void new_frame(std::uint64_t stamp) {
        std::fill(fb.image.begin(), fb.image.end(), static_cast<std::uint8_t>(stamp));
        deliver(stamp);
    }
    void deliver(std::uint64_t stamp) {
        queue.push_frame(fb.image.data(), fb.image.size(),
                         frame_geometry{fb.width, fb.height, fb.pixel_format, fb.bits_per_pixel}, stamp);
    }

    // A message from the odometer once the write thread has opened its port: what the line
    // held before the open is discarded.
    void send(std::uint32_t count) {
        ASSERT_TRUE(sink->wait_for([](const thread_message& m) {
            return kind_of(m) == thread_event::log_info && text_of(m).rfind(L"Последовательный порт: ", 0) == 0;
        })) << "the port was never opened";
        const auto m = encode_odometer4(count);
        ASSERT_TRUE(line.write(m.data(), m.size()));
    }

    // The texts of the record_status messages that say the recording ended.
    std::vector<std::wstring> stopped_texts() const {
        std::vector<std::wstring> out;
        for (const auto& m : sink->messages())
            if (const auto* r = std::get_if<record_status_message>(&m); r && r->news == recording_news::stopped)
                out.push_back(r->text);
        return out;
    }

    std::vector<std::wstring> reported_databases() const { return sink->texts(thread_event::database_info); }

    bool wait_status(const std::wstring& text) {
        return sink->wait_for(
            [&](const thread_message& m) { return kind_of(m) == thread_event::record_status && text_of(m) == text; });
    }

    // The database recorded into, as the window's live recording: it outlives the threads.
    write_thread_tuning into_live() {
        write_thread_tuning tuning;
        tuning.database = &live;
        return tuning;
    }

    test_support::temp_dir dir{"qm-wt"};
    pseudo_terminal line;
    settings_ptr settings;
    frame_buffer fb;  // the geometry and bytes of the frames delivered
    recording_queue queue;
    std::shared_ptr<test_support::recording_sink> sink = std::make_shared<test_support::recording_sink>();
    recording_database live;
};

}  // namespace

TEST_F(WriteThread, RecordsOdometerMessagesAndReportsTheDatabaseAtStop) {
    write_thread wt(sink, write_thread_config_from(*settings), "", &queue);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "запись" / "здесь"));
    ASSERT_TRUE(sink->wait_for_kind(thread_event::log_info));
    EXPECT_EQ(sink->texts(thread_event::log_info).front(),
              L"Последовательный порт: " + wxString::FromUTF8(line.device_path()).ToStdWstring());

    new_frame(1);
    send(100);
    ASSERT_TRUE(wait_status(L"ДПП[4]: 100 Записано кадров: 1"));
    send(101);  // no new frame
    ASSERT_TRUE(wait_status(L"ДПП[4]: 101 Записано кадров: 1"));
    new_frame(2);
    send(105);
    ASSERT_TRUE(wait_status(L"ДПП[4]: 105 Записано кадров: 2"));
    wt.set_session_code("77 : z");
    EXPECT_EQ(wt.session_code(), "77 : z");
    wt.stop();
    EXPECT_EQ(wt.wait(), 0);

    std::vector<thread_message> reports;
    for (auto& m : sink->messages())
        if (kind_of(m) == thread_event::database_info) reports.push_back(m);
    ASSERT_EQ(reports.size(), 1u);
    const auto info = std::get<database_info_message>(reports[0]).summary;
    EXPECT_EQ(info.session, L"77 : z");
    EXPECT_EQ(info.side, L"правый");
    EXPECT_EQ(info.count, 2u);
    EXPECT_EQ(info.dpp_start, 100u);
    EXPECT_EQ(info.dpp_end, 105u);

    database_reader reader(text_of(reports[0]));
    EXPECT_EQ(reader.session(), L"77 : z");
    EXPECT_EQ(reader.side(), L"правый");
    EXPECT_EQ(reader.count(), 2u);
    EXPECT_EQ(reader.read_frame(101).cols, 16);  // the frame stored at 105
    // "Размер" at Stop is what a reload will read.
    EXPECT_EQ(info.size, reader.summary().size);
    EXPECT_TRUE(sink->texts(thread_event::log_error).empty());
    EXPECT_TRUE(stopped_texts().empty());  // an orderly stop is no news
}

// Frames big enough to span several table blocks: the size measured on the open handle
// would leave out what is still in LevelDB's log.
TEST_F(WriteThread, TheSizeReportedAtStopIsTheSizeAReloadReads) {
    fb.width = 320;
    fb.height = 240;
    fb.image.assign(320 * 240, 0);
    std::uint32_t noise = 12345;
    {
        write_thread wt(sink, write_thread_config_from(*settings), "", &queue);
        for (std::uint32_t c = 1; c <= 8; ++c) {
            for (auto& b : fb.image) b = static_cast<std::uint8_t>((noise = noise * 1103515245 + 12345) >> 24);
            deliver(100 + c);
            send(c);
            ASSERT_TRUE(wait_status(L"ДПП[4]: " + std::to_wstring(c) + L" Записано кадров: " + std::to_wstring(c)));
        }
    }
    ASSERT_EQ(reported_databases().size(), 1u);
    const auto reports = sink->messages();
    const auto it = std::find_if(reports.begin(), reports.end(),
                                 [](const thread_message& m) { return kind_of(m) == thread_event::database_info; });
    const std::uint64_t at_stop = std::get<database_info_message>(*it).summary.size;
    EXPECT_GT(at_stop, 100000u);
    EXPECT_EQ(at_stop, database_reader(reported_databases()[0]).summary().size);
}

TEST_F(WriteThread, ABackwardsCountListsTheClosedDatabaseAtOnce) {
    write_thread wt(sink, write_thread_config_from(*settings), "", &queue, into_live());
    new_frame(1);
    send(50);
    ASSERT_TRUE(wait_status(L"ДПП[4]: 50 Записано кадров: 1"));
    const std::wstring first = live.path();
    new_frame(2);
    send(10);
    ASSERT_TRUE(wait_status(L"ДПП[4]: 10 Записано кадров: 1"));
    EXPECT_EQ(reported_databases(), std::vector<std::wstring>{first});
    wt.stop();
    wt.wait();
    ASSERT_EQ(reported_databases().size(), 2u);
    EXPECT_NE(reported_databases()[1], first);
}

// Every way the recording ends by itself says so once, and the thread ends; capture is not
// the write thread's to stop.
TEST_F(WriteThread, ARecordingThatEndsByItselfSaysWhyAndEndsTheThread) {
    {
        SCOPED_TRACE("the disk guard");
        write_thread_tuning tuning;
        tuning.free_space = [] { return std::optional<disk_space>(disk_space{100ull << 30, 1ull << 20}); };
        write_thread wt(sink, write_thread_config_from(*settings), "", &queue, tuning);
        new_frame(1);
        send(5);
        EXPECT_EQ(wt.wait(), -1);  // no stop() asked
        ASSERT_EQ(stopped_texts().size(), 1u);
        EXPECT_EQ(stopped_texts()[0].rfind(L"Запись остановлена: мало места на диске", 0), 0u) << stopped_texts()[0];
    }
    {
        SCOPED_TRACE("a database that cannot be opened");
        sink = std::make_shared<test_support::recording_sink>();
        const auto file = dir.path() / "a-file";
        std::ofstream(file) << "x";
        settings->write_text(settings_keys::write_path, to_wide(file.string()));
        write_thread wt(sink, write_thread_config_from(*settings), "", &queue);
        new_frame(2);
        send(6);
        EXPECT_EQ(wt.wait(), -1);
        ASSERT_EQ(stopped_texts().size(), 1u);
        EXPECT_EQ(stopped_texts()[0].rfind(L"Запись остановлена: ", 0), 0u);
        EXPECT_EQ(sink->texts(thread_event::log_error).size(), 1u);
    }
}

// An adapter pulled and plugged in again: the device name (a udev link here) comes back on
// another pseudo-terminal. Recording goes on in the same database.
TEST_F(WriteThread, ALostOdometerLineIsReopenedAndRecordingGoesOnInTheSameDatabase) {
    const auto link = dir.path() / "ttyUSB0";
    std::filesystem::create_symlink(line.device_path(), link);
    settings->write_text(settings_keys::dpp_port, to_wide(link.string()));
    const std::wstring port = to_wide(link.string());
    write_thread wt(sink, write_thread_config_from(*settings), "", &queue, into_live());
    new_frame(1);
    send(100);
    ASSERT_TRUE(wait_status(L"ДПП[4]: 100 Записано кадров: 1"));
    const std::wstring database = live.path();

    // The name goes first, as when udev removes it: a pty number freed by the close may be
    // taken by another program at once, and the name must not lead there.
    const auto point_link_at = [&](const fs_path& target) {
        const auto fresh = dir.path() / "ttyUSB0.new";
        std::filesystem::create_symlink(target, fresh);
        std::filesystem::rename(fresh, link);
    };
    point_link_at(dir.path() / "unplugged");
    line.close_master();
    line.close_slave();
    ASSERT_TRUE(sink->wait_for([](const thread_message& m) {
        const auto* r = std::get_if<record_status_message>(&m);
        return r && r->news == recording_news::odometer_lost;
    }));
    const auto errors = sink->texts(thread_event::log_error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(L"Потеряна связь с ДПП: последовательный порт " + port + L": ", 0), 0u) << errors[0];
    std::this_thread::sleep_for(2500ms);  // a few reopen attempts fail quietly
    EXPECT_EQ(sink->texts(thread_event::log_error).size(), 1u);

    pseudo_terminal again;
    point_link_at(again.device_path());
    new_frame(2);
    // Sent until the reopened line takes it (the reopen comes within a second).
    bool back = false;
    for (std::uint32_t c = 120; c < 170 && !back; ++c) {
        const auto message = encode_odometer4(c);
        ASSERT_TRUE(again.write(message.data(), message.size()));
        back = sink->wait_for(
            [](const thread_message& x) {
                const auto* r = std::get_if<record_status_message>(&x);
                return r && r->news == recording_news::step && r->count >= 120;
            },
            200ms);
    }
    ASSERT_TRUE(back);
    std::this_thread::sleep_for(500ms);  // whatever the line buffered is read by now
    EXPECT_EQ(live.path(), database);
    EXPECT_EQ(live.frame_count(), 2u);
    const auto infos = sink->texts(thread_event::log_info);
    EXPECT_EQ(std::count(infos.begin(), infos.end(), L"Сообщения ДПП снова поступают: последовательный порт " + port),
              1);
    EXPECT_EQ(sink->texts(thread_event::log_error).size(), 1u);

    // A count that went backwards still splits.
    const auto m = encode_odometer4(90);
    new_frame(3);
    ASSERT_TRUE(again.write(m.data(), m.size()));
    ASSERT_TRUE(wait_status(L"ДПП[4]: 90 Записано кадров: 1")) << [&] {
        std::string all;
        for (const auto& t : sink->texts(thread_event::record_status)) all += wxString(t).utf8_string() + "\n";
        for (const auto& t : sink->texts(thread_event::log_error)) all += wxString(t).utf8_string() + "\n";
        return all;
    }();
    EXPECT_EQ(reported_databases(), std::vector<std::wstring>{database});
    EXPECT_TRUE(stopped_texts().empty());
}

TEST_F(WriteThread, StoppingWithoutStoredFramesReportsNothing) {
    {
        write_thread wt(sink, write_thread_config_from(*settings), "", &queue, into_live());
        send(3);  // time stamp 0: a database opens, nothing is stored
        ASSERT_TRUE(wait_status(L"ДПП[4]: 3 Записано кадров: 0"));
    }  // the destructor stops and joins
    for (auto& m : sink->messages()) EXPECT_NE(kind_of(m), thread_event::database_info);
    EXPECT_FALSE(live.is_open());
}

TEST_F(WriteThread, APortThatCannotBeOpenedEndsTheThreadAndSaysWhichPortAndWhy) {
    settings->write_text(settings_keys::dpp_port, L"/nonexistent/ttyS0");
    write_thread wt(sink, write_thread_config_from(*settings), "", &queue);
    EXPECT_EQ(wt.wait(), -1);
    EXPECT_EQ(sink->texts(thread_event::log_error),
              std::vector<std::wstring>{
                  L"Не удалось открыть последовательный порт: /nonexistent/ttyS0: нет такого файла или устройства"});
    EXPECT_TRUE(sink->texts(thread_event::log_info).empty());
    EXPECT_EQ(stopped_texts(),
              std::vector<std::wstring>{L"Запись остановлена: не удалось открыть порт ДПП /nonexistent/ttyS0"});
}

TEST_F(WriteThread, FormatSevenIgnoresFormatFourMessages) {
    settings->write_text(settings_keys::dpp_format, L"ДПП7");
    write_thread wt(sink, write_thread_config_from(*settings), "", &queue);
    send(9);
    const auto m = encode_odometer7(10);
    ASSERT_TRUE(line.write(m.data(), m.size()));
    ASSERT_TRUE(wait_status(L"ДПП[7]: 10 Записано кадров: 0"));
    EXPECT_EQ(sink->texts(thread_event::record_status).size(), 1u);
}

// An unresolvable coordinate server ends the thread; what was recorded is still closed
// and reported rather than left open for the next write thread to continue.
TEST_F(WriteThread, AnUnresolvableCoordinateServerEndsTheThreadButClosesTheDatabase) {
    settings->write_bool(settings_keys::coordinate_server_enabled, true);
    settings->write_text(settings_keys::coordinate_server_port, L"no-such-service-name");
    new_frame(1);
    const auto early = encode_odometer4(1);
    ASSERT_TRUE(line.write(early.data(), early.size()));  // in the line before the port is opened
    write_thread wt(sink, write_thread_config_from(*settings), "", &queue, into_live());
    EXPECT_EQ(wt.wait(), -1);
    EXPECT_EQ(sink->texts(thread_event::log_error), std::vector<std::wstring>{L"CoordServer resolve error"});
    EXPECT_EQ(stopped_texts(), std::vector<std::wstring>{L"Запись остановлена: CoordServer resolve error"});
    EXPECT_FALSE(live.is_open());
}

TEST_F(WriteThread, TheFactoryMakesARunningRecorder) {
    auto r = write_thread_factory(settings)(sink, "5 : 6", &queue);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->session_code(), "5 : 6");
    ASSERT_TRUE(sink->wait_for_kind(thread_event::log_info));
    r.reset();  // stops and joins
}

TEST_F(WriteThread, ASilentOdometerIsReportedOnceAndItsReturnOnce) {
    write_thread_tuning tuning;
    tuning.odometer_silence = 300ms;
    write_thread wt(sink, write_thread_config_from(*settings), "", &queue, tuning);
    const std::wstring port = wxString::FromUTF8(line.device_path()).ToStdWstring();
    const std::wstring warning = L"Нет сообщений ДПП 0.3 с: последовательный порт " + port;
    ASSERT_TRUE(sink->wait_for(
        [&](const thread_message& m) { return kind_of(m) == thread_event::log_error && text_of(m) == warning; }, 5s));
    EXPECT_TRUE(wait_status(L"Нет сообщений ДПП: " + port));
    std::this_thread::sleep_for(800ms);  // the silence lasts: no second row
    EXPECT_EQ(sink->texts(thread_event::log_error).size(), 1u);

    send(7);
    ASSERT_TRUE(wait_status(L"ДПП[4]: 7 Записано кадров: 0"));
    const auto infos = sink->texts(thread_event::log_info);
    EXPECT_EQ(std::count(infos.begin(), infos.end(), L"Сообщения ДПП снова поступают: последовательный порт " + port),
              1);
    // While messages keep coming, nothing is said.
    for (std::uint32_t c = 8; c < 14; ++c) {
        send(c);
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(sink->texts(thread_event::log_error).size(), 1u);
}

// The session-code command runs on the GUI thread; the close it causes must run on the
// write thread's loop, never stalling the window on LevelDB.
TEST_F(WriteThread, ASessionChangeFromAnotherThreadRunsOnTheLoop) {
    struct thread_sink : event_sink {
        void post(thread_message m) override {
            std::lock_guard<std::mutex> lock(mutex);
            if (kind_of(m) == thread_event::log_info) posters[text_of(m)] = std::this_thread::get_id();
            inner->post(std::move(m));
        }
        std::shared_ptr<test_support::recording_sink> inner;
        std::mutex mutex;  // guards posters
        std::map<std::wstring, std::thread::id> posters;
    };
    auto spy = std::make_shared<thread_sink>();
    spy->inner = sink;
    write_thread wt(spy, write_thread_config_from(*settings), "1 : a", &queue, into_live());
    new_frame(1);
    send(10);
    ASSERT_TRUE(wait_status(L"ДПП[4]: 10 Записано кадров: 1"));
    const std::wstring first = live.path();
    wt.set_session_code("2 : b");
    EXPECT_EQ(wt.session_code(), "2 : b");  // at once, though the loop applies it later
    ASSERT_TRUE(sink->wait_for([](const thread_message& m) {
        return kind_of(m) == thread_event::log_info && text_of(m) == L"Начат новый сеанс (код: 2 : b)";
    }));
    {
        std::lock_guard<std::mutex> lock(spy->mutex);
        EXPECT_NE(spy->posters.at(L"Начат новый сеанс (код: 2 : b)"), std::this_thread::get_id());
    }
    new_frame(2);
    send(11);
    ASSERT_TRUE(wait_status(L"ДПП[4]: 11 Записано кадров: 1"));
    EXPECT_NE(live.path(), first);
    // A code asked for just before the stop is still applied, before the final close: the
    // database of "2 : b" is closed under that code as a session change closes it.
    const std::wstring second = live.path();
    wt.set_session_code("3 : c");
    wt.stop();
    EXPECT_EQ(wt.wait(), 0);
    EXPECT_EQ(wt.session_code(), "3 : c");
    EXPECT_FALSE(live.is_open());
    // Each session change closed a database and listed it at once.
    EXPECT_EQ(reported_databases(), (std::vector<std::wstring>{first, second}));
    EXPECT_EQ(database_reader(second).session(), L"2 : b");
    database_reader old(first);
    EXPECT_EQ(old.session(), L"1 : a");
}

// A train that stops: the odometer goes quiet after the last step. The frames the sync policy
// left unsynced are synced by the loop's timer without a further message, so a power cut
// then loses nothing (the close at stop comes after the cut and is lost with the power).
TEST_F(WriteThread, APowerCutAfterTheOdometerWentQuietLosesNoFrame) {
    test_support::fault_injection_env fault;
    recording_database_options options;
    options.env = &fault;
    options.sync_interval = 200ms;
    recording_database db(options);
    write_thread_tuning tuning;
    tuning.database = &db;
    std::wstring path;
    {
        write_thread wt(sink, write_thread_config_from(*settings), "77 : z", &queue, tuning);
        for (std::uint32_t i = 0; i < 6; ++i) {
            new_frame(i + 1);
            send(100 + i);
            ASSERT_TRUE(
                wait_status(L"ДПП[4]: " + std::to_wstring(100 + i) + L" Записано кадров: " + std::to_wstring(i + 1)));
        }
        path = db.path();  // set at the open, before the first status
        const std::uint64_t synced_before_quiet = db.synced_writes();
        bool synced = false;
        for (auto end = std::chrono::steady_clock::now() + 10s; !synced && std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(20ms);
            synced = db.synced_writes() > synced_before_quiet;
        }
        ASSERT_TRUE(synced) << "writes still wait for a sync while the odometer is quiet";
        fault.power_off();
    }
    fault.restore_after_cut();
    std::vector<std::string> frames;
    for (const auto& [key, value] : db_test::all_keys(to_narrow(path)))
        if (is_frame_key(key)) frames.push_back(key);
    std::vector<std::string> expected;
    for (std::uint32_t i = 0; i < 6; ++i) expected.push_back(make_frame_key(100 + i));
    EXPECT_EQ(frames, expected);
    database_reader reader(path);
    EXPECT_EQ(reader.summary().count, 6u);  // no "count": the close was cut off
    EXPECT_EQ(reader.session(), L"77 : z");
}

namespace {

std::multiset<std::string> thread_names() {
    std::multiset<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        names.insert(name);
    }
    return names;
}

}  // namespace

// top -H, perf and stack dumps tell the recording's threads apart; none it starts is unnamed.
TEST_F(WriteThread, EveryThreadItStartsIsNamed) {
    const auto before = thread_names();
    write_thread wt(sink, write_thread_config_from(*settings), "", &queue);
    new_frame(1);
    send(1);
    ASSERT_TRUE(wait_status(L"ДПП[4]: 1 Записано кадров: 1"));
    auto during = thread_names();
    // LevelDB's own thread, made from qm-store, carries its name until its first job.
    for (const auto& name : {"qm-odometer", "qm-pair", "qm-store", "qm-encode-1"})
        EXPECT_GE(during.count(name), 1u) << name;
    for (const auto& name : before)
        if (auto it = during.find(name); it != during.end()) during.erase(it);
    for (const auto& name : during) EXPECT_EQ(name.rfind("qm-", 0), 0u) << name;
}
