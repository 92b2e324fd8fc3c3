// The depot upload as the program runs it: the window's "Депо" column and log rows, and the
// real `quillmar` process killed mid-upload, against a real object store on loopback.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "app/depot_link.h"
#include "database/database_loader.h"
#include "database/database_reader.h"
#include "database/recording_database.h"
#include "depot/depot_recording.h"
#include "depot/depot_uploader.h"
#include "settings/settings_keys.h"
#include "tests/app/frame_test_support.h"
#include "tests/depot/noise_recording.h"
#include "tests/depot/swift_store.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A noise recording the list's start-up upkeep has nothing left to do for (its log already
// stored as a table), so that the window's scan and the upload do not take turns on it.
void make_noise_recording(const fs::path& folder, int frames, std::uint32_t seed) {
    test_support::make_noise_recording(folder, frames, seed);
    database_reader(folder.wstring(), database_reader::access::maintain).settle();
}

using test_support::start_program;
using test_support::wait_until;

fs::path write_secret(const fs::path& dir, const char* secret, fs::perms perms) {
    const fs::path file = dir / "depot.secret";
    std::ofstream(file) << secret << "\n";
    fs::permissions(file, perms);
    return file;
}

class depot_program : public store_suite<depot_program> {
protected:
    std::string depot_lines(const std::string& prefix, const fs::path& secret, int max_kbps = 0) const {
        return "web_service_port=0\ndepot_enabled=1\ndepot_endpoint=" + store_->endpoint() +
               "\ndepot_bucket=recordings\ndepot_prefix=" + prefix + "\ndepot_access_key=" + swift_store::access_key +
               "\ndepot_secret_file=" + secret.string() + "\ndepot_max_kbps=" + std::to_string(max_kbps) + "\n";
    }
    std::string manifest_key(const std::string& prefix, const std::string& folder) const {
        return recording_key_prefix(prefix, "левый", folder) + "manifest.json";
    }
    s3_client client() const {
        s3_config c;
        c.endpoint = store_->endpoint();
        c.bucket = swift_store::bucket;
        c.access_key = swift_store::access_key;
        c.secret = swift_store::secret;
        return s3_client(c);
    }
};

std::wstring depot_cell(quillmar_frame& frame, const fs::path& folder) {
    const database_list_model& model = frame.databases().model();
    const long row = model.row_of(folder.wstring());
    return row < 0 ? std::wstring(L"(нет строки)") : model.cell(static_cast<std::size_t>(row), 8);
}

TEST_F(depot_program, a_closed_recording_shows_in_depot_in_the_list_and_switching_upload_off_clears_the_column) {
    test_support::frame_fixture f;
    const fs::path folder = f.records() / "2026-05-01_10-00-00";
    fs::create_directories(f.records());
    make_noise_recording(folder, 2, 1);
    const fs::path secret = write_secret(f.home.path(), swift_store::secret, fs::perms::owner_read | fs::perms::owner_write);
    f.write_settings(depot_lines("window", secret));
    f.open();

    ASSERT_TRUE(f.pump_until([&] { return depot_cell(*f.frame, folder) == L"в депо"; }, 90s))
        << to_narrow(depot_cell(*f.frame, folder));
    const std::string where = store_->endpoint() + "/recordings";
    EXPECT_TRUE(f.has("blue:Депо: выгрузка записей включена: " + where));
    EXPECT_TRUE(f.has("blue:Депо: выгрузка начата: 2026-05-01_10-00-00 → " + where));
    int done = 0;
    for (const auto& row : f.messages()) {
        EXPECT_EQ(row.find(swift_store::secret), std::string::npos) << row;
        done += row.rfind("blue:Депо: выгружено и проверено: 2026-05-01_10-00-00 (", 0) == 0;
    }
    EXPECT_EQ(done, 1);
    std::string reason;
    auto c = client();
    EXPECT_TRUE(depot_holds_recording(c, manifest_key("window", folder.filename().string()), folder.string(), 8u << 20,
                                      reason))
        << reason;

    f.frame->run_settings([](settings_ptr s) {
        s->write_bool(settings_keys::depot_enabled, false);
        return wxID_OK;
    });
    EXPECT_EQ(depot_cell(*f.frame, folder), L"—");
    EXPECT_TRUE(f.pump_until([&] { return f.has("blue:Депо: выгрузка записей выключена"); }, 5s));
}

