// Archiving and deleting a database on the maintenance worker, with a plain frame standing in
// for the main window: the window stays live, the progress window cancels, the end is logged.
#include "app/maintenance_jobs.h"
#include "app/maintenance_prompts.h"
#include "app/maintenance_worker.h"
#include "base/thread_name.h"
#include "database/database_registry.h"
#include "database/recording_database.h"
#include "tests/support/random_file.h"
#include "tests/database/db_test_util.h"
#include "tests/support/event_loop.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include <wx/frame.h>
#include <wx/gauge.h>

// Failures show the texts, not the bytes.
void PrintTo(const maintenance_report& report, std::ostream* out) {
    *out << "{message \"" << wxString(report.message).utf8_string() << "\", error \""
         << wxString(report.error).utf8_string() << "\", info \"" << wxString(report.info).utf8_string() << "\"}";
}

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// The real prompts (progress window, busy window) with the dialogs answered and the rows kept.
struct answered_prompts : maintenance_prompts {
    using maintenance_prompts::maintenance_prompts;
    std::optional<std::wstring> path;
    std::vector<std::wstring> rows, messages;
    int asked = 0;
    bool confirm(const std::wstring&, const std::wstring&) override { return ++asked, true; }
    std::optional<std::wstring> choose_archive_path(const std::wstring&) override { return ++asked, path; }
    void message(const std::wstring& text) override { messages.push_back(text); }
    void log_error(const std::wstring& text) override { rows.push_back(L"red:" + text); }
    void log_info(const std::wstring& text) override { rows.push_back(L"blue:" + text); }
};

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string narrow(const std::wstring& text) { return wxString(text).utf8_string(); }

std::vector<fs::path> entries_of(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename());
    return out;
}

class maintenance_jobs_test : public ::testing::Test {
protected:
    test_support::temp_dir dir;
    fs::path out = dir.path() / "out";
    fs::path folder = dir.path() / "2024.05.01 12.30.45";
    database_registry registry;
    wxFrame* window = nullptr;
    answered_prompts* ui = nullptr;
    std::unique_ptr<answered_prompts> owned_ui;
    std::unique_ptr<maintenance_jobs> jobs;

    void SetUp() override {
        fs::create_directories(out);
        recording_database db;
        db.open(folder.wstring());
        for (std::uint32_t c : {1000u, 1005u}) db.store_frame(db_test::test_frame(static_cast<int>(c)), c, 1700000000);
        db.close(std::string("A : 1"), std::wstring(L"левый"));
        window = new wxFrame(nullptr, wxID_ANY, L"Quillmar");
        window->Show();
        owned_ui = std::make_unique<answered_prompts>(window);
        ui = owned_ui.get();
        jobs = std::make_unique<maintenance_jobs>([this]() -> maintenance_ui& { return *ui; }, registry);
    }
    void TearDown() override {
        jobs.reset();
        owned_ui.reset();
        window->Destroy();
        wxTheApp->ProcessIdle();
    }
    // Incompressible data that keeps the archive busy well over a second on this machine.
    void make_big(std::size_t megabytes) {
        for (unsigned i = 0; i < megabytes / 16; ++i)
            test_support::write_random_file(folder / ("frames-" + std::to_string(i)), 16 << 20, i);
    }
    bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
        return test_support::pump_until(done, limit);
    }
    // How long an event queued to the window waits until it runs, the loop pumped meanwhile.
    clock_type::duration answer_time() {
        const auto posted = clock_type::now();
        auto answered = std::make_shared<std::optional<clock_type::time_point>>();
        window->CallAfter([answered] { *answered = clock_type::now(); });
        while (!*answered && clock_type::now() - posted < 5s) {
            wxTheApp->ProcessPendingEvents();
            wxYield();
        }
        return *answered ? **answered - posted : clock_type::duration::max();
    }
};

