#include <gtest/gtest.h>

#include "database/database_list_model.h"

namespace {

registry_entry entry(std::uint32_t start, std::uint32_t end, std::uint64_t size, std::uint64_t count) {
    registry_entry e;
    e.info.session = L"12 : 34";
    e.info.side = L"левый";
    e.info.time_start = L"2024-05-01 12:30:45";
    e.info.time_end = L"2024-05-01 12:40:00";
    e.info.dpp_start = start;
    e.info.dpp_end = end;
    e.info.size = size;
    e.info.count = count;
    e.info.orientation = L"hidden";
    e.path = L"/data/2024.05.01 12.30.45";
    return e;
}

}  // namespace

TEST(DatabaseListModel, CellTexts) {
    database_list_model model;
    model.append(entry(5, 4294967295u, 1536, 3));
    model.append(entry(4294967295u, 9, 0, 0));
    model.append(entry(0, 1, 5ull << 30, 12345678901ull));

    EXPECT_EQ(model.cell(0, 0), L"12 : 34");
    EXPECT_EQ(model.cell(0, 1), L"левый");
    EXPECT_EQ(model.cell(0, 2), L"2024-05-01 12:30:45");
    EXPECT_EQ(model.cell(0, 3), L"2024-05-01 12:40:00");
    EXPECT_EQ(model.cell(0, 4), L"5");
    EXPECT_EQ(model.cell(0, 5), L"-");
    EXPECT_EQ(model.cell(0, 6), L"1,5 КБ");
    EXPECT_EQ(model.cell(0, 7), L"3");
    EXPECT_EQ(model.cell(1, 4), L"-");
    EXPECT_EQ(model.cell(1, 6), L"—");
    EXPECT_EQ(model.cell(2, 6), L"5,0 ГБ");  // the full 64-bit size, not modulo 2^32
    EXPECT_EQ(model.cell(2, 7), L"12345678901");
    EXPECT_EQ(model.cell(0, 8), L"—");  // nothing said of it by the depot upload
    EXPECT_EQ(model.cell(0, 9), L"");
    EXPECT_EQ(model.cell(0, -1), L"");
    EXPECT_EQ(model.cell(3, 0), L"");
}

TEST(DatabaseListModel, HeadingsAndSelectedPath) {
    EXPECT_EQ(database_list_model::heading(0), L"Код сеанса");
    EXPECT_EQ(database_list_model::heading(6), L"Размер");
    EXPECT_EQ(database_list_model::heading(7), L"Число записей");
    EXPECT_EQ(database_list_model::heading(8), L"Депо");
    EXPECT_EQ(database_list_model::heading(9), L"");
    database_list_model model;
    EXPECT_EQ(model.path(-1), L"");  // nothing selected
    model.append(entry(0, 1, 1, 1));
    EXPECT_EQ(model.path(0), L"/data/2024.05.01 12.30.45");
    EXPECT_EQ(model.path(1), L"");
}

TEST(DatabaseListModel, DepotColumnFollowsTheFolderNameAcrossReloads) {
    database_list_model model;
    model.append(entry(0, 1, 1, 1));
    model.set_depot_text(L"2024.05.01 12.30.45", L"выгружается 37 %");
    model.set_depot_text(L"other", L"в депо");
    EXPECT_EQ(model.cell(0, 8), L"выгружается 37 %");
    model.assign({entry(0, 1, 1, 1)});  // a rescan keeps what the upload said
    EXPECT_EQ(model.cell(0, 8), L"выгружается 37 %");
    model.clear_depot_texts();
    EXPECT_EQ(model.cell(0, 8), L"—");
}

namespace {

registry_entry dated(const wchar_t* start, const wchar_t* path) {
    registry_entry e = entry(1, 2, 3, 4);
    e.info.time_start = start;
    e.path = path;
    return e;
}

std::vector<std::wstring> paths(const database_list_model& model) {
    std::vector<std::wstring> out;
    for (const auto& r : model.rows()) out.push_back(r.path);
    return out;
}

}  // namespace

TEST(DatabaseListModel, RowsAreNewestFirstHoweverTheyArrive) {
    // In the order a directory listing or a session change might report them.
    const std::vector<registry_entry> arrivals{
        dated(L"2024-05-01 12:30:45", L"/d/2024.05.01 12.30.45"),
        dated(L"", L"/d/unknown"),
        dated(L"2024-05-02 08:00:00", L"/d/2024.05.02 08.00.00"),
        dated(L"2023-12-31 23:59:59", L"/d/2023.12.31 23.59.59"),
        dated(L"2024-05-01 12:30:45", L"/d/2024.05.01 12.30.45 b"),  // same second: by folder
        dated(L"2024-05-01 12:31:00", L"/d/2024.05.01 12.31.00"),
    };
    const std::vector<std::wstring> newest_first{L"/d/2024.05.02 08.00.00",   L"/d/2024.05.01 12.31.00",
                                                 L"/d/2024.05.01 12.30.45 b", L"/d/2024.05.01 12.30.45",
                                                 L"/d/2023.12.31 23.59.59",   L"/d/unknown"};
    database_list_model appended;
    for (const auto& e : arrivals) appended.append(e);
    EXPECT_EQ(paths(appended), newest_first);

    database_list_model assigned;
    assigned.assign(arrivals);
    EXPECT_EQ(paths(assigned), newest_first);

    EXPECT_EQ(assigned.row_of(L"/d/2024.05.01 12.31.00"), 1);
    EXPECT_EQ(assigned.row_of(L"/d/gone"), -1);
    EXPECT_EQ(assigned.row_of(L""), -1);
}

TEST(DatabaseListModel, ColumnWidthsFitTheWidestHeadingOrCell) {
    // A font where every character is 7 pixels wide, except 'W' at 20.
    auto measure = [](const std::wstring& text) {
        int w = 0;
        for (wchar_t c : text) w += c == L'W' ? 20 : 7;
        return w;
    };
    database_list_model model;
    auto widths = model.column_widths(measure, 10);
    ASSERT_EQ(widths.size(), static_cast<std::size_t>(database_list_model::column_count));
    for (int c = 0; c < database_list_model::column_count; ++c)  // no rows: the headings decide
        EXPECT_EQ(widths[static_cast<std::size_t>(c)], measure(database_list_model::heading(c)) + 10) << c;

    registry_entry long_code = entry(1, 4294967295u, 1536, 3);
    long_code.info.session = L"Очень длинный код сеанса : 12345";
    model.append(long_code);
    registry_entry wide = entry(1, 2, 3, 4);
    wide.info.session = L"WWWWWWWWWWWWWWWWWWWWW";  // fewer characters, wider
    model.append(wide);
    widths = model.column_widths(measure, 10);
    EXPECT_EQ(widths[0], 21 * 20 + 10);
    EXPECT_EQ(widths[2], measure(L"2024-05-01 12:30:45") + 10);  // "Время начала" is narrower
    EXPECT_EQ(widths[7], measure(L"Число записей") + 10);
}
