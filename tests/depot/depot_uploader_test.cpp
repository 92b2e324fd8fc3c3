#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "database/recording_database.h"
#include "depot/depot_recording.h"
#include "depot/depot_uploader.h"
#include "tests/depot/noise_recording.h"
#include "tests/depot/swift_store.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t part = 5u << 20;  // the least part the store accepts

void make_recording(const fs::path& folder, int frames, std::uint32_t seed) {
    test_support::make_noise_recording(folder, frames, seed, "S-0007", L"правый");
}

int parts_of(const fs::path& folder) {
    int parts = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.file_size() > part) parts += static_cast<int>((entry.file_size() + part - 1) / part);
    return parts;
}

// What the callbacks saw, from the uploader's thread.
struct journal {
    std::mutex mutex;  // guards everything below
    std::vector<std::pair<std::string, depot_status>> statuses;
    std::vector<std::pair<std::string, bool>> rows;

    depot_status last(const std::string& folder) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = statuses.rbegin(); it != statuses.rend(); ++it)
            if (it->first == folder) return it->second;
        return {};
    }
    int rows_with(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& [row, error] : rows) n += row.find(text) != std::string::npos;
        return n;
    }
    int count(const std::string& folder, depot_status::kind kind) {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& [f, s] : statuses) n += f == folder && s.state == kind;
        return n;
    }
};

