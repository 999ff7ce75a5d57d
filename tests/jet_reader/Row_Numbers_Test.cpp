// Row numbers by row pointer: rows in the first 64 slots of a page, in later slots (the
// second table), pages skipped, and pointers that name no row.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "jet/row/Row_Numbers.h"
#include "jet/util/Error.h"

namespace {

namespace jet = kelbrook::jet;

struct Numbering_Case {
    const char* name;
    std::vector<jet::Row_Pointer> rows;  // in order; row k gets number k
};

class Row_Numbers_Test : public ::testing::TestWithParam<Numbering_Case> {};

TEST_P(Row_Numbers_Test, Every_Row_Gets_Its_Number_And_No_Other_Pointer_Any) {
    const auto& rows = GetParam().rows;
    jet::Row_Numbers numbers;
    for (const auto& p : rows) numbers.Add(p);
    ASSERT_EQ(numbers.Count(), rows.size());
    for (std::uint32_t k = 0; k < rows.size(); ++k)
        EXPECT_EQ(numbers.Of(rows[k]), std::optional<std::uint32_t>(k)) << rows[k].page << "/" << int(rows[k].row);
    // Every slot of every page up to one past the last: only the rows added have a number.
    const std::uint32_t last_page = rows.empty() ? 0 : rows.back().page;
    for (std::uint32_t page = 0; page <= last_page + 1; ++page)
        for (unsigned slot = 0; slot < 256; ++slot) {
            const jet::Row_Pointer p{page, static_cast<std::uint8_t>(slot)};
            bool added = false;
            for (const auto& r : rows) added = added || r == p;
            if (!added) {
                EXPECT_FALSE(numbers.Of(p).has_value()) << page << "/" << slot;
            }
        }
}

std::vector<jet::Row_Pointer> Crowded_Pages() {
    std::vector<jet::Row_Pointer> rows;
    for (std::uint32_t page : {3u, 4u, 9u})
        for (unsigned slot = 0; slot < 256; slot += page == 4 ? 1 : 7)
            rows.push_back({page, static_cast<std::uint8_t>(slot)});
    return rows;
}

const Numbering_Case Numbering_Cases[] = {
    {"None", {}},
    {"One_Page", {{5, 0}, {5, 1}, {5, 2}, {5, 40}}},
    {"Gaps_Between_Pages", {{2, 3}, {7, 0}, {7, 63}, {200, 9}}},
    {"Only_Later_Slots", {{6, 64}, {6, 130}, {6, 255}, {8, 1}}},
    {"Slots_Across_Every_Word", {{1, 0}, {1, 63}, {1, 64}, {1, 127}, {1, 128}, {1, 191}, {1, 192}, {1, 255}, {2, 200}}},
    {"Crowded_Pages", Crowded_Pages()},
};

INSTANTIATE_TEST_SUITE_P(Layouts, Row_Numbers_Test, ::testing::ValuesIn(Numbering_Cases),
                         [](const ::testing::TestParamInfo<Numbering_Case>& info) { return info.param.name; });

TEST(Row_Numbers, Refuses_Rows_Out_Of_Order) {
    for (const auto& second : {jet::Row_Pointer{4, 1}, jet::Row_Pointer{3, 9}, jet::Row_Pointer{4, 0}}) {
        jet::Row_Numbers numbers;
        numbers.Add({4, 1});
        EXPECT_THROW(numbers.Add(second), jet::Error) << second.page << "/" << int(second.row);
    }
}

}  // namespace