TEST_F(maintenance_jobs_test, the_window_answers_at_once_while_a_big_archive_is_written_and_the_end_is_logged) {
    make_big(128);
    const fs::path zip = out / "a.zip";
    ui->path = zip.wstring();

    const auto before = clock_type::now();
    ASSERT_TRUE(jobs->start_archive(folder.wstring()));
    EXPECT_LT(clock_type::now() - before, 200ms);  // the writing is not on this thread
    EXPECT_TRUE(jobs->busy());
    ASSERT_NE(ui->progress_window(), nullptr);
    EXPECT_EQ(ui->progress_window()->GetTitle(), L"Архивация базы");
    EXPECT_TRUE(window->IsEnabled());  // not disabled behind the progress window
    EXPECT_FALSE(jobs->start_delete(folder.wstring()));  // one job at a time, nothing asked
    EXPECT_EQ(ui->asked, 1);

    int samples = 0, gauge_max = 0;
    while (jobs->busy()) {
        const auto waited = answer_time();
        EXPECT_LT(waited, 200ms) << "sample " << samples;
        ++samples;
        if (auto* progress = ui->progress_window())
            for (auto* child : progress->GetChildren())
                if (auto* gauge = dynamic_cast<wxGauge*>(child)) gauge_max = std::max(gauge_max, gauge->GetValue());
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_GE(samples, 5) << "the archive ended too soon for the test to mean anything";
    EXPECT_GT(gauge_max, 0);
    EXPECT_EQ(ui->progress_window(), nullptr);
    EXPECT_TRUE(ui->messages.empty());
    ASSERT_EQ(ui->rows.size(), 1u);
    const std::wregex row(L"blue:Архив записан: " + std::regex_replace(zip.wstring(), std::wregex(L"[.]"), L"\\.") +
                          L", (\\d+),(\\d) МБ за \\d+,\\d с");
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(ui->rows[0], m, row)) << narrow(ui->rows[0]);
    const double megabytes = std::stod(m[1].str() + L"." + m[2].str());
    EXPECT_NEAR(megabytes, static_cast<double>(fs::file_size(zip)) / (1 << 20), 0.051);
    EXPECT_EQ(entries_of(out), std::vector<fs::path>{"a.zip"});
}

TEST_F(maintenance_jobs_test, cancel_in_the_progress_window_keeps_the_old_archive_and_logs_it) {
    make_big(64);
    const fs::path zip = out / "a.zip";
    std::ofstream(zip) << "an older archive";
    ui->path = zip.wstring();
    ASSERT_TRUE(jobs->start_archive(folder.wstring()));
    wxGauge* gauge = nullptr;
    for (auto* child : ui->progress_window()->GetChildren())
        if (auto* g = dynamic_cast<wxGauge*>(child)) gauge = g;
    ASSERT_NE(gauge, nullptr);
    ASSERT_TRUE(pump_until([&] { return gauge->GetValue() > 0 || !jobs->busy(); }));
    ASSERT_TRUE(jobs->busy()) << "ended before it could be cancelled";

    wxCommandEvent press(wxEVT_BUTTON, wxID_CANCEL);
    ui->progress_window()->GetEventHandler()->ProcessEvent(press);
    ASSERT_TRUE(pump_until([&] { return !jobs->busy(); }));
    EXPECT_EQ(ui->rows, std::vector<std::wstring>{L"blue:Архивация отменена: " + zip.wstring()});
    EXPECT_EQ(ui->progress_window(), nullptr);
    EXPECT_EQ(entries_of(out), std::vector<fs::path>{"a.zip"});
    EXPECT_EQ(contents(zip), "an older archive");
}

TEST_F(maintenance_jobs_test, delete_runs_on_the_worker_and_tells_the_window_at_its_end) {
    ldb_info info;
    info.session = L"A : 1";
    info.dpp_start = 1000;
    info.dpp_end = 1005;
    registry.add(info, folder.wstring());
    std::vector<std::wstring> deleted;
    jobs->deleted = [&](const std::wstring& f) {
        deleted.push_back(f);
        EXPECT_FALSE(jobs->busy());  // the window may start the next command from here
    };

    ASSERT_TRUE(jobs->start_delete(folder.wstring()));
    EXPECT_TRUE(jobs->busy());
    EXPECT_FALSE(jobs->start_archive(folder.wstring()));
    ASSERT_TRUE(pump_until([&] { return !jobs->busy(); }));
    EXPECT_EQ(deleted, std::vector<std::wstring>{folder.wstring()});
    EXPECT_EQ(ui->rows, std::vector<std::wstring>{L"blue:База удалена: " + folder.wstring()});
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(registry.size(), 0u);
    EXPECT_EQ(ui->asked, 1);
}

