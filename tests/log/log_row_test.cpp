#include "log/log_page.h"
#include "log/log_row.h"

#include <gtest/gtest.h>

namespace {

std::tm december_8_2026_014433() {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 1;
    t.tm_min = 44;
    t.tm_sec = 33;
    return t;
}

TEST(log_row, information_and_error_rows_have_the_four_lines) {
    const std::tm t = december_8_2026_014433();
    EXPECT_EQ(format_log_row(log_kind::info, t, L"Борт: левый"),
              L"<tr>\n<td>08.12.2026 01:44:33</td>\n<td> <font color='blue'>Борт: левый</font></td>\n</tr>\n");
    EXPECT_EQ(format_log_row(log_kind::error, t, L"x"),
              L"<tr>\n<td>08.12.2026 01:44:33</td>\n<td> <font color='red'>x</font></td>\n</tr>\n");
}

TEST(log_row, markup_in_a_message_is_escaped_and_cannot_end_the_row) {
    const std::wstring row =
        format_log_row(log_kind::info, december_8_2026_014433(), L"<b>код</b>\n</tr>\n<tr> & 'a' \"b\"");
    EXPECT_EQ(row.find(L"<b>"), std::wstring::npos);
    EXPECT_NE(row.find(L"&lt;b&gt;код&lt;/b&gt;\n&lt;/tr&gt;\n&lt;tr&gt; &amp; &#39;a&#39; &quot;b&quot;"),
              std::wstring::npos);
    // Still exactly one row end, at the end.
    EXPECT_EQ(row.find(L"</tr>"), row.size() - 6);
}

TEST(log_page, keeps_the_head_and_only_the_most_recent_rows) {
    log_page page(3);
    for (const wchar_t* head : {L"<html>", L"<table>", L"<tbody>"}) EXPECT_TRUE(page.add_line(head));
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(page.add_line(L"<tr>"));
        EXPECT_FALSE(page.add_line(L"<td>" + std::to_wstring(i) + L"</td>"));
        EXPECT_TRUE(page.add_line(L"</tr>"));
    }
    EXPECT_EQ(page.row_count(), 3u);
    EXPECT_EQ(page.dropped_rows(), 2u);
    EXPECT_EQ(page.html(),
              L"<html>\n<table>\n<tbody>\n"
              L"<tr>\n<td>2</td>\n</tr>\n<tr>\n<td>3</td>\n</tr>\n<tr>\n<td>4</td>\n</tr>\n");
}

TEST(log_page, a_stray_line_outside_a_row_is_shown_as_its_own_entry) {
    log_page page(10);
    page.add_line(L"<html>");
    EXPECT_TRUE(page.add_line(L"plain text"));
    EXPECT_EQ(page.row_count(), 1u);
    // A head tag that comes after rows is just another line, not part of the head.
    page.add_line(L"<tbody>");
    EXPECT_EQ(page.row_count(), 2u);
}

}  // namespace
