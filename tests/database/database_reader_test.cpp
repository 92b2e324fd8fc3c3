#include <gtest/gtest.h>

#include <random>

#include <boost/lexical_cast.hpp>
#include <opencv2/imgcodecs.hpp>

#include "database/database_layout.h"
#include "database/frame_image.h"
#include "database/local_time.h"
#include "database/database_reader.h"
#include "database/database_registry.h"
#include "database/recording_database.h"
#include "tests/database/db_test_util.h"
#include "tests/support/temp_home.h"

using db_test::test_frame;
using db_test::write_raw;

namespace {

std::string jpeg(int value) {
    std::vector<uchar> bytes;
    cv::imencode(".jpeg", test_frame(value), bytes, {cv::IMWRITE_JPEG_QUALITY, 85});
    return std::string(bytes.begin(), bytes.end());
}

// Frames at 5, 9 and 12 written by another LevelDB writer following the layout.
std::map<std::string, std::string> foreign_layout() {
    return {{"0000000005", jpeg(5)},    {"0000000009", jpeg(9)},      {"0000000012", jpeg(12)},
            {"count", "0000000004"},    {"dpp_end", "0000000012"},    {"dpp_start", "0000000005"},
            {"orientation", "вниз"},    {"session", "12 : 34"},       {"side", "левый"},
            {"time_end", "1714566700"}, {"time_start", "1714566645"}, {"version", "1"}};
}

}  // namespace

TEST(DatabaseReader, ForeignWriterFollowingTheLayoutReadsTheSame) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "foreign";
    write_raw(path.string(), foreign_layout());
    database_reader reader(path.wstring());
    ldb_info info = reader.summary();
    EXPECT_EQ(info.session, L"12 : 34");
    EXPECT_EQ(info.orientation, L"вниз");
    EXPECT_EQ(info.side, L"левый");
    EXPECT_EQ(info.time_start, format_local_time(1714566645));
    EXPECT_EQ(info.time_end, format_local_time(1714566700));
    EXPECT_EQ(info.dpp_start, 5u);
    EXPECT_EQ(info.dpp_end, 12u);
    EXPECT_EQ(info.version, L"1");
    EXPECT_EQ(info.count, 4u);
}

TEST(DatabaseReader, MissingKeysGiveDefaultsOrTheNextKeysValue) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "sparse";
    write_raw(path.string(),
              {{"0000000003", jpeg(3)}, {"dpp_end", "0000000003"}, {"time_end", "-1"}, {"version", "1"}});
    database_reader reader(path.wstring());
    EXPECT_EQ(reader.session(), L"нет данных");  // exact getters do not borrow
    EXPECT_EQ(reader.side(), L"нет данных");
    EXPECT_EQ(reader.orientation(), L"нет данных");
    EXPECT_EQ(reader.count(), 0u);
    EXPECT_EQ(reader.dpp_start(), 4294967295u);  // "dpp_start" missing: "time_end"'s "-1"
    EXPECT_EQ(reader.time_start(), 1);           // "time_start" missing: "version"'s "1"
    ldb_info info = reader.summary();
    EXPECT_EQ(info.time_start, format_local_time(1));
    EXPECT_EQ(info.time_end, L"");  // -1 is the invalid time
    EXPECT_EQ(info.version, L"1");
    EXPECT_EQ(info.count, 1u);  // no "count": the frame keys are counted
}

// A recording cut short before its close (crash, power cut) has no "count": the list shows
// the frames it really holds; a stored "count" is taken as it is, even when it differs.
TEST(DatabaseReader, SummaryCountsTheFramesOfADatabaseWithoutCount) {
    test_support::temp_dir dir;
    write_raw((dir.path() / "cut").string(), {{"0000000003", jpeg(3)},
                                              {"0000000004", jpeg(4)},
                                              {"0000000009", jpeg(9)},
                                              {"dpp_end", "0000000009"},
                                              {"dpp_start", "0000000003"},
                                              {"session", "1 : 2"},
                                              {"version", "1"}});
    EXPECT_EQ(database_reader((dir.path() / "cut").wstring()).summary().count, 3u);
    write_raw(
        (dir.path() / "closed").string(),
        {{"0000000003", jpeg(3)}, {"count", "0000000007"}, {"dpp_end", "0000000003"}, {"dpp_start", "0000000003"}});
    EXPECT_EQ(database_reader((dir.path() / "closed").wstring()).summary().count, 7u);
}

TEST(DatabaseReader, DatabaseWithoutFramesNeedsANumericNextValue) {
    test_support::temp_dir dir;
    for (const char* session : {"12 : 34", ""}) {
        const auto path = dir.path() / (std::string("s") + session);
        recording_database writer;
        writer.open(path.wstring());
        writer.close(std::string(session), L"левый");
        // "dpp_start" is missing, so it takes the value of "session", which is no number.
        EXPECT_THROW(database_reader{path.wstring()}, boost::bad_lexical_cast) << session;
        // No reader is left behind holding the folder.
        EXPECT_NO_THROW(writer.open(path.wstring()));
        writer.close(std::string(session), L"левый");
    }
}

