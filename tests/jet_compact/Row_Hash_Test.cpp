// The hash by which a compaction compares each written row with its source: whatever a
// reader sees of the row changes it (a byte of the row, a byte or the length of a long
// value, which column holds which value), what differs between two files holding the same
// row does not (the long-value definitions' pointers), and its parts, made apart, add up
// to it whatever the order.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "jet/engine/Compactor.h"
#include "jet/file/Format.h"
#include "jet/row/Rows.h"

namespace {

namespace jet = kelbrook::jet;
namespace f = kelbrook::jet::format;

struct Stored_Row {
    std::vector<std::uint8_t> bytes;
    std::vector<jet::Long_Value_Field> long_values;
};

// A row of 60 bytes with two long-value definitions (at 10 and 30) whose values are
// stored apart, and one stored in the row (at 44, its 4 bytes after the definition).
Stored_Row Sample_Row() {
    Stored_Row row;
    row.bytes.resize(60);
    for (std::size_t i = 0; i < row.bytes.size(); ++i) row.bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    auto value = [](std::size_t size, std::uint8_t seed) {
        std::vector<std::uint8_t> v(size);
        for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 13);
        return v;
    };
    row.long_values.push_back({3, 10, f::Long_Value_Chain, 9000, value(9000, 5), {}, false, {}});
    row.long_values.push_back({4, 30, f::Long_Value_Single_Row, 100, value(100, 9), {}, false, {}});
    row.long_values.push_back({5, 44, f::Long_Value_Inline, 4, {row.bytes.begin() + 56, row.bytes.end()}, {}, false, {}});
    return row;
}

std::uint64_t Hash_Of(const Stored_Row& row) { return jet::Stored_Row_Hash(row.bytes, row.long_values); }

TEST(Row_Hash, Changes_With_What_A_Reader_Sees_And_Only_That) {
    const Stored_Row sample = Sample_Row();
    const std::uint64_t base = Hash_Of(sample);
    struct Case {
        const char* what;
        std::function<void(Stored_Row&)> change;
        bool same;
    };
    const std::vector<Case> cases = {
        {"a byte of the row", [](Stored_Row& r) { r.bytes[2] ^= 1; }, false},
        {"the row's last byte", [](Stored_Row& r) { r.bytes.back() ^= 0x80; }, false},
        {"a byte of a long value", [](Stored_Row& r) { r.long_values[0].value[8999] ^= 1; }, false},
        {"a long value one byte longer", [](Stored_Row& r) { r.long_values[1].value.push_back(0); }, false},
        {"a long value empty", [](Stored_Row& r) { r.long_values[1].value.clear(); }, false},
        {"two values in each other's column",
         [](Stored_Row& r) { std::swap(r.long_values[0].value, r.long_values[1].value); }, false},
        {"a value in another column", [](Stored_Row& r) { r.long_values[1].column_number = 6; }, false},
        {"the row one byte shorter", [](Stored_Row& r) { r.bytes.pop_back(); }, false},
        {"the definitions' pointers and storage",
         [](Stored_Row& r) {
             for (std::size_t i = 10; i < 22; ++i) r.bytes[i] = 0xEE;
             for (std::size_t i = 30; i < 42; ++i) r.bytes[i] = 0;
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Stored_Row changed = sample;
        c.change(changed);
        if (c.same)
            EXPECT_EQ(Hash_Of(changed), base);
        else
            EXPECT_NE(Hash_Of(changed), base);
    }
}

TEST(Row_Hash, Parts_Made_Apart_Add_Up_To_The_Whole) {
    const Stored_Row row = Sample_Row();
    // As the compactor makes it: the row and the value stored in it on the reading
    // thread, the values stored apart where the row is written.
    std::uint64_t read_side = jet::Row_Bytes_Part(row.bytes, row.long_values);
    read_side += jet::Long_Value_Part(row.long_values[2].column_number, row.long_values[2].value);
    std::uint64_t sum = read_side;
    for (std::size_t i : {1u, 0u}) sum += jet::Long_Value_Part(row.long_values[i].column_number, row.long_values[i].value);
    EXPECT_EQ(jet::Row_Hash_Of_Parts(sum), Hash_Of(row));
    // A row without long values, as the error table's rows are hashed.
    EXPECT_EQ(jet::Stored_Row_Hash(row.bytes, {}), jet::Row_Hash_Of_Parts(jet::Row_Bytes_Part(row.bytes, {})));
}

// A value given in pieces (as they lie on its pages) hashes as the same bytes joined,
// wherever the pieces break: inside a block of four words, a word or the last few bytes,
// with empty pieces among them.
TEST(Row_Hash, A_Value_In_Pieces_Hashes_As_Its_Bytes_Joined) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> cuts;  // where pieces end, ascending
    };
    const std::vector<Case> cases = {
        {0, {}},        {0, {0, 0}},          {5, {2}},           {8, {3, 8}},         {31, {8, 16, 24}},
        {63, {1, 62}},  {64, {32}},           {64, {5, 37}},      {65, {64}},          {100, {33, 33, 97}},
        {4040, {4036}}, {9000, {4, 4036, 8072}}, {9000, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 8999}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " bytes, " << c.cuts.size() << " cuts");
        std::vector<std::uint8_t> bytes(c.size);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
        jet::Long_Value_Field lv;
        lv.column_number = 3;
        std::size_t from = 0;
        for (std::size_t cut : c.cuts) {
            lv.pieces.push_back({nullptr, std::span<const std::uint8_t>(bytes).subspan(from, cut - from)});
            from = cut;
        }
        lv.pieces.push_back({nullptr, std::span<const std::uint8_t>(bytes).subspan(from)});
        const std::uint64_t joined = jet::Long_Value_Part(3, bytes);
        EXPECT_EQ(jet::Long_Value_Part(lv), joined);
        if (c.size > 0) {
            bytes[c.size / 2] ^= 1;
            EXPECT_NE(jet::Long_Value_Part(lv), joined);
        }
    }
}

}  // namespace
