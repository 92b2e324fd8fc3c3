#include <gtest/gtest.h>

#include <chrono>

#include <boost/lexical_cast.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "database/database_layout.h"
#include "database/frame_image.h"
#include "database/local_time.h"
#include "base/locale_text.h"
#include "database/session_code.h"

TEST(DatabaseLayout, FrameKeysAreTenDigitsAndSortBeforeMetadata) {
    EXPECT_EQ(make_frame_key(0), "0000000000");
    EXPECT_EQ(make_frame_key(7), "0000000007");
    EXPECT_EQ(make_frame_key(4294967295u), "4294967295");
    EXPECT_EQ(format_count(3), "0000000003");
    EXPECT_EQ(format_count(12345678901ull), "12345678901");
    EXPECT_TRUE(is_frame_key("0000000009"));
    EXPECT_FALSE(is_frame_key("000000009"));
    EXPECT_FALSE(is_frame_key("count"));
    EXPECT_FALSE(is_frame_key("00000000x9"));
    EXPECT_LT(make_frame_key(4294967295u), std::string("count"));
}

TEST(DatabaseLayout, ParseRulesOfStoredNumbers) {
    EXPECT_EQ(parse_count("0000000042"), 42u);
    EXPECT_EQ(parse_count("+7"), 7u);
    EXPECT_EQ(parse_count("-1"), 4294967295u);  // negation modulo 2^32
    EXPECT_EQ(parse_count64("12345678901"), 12345678901ull);
    EXPECT_EQ(parse_time("-1"), invalid_time);
    EXPECT_EQ(parse_time("1714566645"), 1714566645);
    EXPECT_THROW(parse_count("12 : 34"), boost::bad_lexical_cast);
    EXPECT_THROW(parse_count(""), boost::bad_lexical_cast);
    EXPECT_THROW(parse_count("4294967296"), boost::bad_lexical_cast);
    EXPECT_THROW(parse_time("1.5"), boost::bad_lexical_cast);
}

TEST(DatabaseLayout, SessionCodeNeedsBothParts) {
    EXPECT_EQ(make_session_code(std::string("12"), std::string("34")), "12 : 34");
    EXPECT_EQ(make_session_code(std::string(""), std::string("34")), "");
    EXPECT_EQ(make_session_code(std::string("12"), std::string("")), "");
    EXPECT_EQ(make_session_code(std::wstring(L"Поезд"), std::wstring(L"5")), L"Поезд : 5");
}

TEST(DatabaseLayout, PlaceholderIsBlackWithOneWhiteLineAtTopLeft) {
    cv::Mat image = make_placeholder_frame("Requested frame not found [10]");
    ASSERT_EQ(image.type(), CV_8UC1);
    EXPECT_EQ(image.cols, 640);
    EXPECT_EQ(image.rows, 480);
    cv::Mat expected(480, 640, CV_8UC1, cv::Scalar(0));
    cv::putText(expected, "Requested frame not found [10]", cv::Point(15, 15), cv::FONT_HERSHEY_SIMPLEX, 0.5,
                cv::Scalar(255), 1, cv::LINE_8, false);
    EXPECT_EQ(cv::countNonZero(image != expected), 0);
    EXPECT_GT(cv::countNonZero(image(cv::Rect(0, 0, 640, 25))), 0);
    EXPECT_EQ(cv::countNonZero(image(cv::Rect(0, 30, 640, 450))), 0);
}

TEST(DatabaseLayout, LocaleTextRoundTripsAndNeverFails) {
    EXPECT_EQ(to_narrow(L"правый"), "\xd0\xbf\xd1\x80\xd0\xb0\xd0\xb2\xd1\x8b\xd0\xb9");
    EXPECT_EQ(to_wide(to_narrow(L"Код : 1")), L"Код : 1");
    EXPECT_EQ(to_wide("a\xff"
                      "b"),
              L"a\uFFFDb");                 // damaged bytes still show
    EXPECT_EQ(to_wide("\xd0"), L"\uFFFD");  // truncated sequence
}

TEST(DatabaseLayout, TimesFormatAsLocalIsoOrEmpty) {
    EXPECT_EQ(format_local_time(invalid_time), L"");
    std::wstring text = format_local_time(1714566645);
    ASSERT_EQ(text.size(), 19u);
    EXPECT_EQ(text[4], L'-');
    EXPECT_EQ(text[10], L' ');
    EXPECT_EQ(text[13], L':');
}

TEST(DatabaseLayout, DecodingGarbageGivesAnEmptyImage) {
    EXPECT_TRUE(decode_frame("not a jpeg").empty());
    EXPECT_TRUE(decode_frame("").empty());
    EXPECT_TRUE(decode_frame("\xff\xd8\xff\xe0 truncated").empty());
}

// A damaged header claiming a gigapixel frame is refused before OpenCV would allocate
// gigabytes for it; real frames still decode.
TEST(DatabaseLayout, HugeClaimedJpegDimensionsAreRefused) {
    std::vector<uchar> encoded;
    cv::imencode(".jpeg", cv::Mat(48, 64, CV_8UC1, cv::Scalar(90)), encoded);
    std::string bytes(encoded.begin(), encoded.end());
    ASSERT_EQ(decode_frame(bytes).cols, 64);
    const std::size_t sof = bytes.find("\xff\xc0");
    ASSERT_NE(sof, std::string::npos);
    bytes[sof + 5] = bytes[sof + 7] = '\x7d';  // 32000 x 32000
    bytes[sof + 6] = bytes[sof + 8] = '\x00';
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(decode_frame(bytes).empty());
    EXPECT_TRUE(decode_frame(bytes.substr(0, bytes.find("\xff\xda") + 20)).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}