TEST(DatabaseReader, MalformedValuesAndNonDatabasesFail) {
    test_support::temp_dir dir;
    write_raw((dir.path() / "badcount").string(),
              {{"0000000001", jpeg(1)}, {"count", "many"}, {"dpp_end", "0000000001"}, {"dpp_start", "0000000001"}});
    database_reader reader((dir.path() / "badcount").wstring());
    EXPECT_THROW(reader.summary(), boost::bad_lexical_cast);

    std::filesystem::create_directory(dir.path() / "empty");
    try {
        database_reader none((dir.path() / "empty").wstring());
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("does not exist (create_if_missing is false)"), std::string::npos)
            << e.what();
    }
    // The reader leaves a folder that is no database as it was, and creates no folder.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "empty"));
    EXPECT_THROW(database_reader{(dir.path() / "missing").wstring()}, std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

TEST(DatabaseReader, BrowsingStaysWithinFirstAndLastFrame) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "db";
    write_raw(path.string(), foreign_layout());
    database_reader reader(path.wstring());
    EXPECT_EQ(reader.current_key(), "0000000005");
    EXPECT_EQ(reader.current_bytes(), jpeg(5));
    reader.advance();
    EXPECT_EQ(reader.current_key(), "0000000009");
    reader.advance();
    reader.advance();  // at last: stays
    EXPECT_EQ(reader.current_key(), "0000000012");
    reader.seek(6);
    EXPECT_EQ(reader.current_key(), "0000000009");
    cv::Mat frame = reader.current_frame();
    ASSERT_EQ(frame.type(), CV_8UC3);
    EXPECT_EQ(frame.cols, 64);
}

TEST(DatabaseReader, ReadFrameTakesFirstAtOrAfter) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "db";
    write_raw(path.string(), foreign_layout());
    database_reader reader(path.wstring());
    cv::Mat at6 = reader.read_frame(6);
    cv::Mat at9 = reader.read_frame(9);
    ASSERT_FALSE(at6.empty());
    EXPECT_EQ(cv::norm(at6, at9, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(at6, decode_frame(jpeg(9)), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(reader.read_frame(0), decode_frame(jpeg(5)), cv::NORM_INF), 0.0);
    EXPECT_TRUE(reader.read_frame(13).empty());  // lands on "count", not an image
}

TEST(DatabaseReader, SizeCoversTheFrameRangeInFull) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "big";
    {
        auto db = open_leveldb(path.string(), true);
        std::string value(1 << 20, '\0');
        std::mt19937 random(7);  // incompressible, like JPEG data
        for (std::uint32_t i = 0; i < 8; ++i) {
            for (auto& c : value) c = static_cast<char>(random());
            db->Put(leveldb::WriteOptions(), make_frame_key(i), value);
        }
        db->Put(leveldb::WriteOptions(), "dpp_end", make_frame_key(7));
        db->Put(leveldb::WriteOptions(), "dpp_start", make_frame_key(0));
        db->CompactRange(nullptr, nullptr);
    }
    database_reader reader(path.wstring());
    ldb_info info = reader.summary();
    // [first, last) holds seven of the eight 1 MiB frames.
    EXPECT_GT(info.size, 6u << 20);
    EXPECT_LT(info.size, 9u << 20);
}

// Damaged or hostile stored values: random bytes, cut or bit-flipped JPEGs, keys missing.
// Opening either fails with a std::exception or gives a reader whose every operation (and
// a named lookup through the registry) stays safe; ASan/UBSan runs make this a fuzz test.
TEST(DatabaseReader, DamagedStoredValuesNeverCrash) {
    test_support::temp_dir dir;
    std::mt19937 random(11);
    auto random_bytes = [&](std::size_t max) {
        std::string out(random() % (max + 1), '\0');
        for (auto& c : out) c = static_cast<char>(random());
        return out;
    };
    database_registry registry;
    int survived = 0, refused = 0;
    for (int round = 0; round < 30; ++round) {
        auto keys = foreign_layout();
        for (auto it = keys.begin(); it != keys.end();) {
            switch (random() % 6) {
            case 0: it->second = random_bytes(24); break;
            case 1: it->second = it->second.substr(0, random() % (it->second.size() + 1)); break;
            case 2:
                if (!it->second.empty()) it->second[random() % it->second.size()] ^= 0x5a;
                break;
            case 3: it = keys.erase(it); continue;
            default: break;
            }
            ++it;
        }
        const auto path = dir.path() / ("db" + std::to_string(round));
        write_raw(path.string(), keys);
        try {
            database_reader reader(path.wstring());
            const ldb_info info = reader.summary();
            for (std::uint32_t count : {0u, 5u, 7u, 12u, 4294967295u}) (void)reader.read_frame(count);
            reader.seek(0);
            for (int i = 0; i < 20; ++i) {
                (void)reader.current_frame();
                (void)reader.current_key();
                reader.advance();
            }
            registry.add(info, path.wstring());
            ++survived;
        } catch (const std::exception&) {
            ++refused;
        }
    }
    EXPECT_EQ(survived + refused, 30);
    EXPECT_GT(survived, 0);
    EXPECT_GT(refused, 0);
    for (const auto& entry : registry.snapshot()) {
        try {
            (void)registry.frame_lookup(entry.info.session, entry.info.dpp_start);
        } catch (const std::exception&) {}
    }
}

TEST(DatabaseReader, FrameCountsAndRangesStopAtTheMetadataAndWhenAsked) {
    test_support::temp_dir dir;
    const auto path = dir.path() / "foreign";
    write_raw(path.string(), foreign_layout());
    database_reader reader(path.wstring());
    EXPECT_EQ(reader.frame_counts([] { return true; }), (std::vector<std::uint32_t>{5, 9, 12}));
    int asked = 0;
    EXPECT_EQ(reader.frame_counts([&] { return ++asked <= 1; }), (std::vector<std::uint32_t>{5}));
    std::vector<std::uint32_t> seen;
    reader.each_stored(6, 100, [&](std::uint32_t count, const std::string& bytes) {
        seen.push_back(count);
        EXPECT_EQ(bytes, jpeg(static_cast<int>(count)));
    });
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{9, 12}));
    seen.clear();
    reader.each_stored(10, 11, [&](std::uint32_t count, const std::string&) { seen.push_back(count); });
    EXPECT_TRUE(seen.empty());
}