// Polls until done() or the limit; true when done.
template <class F>
bool eventually(F done, std::chrono::seconds limit = 60s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

class depot_uploader_test : public store_suite<depot_uploader_test> {
protected:
    depot_settings settings(const std::string& prefix) const {
        depot_settings s;
        s.enabled = true;
        s.endpoint = store_->endpoint();
        s.bucket = swift_store::bucket;
        s.prefix = prefix;
        s.access_key = swift_store::access_key;
        s.secret = swift_store::secret;
        return s;
    }
    depot_uploader_config config(const std::string& prefix, journal& j) const {
        depot_uploader_config c;
        c.write_path = work_.str();
        c.settings = settings(prefix);
        c.status = [&j](const std::string& f, const depot_status& s) {
            std::lock_guard<std::mutex> lock(j.mutex);
            j.statuses.emplace_back(f, s);
        };
        c.log = [&j](const std::string& row, bool error) {
            std::lock_guard<std::mutex> lock(j.mutex);
            j.rows.emplace_back(row, error);
        };
        c.scan_every = 200ms;
        c.push.part_size = part;
        c.push.wait = [](std::chrono::milliseconds) { std::this_thread::sleep_for(10ms); };
        return c;
    }

    test_support::temp_dir work_{"qm-depot-up"};
};

TEST(depot_status_text, reads_as_the_list_column_shows_it) {
    const struct {
        depot_status status;
        const char* text;
    } cases[] = {
        {{}, "—"},
        {{depot_status::kind::queued, 0, {}}, "в очереди"},
        {{depot_status::kind::uploading, 37, {}}, "выгружается 37 %"},
        {{depot_status::kind::in_depot, 0, {}}, "в депо"},
        {{depot_status::kind::failed, 0, "депо недоступно"}, "ошибка: депо недоступно"},
    };
    for (const auto& c : cases) EXPECT_EQ(depot_status_text(c.status), c.text);
}

TEST_F(depot_uploader_test, closed_recordings_go_oldest_first_and_the_one_being_written_stays) {
    make_recording(work_.path() / "2026-03-02_10-00-00", 2, 1);
    make_recording(work_.path() / "2026-03-01_09-00-00", 2, 2);
    make_recording(work_.path() / "2026-03-03_11-00-00", 2, 3);
    fs::create_directories(work_.path() / "notes");  // not a recording
    // Open for writing, as the recorder holds the recording it writes: its lock alone keeps it
    // back, with no word from the owner.
    recording_database writing;
    writing.open((work_.path() / "2026-03-04_12-00-00").wstring(), "S-0008", L"правый");

    journal j;
    std::vector<std::string> order;  // guarded by j.mutex
    auto c = config("order", j);
    c.being_written = [](const std::string& f) { return f == "2026-03-03_11-00-00"; };
    c.push.part_sent = nullptr;
    auto log = c.log;
    c.log = [&, log](const std::string& row, bool error) {
        log(row, error);
        std::lock_guard<std::mutex> lock(j.mutex);
        if (row.rfind("Депо: выгрузка начата: ", 0) == 0) order.push_back(row);
    };
    {
        depot_uploader uploader(c);
        uploader.start();
        ASSERT_TRUE(eventually([&] {
            return j.last("2026-03-01_09-00-00").state == depot_status::kind::in_depot &&
                   j.last("2026-03-02_10-00-00").state == depot_status::kind::in_depot;
        }));
        std::this_thread::sleep_for(500ms);  // a few more scans
    }
    {
        std::lock_guard<std::mutex> lock(j.mutex);
        ASSERT_EQ(order.size(), 2u);
        EXPECT_EQ(order[0], "Депо: выгрузка начата: 2026-03-01_09-00-00 → " + store_->endpoint() + "/recordings");
        EXPECT_NE(order[1].find("2026-03-02_10-00-00"), std::string::npos);
        for (const auto& [row, error] : j.rows) {
            EXPECT_FALSE(error) << row;
            EXPECT_EQ(row.find(swift_store::secret), std::string::npos) << row;
            EXPECT_EQ(row.find("2026-03-03_11-00-00"), std::string::npos) << row;
        }
    }
    EXPECT_EQ(j.rows_with("Депо: выгружено и проверено: 2026-03-01_09-00-00 ("), 1);
    EXPECT_EQ(depot_status_text(j.last("2026-03-02_10-00-00")), "в депо");
    EXPECT_EQ(j.count("2026-03-03_11-00-00", depot_status::kind::uploading), 0);
    EXPECT_EQ(j.count("notes", depot_status::kind::queued), 0);

    // A new uploader (the program restarted) finds them in the depot without uploading again.
    journal again;
    depot_uploader second(config("order", again));
    second.start();
    ASSERT_TRUE(eventually([&] { return again.last("2026-03-02_10-00-00").state == depot_status::kind::in_depot; }));
    second.stop();
    EXPECT_EQ(again.rows_with("выгрузка начата"), 1) << "only the recording no longer being written";
    EXPECT_EQ(again.rows_with("2026-03-03_11-00-00"), 1);
    EXPECT_EQ(j.rows_with("2026-03-04_12-00-00") + again.rows_with("2026-03-04_12-00-00"), 0);
    EXPECT_EQ(again.count("2026-03-04_12-00-00", depot_status::kind::queued), 0);
    writing.close(std::string("S-0008"), L"правый");
}

TEST_F(depot_uploader_test, stop_mid_upload_and_the_next_uploader_resumes_from_confirmed_parts) {
    const fs::path folder = work_.path() / "2026-04-01_08-00-00";
    make_recording(folder, 24, 4);
    const int total = parts_of(folder);
    ASSERT_GE(total, 3) << "the recording should need a multipart upload";

    std::atomic<int> first_parts{0}, second_parts{0};
    journal j1;
    auto c1 = config("resume", j1);
    depot_uploader* first = nullptr;
    std::atomic<bool> part_in{false};
    c1.push.part_sent = [&](const std::string&, int) {
        ++first_parts;
        part_in = true;
        // Hold the upload here until stop() is under way, so that it is cut between parts.
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (!first->stop_requested() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    };
    {
        depot_uploader uploader(c1);
        first = &uploader;
        uploader.start();
        ASSERT_TRUE(eventually([&] { return part_in.load(); }));
        const auto began = std::chrono::steady_clock::now();
        uploader.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - began, 5s) << "stop() should not wait for the upload";
    }
    EXPECT_EQ(first_parts, 1);
    EXPECT_EQ(j1.last(folder.filename().string()).state, depot_status::kind::queued);
    EXPECT_EQ(j1.rows_with("ошибка"), 0);

    journal j2;
    auto c2 = config("resume", j2);
    c2.push.part_sent = [&](const std::string&, int) { ++second_parts; };
    depot_uploader resumed(c2);
    resumed.start();
    ASSERT_TRUE(eventually([&] { return j2.last(folder.filename().string()).state == depot_status::kind::in_depot; }));
    resumed.stop();
    EXPECT_EQ(second_parts, total - 1) << "the confirmed part is not sent again";
    EXPECT_TRUE(fs::exists(folder)) << "deleting is off by default";

    // The proof before deleting also holds for objects that went in parts.
    s3_client client(settings("resume").client_config());
    std::string reason;
    EXPECT_TRUE(depot_holds_recording(client, recording_key_prefix("resume", "правый", folder.filename().string()) +
                                                  "manifest.json",
                                      folder.string(), part, reason))
        << reason;
}

TEST_F(depot_uploader_test, only_a_recording_proven_whole_in_the_depot_is_deleted_on_the_car) {
    const std::string prefix = "safe";
    const std::vector<std::string> names = {"2026-05-01_07-00-00", "2026-05-02_07-00-00", "2026-05-03_07-00-00"};
    for (std::size_t i = 0; i < names.size(); ++i) make_recording(work_.path() / names[i], 2, 10 + i);
    {
        journal j;
        depot_uploader uploader(config(prefix, j));  // deleting off: upload only
        uploader.start();
        ASSERT_TRUE(eventually([&] {
            for (const auto& n : names)
                if (j.last(n).state != depot_status::kind::in_depot) return false;
            return true;
        }));
    }
    s3_client client(settings(prefix).client_config());
    const auto keys = [&](const std::string& name) { return recording_key_prefix(prefix, "правый", name); };

    // Second: one object changed in the store, same size and same stated checksum.
    std::string victim;
    for (const auto& e : fs::directory_iterator(work_.path() / names[1]))
        if (e.file_size() > 0 && e.file_size() <= part && (victim.empty() || e.path().filename() == "CURRENT"))
            victim = e.path().filename().string();
    ASSERT_FALSE(victim.empty());
    std::ifstream in(work_.path() / names[1] / victim, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    const std::string sha = file_sha256((work_.path() / names[1] / victim).string());
    bytes[0] ^= 1;
    ASSERT_TRUE(client.put_bytes(keys(names[1]) + victim, bytes, {{"sha256", sha}}).ok());
    // Third: its manifest gone.
    ASSERT_TRUE(client.remove(keys(names[2]) + "manifest.json").ok());

    const struct {
        std::string name;
        bool holds;
        const char* reason;
    } cases[] = {
        {names[0], true, ""},
        {names[1], false, "не совпадает с файлом записи"},
        {names[2], false, "нет описи"},
    };
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_EQ(depot_holds_recording(client, keys(c.name) + "manifest.json", (work_.path() / c.name).string(), part,
                                        reason),
                  c.holds)
            << c.name;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.name << ": " << reason;
    }

    // With deleting on, the whole one goes; the tampered one stays; the one without a manifest
    // is uploaded again first and only then goes.
    journal j;
    auto c = config(prefix, j);
    c.settings.delete_when_safe = true;
    depot_uploader uploader(c);
    uploader.start();
    ASSERT_TRUE(eventually([&] {
        return j.rows_with("Депо: удалено на вагоне после проверки: " + names[0]) == 1 &&
               j.rows_with("Депо: удалено на вагоне после проверки: " + names[2]) == 1 &&
               j.rows_with("не удалена на вагоне") >= 1;
    }));
    uploader.stop();
    EXPECT_FALSE(fs::exists(work_.path() / names[0]));
    EXPECT_TRUE(fs::exists(work_.path() / names[1] / victim));
    EXPECT_FALSE(fs::exists(work_.path() / names[2]));
    EXPECT_EQ(j.rows_with("выгрузка начата: " + names[2]), 1) << "the manifest is put back before deleting";
    EXPECT_EQ(j.last(names[1]).state, depot_status::kind::failed);
}

TEST_F(depot_uploader_test, a_refused_key_is_reported_once_and_not_retried_until_new_settings) {
    make_recording(work_.path() / "2026-06-01_06-00-00", 2, 20);
    make_recording(work_.path() / "2026-06-02_06-00-00", 2, 21);
    journal j;
    std::atomic<int> clients{0};
    auto c = config("refused", j);
    c.settings.secret = "not-the-secret";
    c.scan_every = 100ms;
    c.make_client = [&](const depot_settings& s) {
        ++clients;
        return std::make_unique<s3_client>(s.client_config());
    };
    depot_uploader uploader(c);
    uploader.start();
    ASSERT_TRUE(eventually([&] { return j.rows_with("Депо: ошибка выгрузки") > 0; }));
    for (int i = 0; i < 10; ++i) uploader.recording_closed("2026-06-02_06-00-00");  // prods do not retry either
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(j.rows_with("Депо: ошибка выгрузки 2026-06-01_06-00-00: депо отклонило ключ доступа"), 1);
    EXPECT_EQ(j.rows_with("ошибка"), 1);
    EXPECT_EQ(j.rows_with("not-the-secret"), 0);
    EXPECT_EQ(j.count("2026-06-01_06-00-00", depot_status::kind::uploading), 1);
    EXPECT_EQ(j.count("2026-06-02_06-00-00", depot_status::kind::uploading), 0);
    EXPECT_EQ(clients, 1);
    EXPECT_EQ(depot_status_text(j.last("2026-06-01_06-00-00")).rfind("ошибка: депо отклонило ключ доступа", 0), 0u);

    uploader.set_settings(settings("refused"));
    ASSERT_TRUE(eventually([&] {
        return j.last("2026-06-01_06-00-00").state == depot_status::kind::in_depot &&
               j.last("2026-06-02_06-00-00").state == depot_status::kind::in_depot;
    }));
}

}  // namespace
