#include "log/log_backlog.h"
#include "log/log_row.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::tm fixed_time() {
    std::tm t{};
    t.tm_year = 124;
    t.tm_mon = 4;
    t.tm_mday = 1;
    t.tm_hour = 12;
    return t;
}

void add_row(log_backlog& backlog, const std::wstring& message) {
    const std::wstring row = format_log_row(log_kind::info, fixed_time(), message);
    std::size_t start = 0;
    while (start < row.size()) {
        const std::size_t end = row.find(L'\n', start);
        backlog.add_line(row.substr(start, end - start));
        start = end + 1;
    }
}

std::size_t count_with(const std::vector<std::wstring>& rows, const std::wstring& text) {
    std::size_t n = 0;
    for (const auto& r : rows) n += r.find(text) != std::wstring::npos;
    return n;
}

}  // namespace

// Rows arrive line by line and leave whole, oldest first; a flood beyond the bound (in rows or
// in characters) is cut at the bound, and one row after the drain says how many went.
TEST(LogBacklog, HoldsAtMostItsBoundAndReportsWhatWasLeftOut) {
    struct flood {
        const char* name;
        std::size_t max_rows, max_chars, posted, message_chars;
        std::size_t kept;
    };
    const std::size_t row_chars = format_log_row(log_kind::info, fixed_time(), std::wstring(100, L'x')).size();
    const std::vector<flood> floods = {
        {"within the bound", 50, 1u << 20, 50, 100, 50},
        {"rows bound", 50, 1u << 20, 10000, 100, 50},
        {"characters bound", 10000, row_chars * 20, 10000, 100, 20},
    };
    for (const auto& f : floods) {
        log_backlog backlog(f.max_rows, f.max_chars, fixed_time);
        for (std::size_t i = 0; i < f.posted; ++i) add_row(backlog, std::wstring(f.message_chars, L'x'));
        EXPECT_LE(backlog.pending_chars(), f.max_chars) << f.name;
        EXPECT_EQ(backlog.left_out(), f.posted - f.kept) << f.name;

        std::vector<std::wstring> taken;
        std::size_t batches = 0;
        while (!backlog.empty()) {
            auto batch = backlog.take(7);
            EXPECT_LE(batch.size(), 7u) << f.name;
            taken.insert(taken.end(), batch.begin(), batch.end());
            ++batches;
        }
        const bool cut = f.posted > f.kept;
        ASSERT_EQ(taken.size(), f.kept + (cut ? 1 : 0)) << f.name;
        EXPECT_EQ(count_with(taken, L"<tr>"), taken.size()) << f.name;
        const std::wstring report = log_backlog::left_out_message(f.posted - f.kept);
        EXPECT_EQ(count_with(taken, report), cut ? 1u : 0u) << f.name;
        if (cut) {
            EXPECT_NE(taken.back().find(L"color='red'"), std::wstring::npos) << f.name;
        }
        EXPECT_EQ(backlog.pending_chars(), 0u) << f.name;
    }
}

TEST(LogBacklog, KeepsOrderAndTakesStrayLinesAsRowsOfTheirOwn) {
    log_backlog backlog(100, 1u << 20, fixed_time);
    backlog.add_line(L"<html>");
    add_row(backlog, L"first");
    backlog.add_line(L"stray");
    backlog.add_line(L"<tr>");  // a row still open is not taken
    backlog.add_line(L"<td>x</td>");
    auto rows = backlog.take(10);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], L"<html>\n");
    EXPECT_NE(rows[1].find(L"first"), std::wstring::npos);
    EXPECT_EQ(rows[2], L"stray\n");
    backlog.add_line(L"</tr>");
    rows = backlog.take(10);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], L"<tr>\n<td>x</td>\n</tr>\n");
}

// One report per flood: a second flood after the drain gets a report of its own count.
TEST(LogBacklog, EachFloodIsReportedOnceAfterItDrains) {
    log_backlog backlog(3, 1u << 20, fixed_time);
    for (int flood : {10, 5}) {
        for (int i = 0; i < flood; ++i) add_row(backlog, L"row");
        auto first = backlog.take(2);
        EXPECT_EQ(count_with(first, L"пропущено"), 0u);  // not while rows still wait
        auto rest = backlog.take(10);
        ASSERT_EQ(rest.size(), 2u);
        EXPECT_NE(rest.back().find(log_backlog::left_out_message(static_cast<std::size_t>(flood - 3))),
                  std::wstring::npos);
        EXPECT_TRUE(backlog.take(10).empty());
    }
}