TEST_F(depot_program, a_secret_others_may_read_is_refused_with_one_red_row_and_nothing_uploaded) {
    test_support::frame_fixture f;
    const fs::path folder = f.records() / "2026-05-02_10-00-00";
    fs::create_directories(f.records());
    make_noise_recording(folder, 1, 2);
    const fs::path secret = write_secret(f.home.path(), swift_store::secret,
                                         fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    f.write_settings(depot_lines("refused", secret));
    f.open();
    f.pump_until([] { return false; }, 2s);
    EXPECT_TRUE(f.has("red:Депо: выгрузка не включена: файл ключа депо " + secret.string() +
                      " доступен не только владельцу (нужны права 0600)"));
    EXPECT_EQ(depot_cell(*f.frame, folder), L"—");
    std::vector<depot_entry> entries;
    auto c = client();
    ASSERT_TRUE(list_depot(c, "refused", false, entries).ok());
    EXPECT_TRUE(entries.empty());
}

// The rows of every run's log: the program killed and started again writes one log each.
std::vector<std::string> all_log_rows(const fs::path& home) {
    std::vector<std::string> rows;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(home / "Velkor3" / "log", ec))
        for (auto& row : test_support::log_messages(e.path())) rows.push_back(std::move(row));
    return rows;
}

TEST_F(depot_program, killed_mid_upload_the_next_start_goes_on_from_the_parts_the_store_confirmed) {
    test_support::temp_dir home("qm-depot-kill");
    const fs::path records = home.path() / "records";
    const std::string name = "2026-06-01_09-00-00";
    fs::create_directories(records);
    make_noise_recording(records / name, 40, 3);
    const fs::path secret = write_secret(home.path(), swift_store::secret, fs::perms::owner_read | fs::perms::owner_write);
    const fs::path settings = home.path() / "Velkor3" / "config" / ".quillmar";
    auto write_settings = [&](int max_kbps) {
        fs::create_directories(settings.parent_path());
        std::ofstream(settings) << "write_path=" << records.string() << "\n" << depot_lines("killed", secret, max_kbps);
        test_support::keep_services_off_fixed_ports(settings);
    };
    write_settings(2048);  // 2 MB/s: a part every 4 s, time to kill it between parts

    // The upload's state names each multipart upload; the store lists the parts it holds.
    const fs::path state = records / ".depot" / (name + ".state");
    auto confirmed_parts = [&] {
        std::ifstream in(state);
        int parts = 0;
        auto c = client();
        for (std::string word, file, id; in >> word;) {
            if (word != "upload") {
                std::getline(in, file);
                continue;
            }
            in >> file >> id;
            std::vector<s3_part> listed;
            if (c.list_parts(recording_key_prefix("killed", "левый", name) + file, id, listed).ok())
                parts += static_cast<int>(listed.size());
        }
        return parts;
    };

    const pid_t first = start_program(home.path());
    ASSERT_GT(first, 0);
    const bool some_parts = wait_until([&] { return confirmed_parts() >= 1; }, 90s);
    ::kill(first, SIGKILL);
    int status = 0;
    ::waitpid(first, &status, 0);
    ASSERT_TRUE(some_parts) << "no part reached the store";
    auto c = client();
    std::vector<depot_entry> entries;
    ASSERT_TRUE(list_depot(c, "killed", false, entries).ok());
    EXPECT_TRUE(entries.empty()) << "a half-uploaded recording is never listed";

    write_settings(0);
    const pid_t second = start_program(home.path());
    ASSERT_GT(second, 0);
    std::string finished;
    wait_until(
        [&] {
            for (const auto& row : all_log_rows(home.path()))
                if (row.rfind("blue:Депо: выгружено и проверено: " + name, 0) == 0) finished = row;
            return !finished.empty();
        },
        120s);
    ::kill(second, SIGTERM);
    ::waitpid(second, &status, 0);
    ASSERT_FALSE(finished.empty()) << "the second start did not finish the upload";

    const auto rows = all_log_rows(home.path());
    EXPECT_NE(std::find(rows.begin(), rows.end(),
                        "blue:Депо: выгрузка продолжена: " + name + " → " + store_->endpoint() + "/recordings"),
              rows.end());
    // "...; частей отправлено: P из T)": fewer parts sent than the recording has.
    const auto at = finished.find("частей отправлено: ");
    ASSERT_NE(at, std::string::npos) << finished;
    int sent = 0, total = 0;
    std::string of;
    std::istringstream(finished.substr(at + std::string("частей отправлено: ").size())) >> sent >> of >> total;
    ASSERT_GT(total, 1) << finished;
    EXPECT_LT(sent, total) << finished;
    std::string reason;
    EXPECT_TRUE(depot_holds_recording(c, manifest_key("killed", name), (records / name).string(), 8u << 20, reason))
        << reason;
}

}  // namespace
