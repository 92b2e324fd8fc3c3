#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "database/database_reader.h"
#include "database/recording_database.h"
#include "depot/depot_recording.h"
#include "depot/depot_settings.h"
#include "depot/s3_client.h"
#include "tests/depot/noise_recording.h"
#include "tests/depot/swift_store.h"
#include "tests/support/temp_home.h"

namespace fs = std::filesystem;

namespace {

// Parts of 5 MiB, the least the store accepts, so that a recording of a few noisy frames
// already goes in several parts.
constexpr std::uint64_t part = 5u << 20;

using test_support::make_noise_recording;

std::map<std::string, std::string> folder_bytes(const fs::path& folder) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        out[entry.path().filename().string()] = {std::istreambuf_iterator<char>(in), {}};
    }
    return out;
}

std::uint64_t largest_file(const fs::path& folder) {
    std::uint64_t most = 0;
    for (const auto& entry : fs::directory_iterator(folder)) most = std::max<std::uint64_t>(most, entry.file_size());
    return most;
}

// Parts of every file that goes as a multipart upload.
int parts_of(const fs::path& folder) {
    int parts = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.file_size() > part) parts += static_cast<int>((entry.file_size() + part - 1) / part);
    return parts;
}

s3_config store_config(const swift_store& store) {
    s3_config c;
    c.endpoint = store.endpoint();
    c.bucket = swift_store::bucket;
    c.access_key = swift_store::access_key;
    c.secret = swift_store::secret;
    c.low_speed_time_s = 10;
    return c;
}

depot_options quick_options() {
    depot_options o;
    o.part_size = part;
    o.wait = [](std::chrono::milliseconds) {};
    return o;
}

class depot_store_test : public store_suite<depot_store_test> {
protected:
    test_support::temp_dir work_{"qm-depot"};
};

TEST_F(depot_store_test, pushed_recording_comes_back_byte_identical_and_reads_with_another_client) {
    const fs::path folder = work_.path() / "2026-01-15_08-30-00";
    make_noise_recording(folder, 24, 1);
    ASSERT_GT(largest_file(folder), 2 * part) << "the recording should need a multipart upload";
    s3_client client(store_config(*store_));

    const depot_outcome pushed = push_recording(client, "cars/c1", folder.string(), quick_options());
    ASSERT_TRUE(pushed.ok) << pushed.reason;
    EXPECT_GE(pushed.parts_sent, 3);
    EXPECT_FALSE(fs::exists(work_.path() / ".depot" / "2026-01-15_08-30-00.state")) << "state kept after success";

    // A second push finds everything verified and sends nothing.
    const depot_outcome again = push_recording(client, "cars/c1", folder.string(), quick_options());
    ASSERT_TRUE(again.ok) << again.reason;
    EXPECT_EQ(again.parts_sent + again.objects_sent, 0);

    std::vector<depot_entry> entries;
    ASSERT_TRUE(list_depot(client, "cars/c1", true, entries).ok());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].whole) << entries[0].problem;
    EXPECT_EQ(entries[0].manifest.frame_count, 24u);
    EXPECT_EQ(entries[0].manifest.first_count, 1000u);
    EXPECT_EQ(entries[0].manifest.last_count, 1000u + 23 * 7);
    EXPECT_EQ(entries[0].manifest.session, "S-0042");
    EXPECT_EQ(entries[0].manifest.side, "левый");

    const std::string check = "python3 " + (fs::path(__FILE__).parent_path() / "check_with_boto3.py").string() + " " +
                              store_->endpoint() + " recordings 'cars/c1/левый/2026-01-15_08-30-00/'";
    EXPECT_EQ(std::system(check.c_str()), 0);

    const fs::path out = work_.path() / "pulled";
    const depot_outcome pulled = pull_recording(client, "cars/c1", "2026-01-15_08-30-00", out.string(), quick_options());
    ASSERT_TRUE(pulled.ok) << pulled.reason;
    EXPECT_EQ(folder_bytes(out / "2026-01-15_08-30-00"), folder_bytes(folder));
    database_reader original(folder.wstring()), copy((out / "2026-01-15_08-30-00").wstring());
    EXPECT_EQ(copy.summary(), original.summary());
}

