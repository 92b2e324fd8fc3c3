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
    EXPECT_EQ(model.cell(0, 6), L"1.5 KB");
    EXPECT_EQ(model.cell(0, 7), L"3");
    EXPECT_EQ(model.cell(1, 4), L"-");
    EXPECT_EQ(model.cell(1, 6), L"Not available");
    EXPECT_EQ(model.cell(2, 6), L"5.0 GB");  // the full 64-bit size, not modulo 2^32
    EXPECT_EQ(model.cell(2, 7), L"12345678901");
    EXPECT_EQ(model.cell(0, 8), L"");
    EXPECT_EQ(model.cell(0, -1), L"");
    EXPECT_EQ(model.cell(3, 0), L"");
}

TEST(DatabaseListModel, HeadingsAndSelectedPath) {
    EXPECT_EQ(database_list_model::heading(0), L"Код сеанса");
    EXPECT_EQ(database_list_model::heading(6), L"Размер");
    EXPECT_EQ(database_list_model::heading(7), L"Число записей");
    EXPECT_EQ(database_list_model::heading(8), L"");
    database_list_model model;
    EXPECT_EQ(model.path(-1), L"");  // nothing selected
    model.append(entry(0, 1, 1, 1));
    EXPECT_EQ(model.path(0), L"/data/2024.05.01 12.30.45");
    EXPECT_EQ(model.path(1), L"");
}