TEST_F(maintenance_jobs_test, closing_during_an_archive_cancels_it_and_waits_for_the_thread) {
    make_big(64);
    ui->path = (out / "a.zip").wstring();
    ASSERT_TRUE(jobs->start_archive(folder.wstring()));
    std::this_thread::sleep_for(100ms);
    const auto before = clock_type::now();
    jobs.reset();
    EXPECT_LT(clock_type::now() - before, 2s);
    EXPECT_TRUE(entries_of(out).empty());  // nothing half-written left behind
    EXPECT_EQ(ui->progress_window(), nullptr);
}

TEST(maintenance_worker, works_on_its_named_thread_and_reports_each_end_once) {
    test_support::temp_dir dir;
    const fs::path folder = dir.path() / "db";
    fs::create_directories(folder);
    test_support::write_random_file(folder / "data", 4 << 20, 1);
    database_registry registry;
    std::atomic<int> ends{0};
    std::string thread_name;
    std::mutex mutex;  // guards thread_name and last
    std::optional<maintenance_end> last;
    {
        maintenance_worker worker(
            registry, [&](double) { std::lock_guard<std::mutex> lock(mutex); thread_name = this_thread_name(); },
            [&](maintenance_end end) {
                std::lock_guard<std::mutex> lock(mutex);
                last = std::move(end);
                ++ends;
            });
        ASSERT_TRUE(worker.start_archive(folder.wstring(), (dir.path() / "a.zip").wstring()));
        EXPECT_FALSE(worker.start_delete(folder.wstring()));
        const auto end = clock_type::now() + 30s;
        while (ends == 0 && clock_type::now() < end) std::this_thread::sleep_for(10ms);
        ASSERT_EQ(ends, 1);
        EXPECT_FALSE(worker.busy());
        ASSERT_TRUE(worker.start_delete(folder.wstring()));  // the same thread takes the next job
        while (ends == 1 && clock_type::now() < end) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(ends, 2);
    EXPECT_EQ(thread_name, "qm-maintenance");
    ASSERT_TRUE(last);
    EXPECT_EQ(last->job, maintenance_job::remove);
    EXPECT_EQ(last->outcome.report.info, L"База удалена: " + folder.wstring());
    EXPECT_FALSE(fs::exists(folder));
}

TEST(maintenance_end_report, writes_the_operators_rows) {
    const auto archive_end = [](archive_result result, std::uintmax_t bytes, double seconds,
                                maintenance_report report = {}) {
        maintenance_end end;
        end.job = maintenance_job::archive;
        end.folder = L"/data/2024.05.01 12.30.45";
        end.archive = L"/media/usb/2024.05.01 12.30.45.zip";
        end.outcome.result = result;
        end.outcome.bytes = bytes;
        end.outcome.took = std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
        end.outcome.report = std::move(report);
        return end;
    };
    const maintenance_report failure{L"Не удалось создать архив: /media/usb/x.zip", {}, {}};
    const struct {
        maintenance_end end;
        maintenance_report expected;
    } cases[] = {
        {archive_end(archive_result::written, 432329523, 6.08),  // 412.3 МБ
         {{}, {}, L"Архив записан: /media/usb/2024.05.01 12.30.45.zip, 412,3 МБ за 6,1 с"}},
        {archive_end(archive_result::written, 52428, 0.04),  // just under 0,05 МБ
         {{}, {}, L"Архив записан: /media/usb/2024.05.01 12.30.45.zip, 0,0 МБ за 0,0 с"}},
        {archive_end(archive_result::written, 3ull << 30, 75.04),
         {{}, {}, L"Архив записан: /media/usb/2024.05.01 12.30.45.zip, 3072,0 МБ за 75,0 с"}},
        {archive_end(archive_result::cancelled, 0, 2), {{}, {}, L"Архивация отменена: /media/usb/2024.05.01 12.30.45.zip"}},
        {archive_end(archive_result::cannot_create, 0, 1, failure), failure},
        {archive_end(archive_result::cannot_open_file, 0, 1, {{}, L"Не удалось открыть файл: /data/x", {}}),
         {{}, L"Не удалось открыть файл: /data/x", {}}},
    };
    for (const auto& c : cases) EXPECT_EQ(end_report(c.end), c.expected) << narrow(c.expected.info);

    maintenance_end removed;
    removed.job = maintenance_job::remove;
    removed.outcome.result = archive_result::written;  // not looked at for a delete
    removed.outcome.report = {{}, L"Папка /data/x не удалена: база данных открыта в программе", {}};
    EXPECT_EQ(end_report(removed), removed.outcome.report);
}

}  // namespace