TEST_F(depot_store_test, upload_resumes_from_confirmed_parts_after_the_store_goes_away_and_after_a_restart) {
    s3_client client(store_config(*store_));

    // The store stops between two parts and comes back while the upload waits to try again:
    // no confirmed part is sent twice.
    const fs::path first = work_.path() / "first";
    make_noise_recording(first, 24, 2);
    const int parts_needed = parts_of(first);
    depot_options options = quick_options();
    bool stopped = false, restarted = false;
    options.part_sent = [&](const std::string&, int number) {
        if (number == 2 && !stopped) {
            store_->stop();
            stopped = true;
        }
    };
    options.wait = [&](std::chrono::milliseconds) {
        if (stopped && !restarted) restarted = store_->start();
    };
    const depot_outcome survived = push_recording(client, "resume", first.string(), options);
    ASSERT_TRUE(survived.ok) << survived.reason;
    EXPECT_TRUE(restarted);
    EXPECT_GE(survived.retries, 1);
    EXPECT_EQ(survived.parts_sent, parts_needed) << "a part was sent again";

    // The process ends after two parts; a new one (new client, same state file) lists the
    // parts the store confirms and sends only the rest.
    const fs::path second = work_.path() / "second";
    make_noise_recording(second, 24, 3);
    const int parts_of_second = parts_of(second);
    int sent = 0;
    depot_options cut = quick_options();
    cut.part_sent = [&](const std::string&, int) { ++sent; };
    cut.cancelled = [&] { return sent >= 2; };
    const depot_outcome interrupted = push_recording(client, "resume", second.string(), cut);
    ASSERT_FALSE(interrupted.ok);
    EXPECT_TRUE(fs::exists(work_.path() / ".depot" / "second.state"));

    s3_client fresh(store_config(*store_));
    const depot_outcome resumed = push_recording(fresh, "resume", second.string(), quick_options());
    ASSERT_TRUE(resumed.ok) << resumed.reason;
    EXPECT_EQ(resumed.parts_sent, parts_of_second - 2);

    std::vector<depot_entry> entries;
    ASSERT_TRUE(list_depot(fresh, "resume", true, entries).ok());
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& e : entries) EXPECT_TRUE(e.whole) << e.key_prefix << ": " << e.problem;
}

TEST_F(depot_store_test, refusals_are_named_in_russian_and_not_retried) {
    const fs::path folder = work_.path() / "small";
    make_noise_recording(folder, 2, 4);
    struct refusal {
        const char* what;
        std::string secret, bucket, endpoint;
        s3_error error;
        std::string reason;
        int waits;  // waits between tries expected
    };
    const std::string closed = "http://127.0.0.1:1";
    const refusal cases[] = {
        {"wrong secret", "not-the-secret", "recordings", "", s3_error::credentials, "депо отклонило ключ доступа", 0},
        {"missing bucket", swift_store::secret, "nosuch", "", s3_error::no_bucket, "нет корзины nosuch в депо", 0},
        {"unreachable", swift_store::secret, "recordings", closed, s3_error::unreachable,
         "депо недоступно: " + closed, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        s3_config config = store_config(*store_);
        config.secret = c.secret;
        config.bucket = c.bucket;
        if (!c.endpoint.empty()) config.endpoint = c.endpoint;
        s3_client client(config);
        std::vector<std::chrono::milliseconds> waits;
        depot_options options = quick_options();
        options.attempts = 4;
        options.wait = [&](std::chrono::milliseconds d) { waits.push_back(d); };
        const depot_outcome outcome = push_recording(client, "refused", folder.string(), options);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(outcome.reason, c.reason);
        EXPECT_EQ(outcome.reason.find(swift_store::secret), std::string::npos);
        ASSERT_EQ(static_cast<int>(waits.size()), c.waits);
        // Waits double from the first: 1 s, 2 s, 4 s.
        for (std::size_t i = 1; i < waits.size(); ++i) EXPECT_EQ(waits[i], waits[i - 1] * 2);
    }
}

TEST_F(depot_store_test, half_uploaded_recording_is_never_listed_as_whole) {
    s3_client client(store_config(*store_));
    const fs::path folder = work_.path() / "whole";
    make_noise_recording(folder, 2, 5);
    ASSERT_TRUE(push_recording(client, "half", folder.string(), quick_options()).ok);
    const std::string keys = recording_key_prefix("half", "левый", "whole");

    // Objects of an upload under way, no manifest yet: not a recording of the depot.
    ASSERT_TRUE(client.put_bytes(recording_key_prefix("half", "левый", "underway") + "000005.ldb", "xx", {}).ok());

    std::vector<depot_entry> entries;
    ASSERT_TRUE(list_depot(client, "half", true, entries).ok());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].whole);

    // One object replaced by others of the same size: its checksum no longer matches.
    const manifest_file victim = entries[0].manifest.files.front();
    const std::string other(victim.size, 'z');
    ASSERT_TRUE(client.put_bytes(keys + victim.name, other, {{"sha256", std::string(64, '0')}}).ok());
    ASSERT_TRUE(list_depot(client, "half", true, entries).ok());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].whole);

    // And one object gone.
    ASSERT_TRUE(client.remove(keys + victim.name).ok());
    ASSERT_TRUE(list_depot(client, "half", false, entries).ok());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].whole);
    const depot_outcome pulled = pull_recording(client, "half", "whole", (work_.path() / "out").string(), quick_options());
    EXPECT_FALSE(pulled.ok);
    EXPECT_FALSE(fs::exists(work_.path() / "out" / "whole"));
}

// ---- without a store ------------------------------------------------------------------

TEST(depot_manifest, round_trips_and_refuses_what_is_not_a_manifest) {
    recording_manifest m;
    m.folder = "2026-01-15_08-30-00";
    m.side = "правый";
    m.session = "S \"7\" \\ 1";
    m.host = "car-12";
    m.frame_count = 12345678901ull;
    m.first_count = 4294967295u;
    m.last_count = 7;
    m.files = {{"CURRENT", 16, std::string(64, 'a')}, {"000005.ldb", 9000000, std::string(64, 'b')}};
    recording_manifest back;
    ASSERT_TRUE(manifest_from_json(manifest_to_json(m), back));
    EXPECT_EQ(back, m);

    const std::string good = manifest_to_json(m);
    const std::string bad[] = {
        good.substr(0, good.size() / 2),                                        // cut short
        std::string(good).replace(good.find("CURRENT"), 7, "../etc"),           // climbs out of the folder
        std::string(good).replace(good.find("4294967295"), 10, "4294967296"),   // count too large
        std::string(good).replace(good.find("\"files\""), 7, "\"filez\""),      // no file list
        std::string(200, '[') + std::string(200, ']'),                          // nested without end
        "",
    };
    for (const auto& text : bad) {
        recording_manifest untouched = m;
        EXPECT_FALSE(manifest_from_json(text, untouched)) << text.substr(0, 80);
        EXPECT_EQ(untouched, m);
    }
}

TEST(depot_xml, reads_elements_without_running_past_the_document) {
    const std::string doc =
        "<ListBucketResult><Contents><Key>a&amp;b</Key><Size>3</Size></Contents>"
        "<Contents><Key>c</Key><Size>4</Size></Contents><Contents><Key>cut";
    const auto contents = xml_elements(doc, "Contents");
    ASSERT_EQ(contents.size(), 2u);
    EXPECT_EQ(xml_first(contents[0], "Key"), "a&b");
    EXPECT_EQ(xml_first(contents[1], "Size"), "4");
    EXPECT_TRUE(xml_elements("<Key>", "Key").empty());
    EXPECT_EQ(s3_uri_encode("a b/л~", true), "a%20b/%D0%BB~");
}

TEST(depot_settings, secret_file_must_be_the_owners_alone) {
    test_support::temp_dir dir("qm-secret");
    const std::string path = (dir.path() / "secret").string();
    std::ofstream(path) << "s3cr3t\n";
    ::chmod(path.c_str(), 0644);
    try {
        read_depot_secret(path);
        ADD_FAILURE() << "a secret readable by others was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("0600"), std::string::npos);
        EXPECT_EQ(std::string(e.what()).find("s3cr3t"), std::string::npos);
    }
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(read_depot_secret(path), "s3cr3t");
    EXPECT_THROW(read_depot_secret((dir.path() / "none").string()), std::runtime_error);
}

}  // namespace
