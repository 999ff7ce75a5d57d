// What the writer and compactor take from the reader: the logical table definitions with
// the offsets of the fields they patch, live rows with their long values, index walks,
// and the row digest.
#include <set>

#include "Reader_Test_Util.h"
#include "support/Damage.h"
#include "jet/row/Data_Page.h"
#include "jet/engine/Database.h"
#include "jet/engine/Digest.h"
#include "jet/index/Index.h"
#include "jet/row/Rows.h"

namespace reader_test {
namespace {

namespace jet = kelbrook::jet;
namespace fmt = kelbrook::jet::format;

TEST(Definitions, Record_The_Offsets_A_Writer_Patches) {
    REQUIRE_CORPUS();
    std::size_t foreign_keys = 0, long_value_maps = 0, multi_page = 0;
    for (const auto& f : Corpus_Files()) {
        SCOPED_TRACE(f);
        jet::Database db(Corpus() / f);
        std::set<std::uint32_t> table_pages;
        for (const auto& t : db.Tables(true)) table_pages.insert(t.Page());
        for (const auto& entry : db.Tables(true)) {
            SCOPED_TRACE(entry.name);
            const auto& t = db.Definition(entry);
            const auto& b = t.bytes;
            ASSERT_EQ(jet::Get_U32(b, fmt::Tdef_Length), b.size());
            EXPECT_EQ(b.size(), t.end_offset);
            EXPECT_EQ(jet::Get_U16(b, b.size() - 2), fmt::Tdef_End_Marker);
            EXPECT_EQ(jet::Get_U32(b, t.num_rows_offset), t.num_rows);
            EXPECT_EQ(jet::Get_Row_Pointer(b, t.owned_map_offset), t.owned_map);
            EXPECT_EQ(jet::Get_Row_Pointer(b, t.free_map_offset), t.free_map);
            if (t.pages.size() > 1) ++multi_page;
            for (const auto& ix : t.real_indexes) {
                EXPECT_EQ(jet::Get_U32(b, ix.root_offset()), ix.root);
                EXPECT_EQ(jet::Get_Row_Pointer(b, ix.page_map_offset()), ix.page_map);
                EXPECT_EQ(jet::Get_U32(b, ix.stats_offset), ix.stats_entries);
                EXPECT_EQ(jet::Get_U32(b, ix.block_offset), fmt::Real_Index_Magic_Value);
            }
            for (const auto& li : t.logical_indexes) {
                EXPECT_EQ(jet::Get_U32(b, li.related_table_offset()), li.related_table_page);
                if (li.Is_Foreign_Key()) {
                    ++foreign_keys;
                    EXPECT_TRUE(table_pages.count(li.related_table_page)) << li.name;
                }
            }
            for (const auto& c : t.columns) {
                EXPECT_EQ(b[c.block_offset + fmt::Column_Type], c.type);
                EXPECT_EQ(jet::Get_U16(b, c.block_offset + fmt::Column_Number), c.number);
                if (c.has_page_maps) {
                    ++long_value_maps;
                    EXPECT_EQ(jet::Get_U16(b, c.page_map_entry_offset), c.number);
                    EXPECT_EQ(jet::Get_Row_Pointer(b, c.page_map_entry_offset + fmt::Column_Map_Owned), c.owned_map);
                }
            }
        }
    }
    // The corpus exercises each kind.
    EXPECT_GT(foreign_keys, 0u);
    EXPECT_GT(long_value_maps, 0u);
    EXPECT_GT(multi_page, 0u);
}

TEST(Rows, Long_Values_Sit_Where_The_Row_Says) {
    REQUIRE_CORPUS();
    std::map<std::uint8_t, std::size_t> kinds;
    for (const auto& f : Corpus_Files()) {
        jet::Database db(Corpus() / f);
        for (const auto& entry : db.Tables(true)) {
            const auto& t = db.Definition(entry);
            db.Rows(t, [&](const jet::Live_Row& row) {
                for (const auto& lv : row.long_values) {
                    ++kinds[lv.storage];
                    ASSERT_LE(lv.definition_offset + fmt::Long_Value_Definition_Size, row.bytes.size());
                    auto field = std::span<const std::uint8_t>(row.bytes).subspan(lv.definition_offset);
                    EXPECT_EQ(jet::Get_U32(field, 0) & fmt::Long_Value_Length_Mask, lv.value.size());
                    EXPECT_EQ(lv.pages.empty(), lv.storage == fmt::Long_Value_Inline);
                    const auto* c = t.Find_Column(lv.column_number);
                    ASSERT_NE(c, nullptr);
                    EXPECT_TRUE(c->Is_Long_Value());
                }
            });
        }
    }
    EXPECT_GT(kinds[fmt::Long_Value_Inline], 0u);
    EXPECT_GT(kinds[fmt::Long_Value_Single_Row], 0u);
    EXPECT_GT(kinds[fmt::Long_Value_Chain], 0u);
}

// Given in place, a long value stored apart is its pages' bytes, in order, still there
// once the walk has moved on, whether the pages are mapped or read into the cache (and
// decoded); one stored in the row is copied.
TEST(Rows, Long_Values_In_Place_Are_The_Copied_Bytes_And_Outlive_The_Walk) {
    REQUIRE_CORPUS();
    std::size_t pieces_seen = 0, several = 0;
    for (const jet::File_System* files : {&jet::Host_Files_Mapped(), &jet::Host_Files_Unmapped()}) {
        for (const auto& f : Corpus_Files()) {
            SCOPED_TRACE(f + (files == &jet::Host_Files_Mapped() ? ", mapped" : ", read"));
            jet::Database db(Corpus() / f, {}, *files);
            for (const auto& entry : db.Tables(true)) {
                SCOPED_TRACE(entry.name);
                const auto& t = db.Definition(entry);
                std::vector<std::vector<std::uint8_t>> copied;
                db.Rows(t, [&](const jet::Live_Row& row) {
                    for (const auto& lv : row.long_values) copied.push_back(lv.value);
                });
                std::vector<jet::Long_Value_Field> in_place;
                db.Rows(
                    t,
                    [&](jet::Live_Row& row) {
                        for (auto& lv : row.long_values) {
                            in_place.emplace_back();
                            in_place.back().storage = lv.storage;
                            in_place.back().value = std::move(lv.value);
                            in_place.back().pieces = std::move(lv.pieces);
                        }
                    },
                    jet::Long_Values::In_Place);
                ASSERT_EQ(in_place.size(), copied.size());
                for (std::size_t i = 0; i < copied.size(); ++i) {
                    const auto& lv = in_place[i];
                    std::vector<std::uint8_t> joined;
                    jet::Each_Span(lv, [&](std::span<const std::uint8_t> b) { joined.insert(joined.end(), b.begin(), b.end()); });
                    EXPECT_EQ(joined, copied[i]) << "value " << i;
                    if (lv.storage == fmt::Long_Value_Inline || copied[i].empty()) {
                        EXPECT_TRUE(lv.pieces.empty());
                    } else {
                        EXPECT_TRUE(lv.value.empty());
                        pieces_seen += lv.pieces.size();
                        if (lv.pieces.size() > 1) ++several;
                    }
                    std::vector<std::uint8_t> through_cursor(copied[i].size());
                    if (!lv.pieces.empty()) {
                        jet::Pieces_Cursor cursor(lv.pieces);
                        const std::size_t half = through_cursor.size() / 2;
                        cursor.Copy(std::span<std::uint8_t>(through_cursor).first(half));
                        cursor.Copy(std::span<std::uint8_t>(through_cursor).subspan(half));
                        EXPECT_EQ(through_cursor, copied[i]);
                    }
                }
            }
        }
    }
    EXPECT_GT(pieces_seen, 0u);
    EXPECT_GT(several, 0u);  // chains, given in several pieces
}

TEST(Rows, Overflowed_And_Deleted_Rows) {
    REQUIRE_CORPUS();
    // overflowTest keeps rows moved to other pages; delTest keeps deleted slots.
    struct Case { std::string file, table; bool overflowed; };
    for (const auto& c : std::vector<Case>{{"overflowTestV2000.mdb", "Table1", true}, {"delTestV2000.mdb", "Table", false}}) {
        jet::Database db(Corpus() / c.file);
        const auto& t = db.Definition(db.Find_Table(c.table));
        std::size_t moved = 0, deleted = 0;
        std::set<jet::Row_Pointer> headers;
        db.Rows(t, [&](const jet::Live_Row& row) {
            EXPECT_TRUE(headers.insert(row.header).second);
            auto page = db.File().Read(row.header.page);
            if (jet::Get_Row_Slot(db.File(), row.header.page, *page, row.header.row).overflow) ++moved;
        });
        for (auto p : jet::Table_Data_Pages(db.File(), t)) {
            auto page = db.File().Read(p);
            for (unsigned r = 0; r < jet::Row_Count(db.File(), p, *page); ++r)
                if (jet::Get_Row_Slot(db.File(), p, *page, r).deleted) ++deleted;
        }
        EXPECT_EQ(moved > 0, c.overflowed) << c.file;
        EXPECT_GT(deleted, 0u) << c.file;
    }
}

// Rows numbered from the pages' row tables alone are numbered as reading the rows numbers
// them, in every table of every sample: deleted slots, moved rows and the slots they
// moved to included. A second thread checks indexes by these numbers.
TEST(Rows, Numbered_From_Row_Tables_As_Reading_Numbers_Them) {
    REQUIRE_CORPUS();
    for (const auto& f : Corpus_Files()) {
        jet::Database db(Corpus() / f);
        for (const auto& entry : db.Tables(true)) {
            const auto& t = db.Definition(entry);
            const jet::Row_Numbers numbers = jet::Table_Row_Numbers(db.File(), t);
            std::uint32_t next = 0;
            db.Rows(t, [&](const jet::Live_Row& row) {
                EXPECT_EQ(numbers.Of(row.header), std::optional<std::uint32_t>(next)) << f << ", table " << entry.name;
                ++next;
            }, jet::Long_Values::Skip);
            EXPECT_EQ(numbers.Count(), next) << f << ", table " << entry.name;
        }
    }
}

TEST(Indexes, Walk_In_Order_Over_Several_Levels) {
    REQUIRE_CORPUS();
    jet::Database db(Corpus() / "compIndexTestV2000.mdb");
    const auto& t = db.Definition(db.Find_Table("Table1"));
    std::size_t rows = 0;
    db.Rows(t, [&rows](const jet::Live_Row&) { ++rows; });
    for (const auto& ix : t.real_indexes) {
        std::vector<jet::Index_Entry> entries;
        std::vector<std::uint32_t> pages;
        jet::Walk_Index(db.File(), t, ix, [&](const jet::Index_Entry& e) { entries.push_back(e); }, &pages);
        EXPECT_EQ(entries.size(), rows);
        for (std::size_t i = 1; i < entries.size(); ++i) ASSERT_LT(jet::Compare_Entries(entries[i - 1], entries[i]), 0);
        if (pages.size() > 1) {
            auto root = jet::Read_Index_Page(db.File(), ix.root);
            EXPECT_EQ(root.type, fmt::Page_Type_Index_Node);
            EXPECT_NE(root.tail, 0u);
        }
    }
}

// A walk asked to compare marks each entry that does not come after the one before it,
// comparing past the prefix a leaf's entries share: the same answer as comparing whole
// entries, in every index of every sample and with two entries of a leaf swapped.
TEST(Indexes, Walk_Marks_Entries_Out_Of_Order_As_A_Whole_Comparison_Does) {
    REQUIRE_CORPUS();
    auto compare_walks = [](const fs::path& file) {
        std::size_t out_of_order = 0;
        jet::Database db(file);
        for (const auto& entry : db.Tables(true)) {
            const auto& t = db.Definition(entry);
            for (const auto& ix : t.real_indexes) {
                jet::Index_Entry previous;
                bool first = true;
                jet::Walk_Index(db.File(), t, ix, [&](const jet::Index_Entry& e) {
                    const bool ordered = first || jet::Compare_Entries(previous, e) < 0;
                    EXPECT_EQ(e.ordered, ordered) << file << ", table " << entry.name << ", page " << e.row.page;
                    out_of_order += !ordered;
                    previous = e;
                    first = false;
                }, nullptr, true);
            }
        }
        return out_of_order;
    };
    for (const auto& f : Corpus_Files()) EXPECT_EQ(compare_walks(Corpus() / f), 0u) << f;

    // Two entries of a leaf swapped, in samples with one leaf and with several.
    Temp_Folder temp;
    for (const char* name : {"indexTestV2000.mdb", "compIndexTestV2000.mdb"}) {
        const auto damaged = kelbrook::testing::Make_Damaged_Copy(name, temp.Path(), kelbrook::testing::Damage::Entry_Order);
        EXPECT_GT(compare_walks(damaged.path), 0u) << damaged.what;
    }
}

// A small generated database, whose last page is replaced by `page`.
fs::path With_Last_Page(const Temp_Folder& dir, const std::string& name, const std::array<std::uint8_t, fmt::Page_Size>& page) {
    const fs::path made = Generated(dir, name + ".made.mdb", "instrument-history", 20, false);
    const fs::path path = dir / (name + ".mdb");
    Patch_Copy(made, path, [&](std::vector<std::uint8_t>& bytes) {
        std::copy(page.begin(), page.end(), bytes.end() - static_cast<std::ptrdiff_t>(fmt::Page_Size));
    });
    return path;
}

// Entries end where the page's entry mask has a bit set: bits at either side of each
// eight-byte word of the mask, and in its last, shorter one, up to the page's end; a bit
// past the page's end is an error that names the page.
TEST(Indexes, Leaf_Entries_End_At_Every_Bit_Of_The_Mask) {
    struct Case {
        std::string name;
        std::vector<std::size_t> bits;  // entry ends, from the first entry's start
        bool past_the_page;
    };
    const std::size_t last_bit = fmt::Page_Size - fmt::Index_Entries;  // ends at the page's end
    const std::vector<Case> cases = {
        {"in_the_first_word", {4, 9, 63}, false},
        {"at_the_last_bit_of_words", {59, 63, 127, 191}, false},
        {"at_the_first_bit_of_words", {60, 64, 128, 192}, false},
        {"either_side_of_the_last_short_word", {3579, 3583, 3590, last_bit}, false},
        {"at_the_first_bit_of_the_last_word", {3580, 3584, 3600}, false},
        {"one_past_the_page", {100, last_bit + 1}, true},
        {"the_mask's_last_bit", {8 * fmt::Index_Entry_Mask_Size - 1}, true},
    };
    Temp_Folder dir;
    for (const auto& c : cases) {
        std::array<std::uint8_t, fmt::Page_Size> page{};
        page[fmt::Page_Type] = fmt::Page_Type_Index_Leaf;
        for (std::size_t i = fmt::Index_Entries; i < fmt::Page_Size; ++i) page[i] = static_cast<std::uint8_t>(i * 7);
        for (const std::size_t bit : c.bits) page[fmt::Index_Entry_Mask + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
        const fs::path path = With_Last_Page(dir, c.name, page);
        jet::Page_File file(path);
        const std::uint32_t last = file.Page_Count() - 1;
        if (c.past_the_page) {
            try {
                jet::Read_Index_Page(file, last);
                ADD_FAILURE() << c.name << ": read without an error";
            } catch (const jet::Error& e) {
                EXPECT_NE(std::string(e.what()).find("page " + std::to_string(last) +
                                                     ": an index entry ends past the end of the page"),
                          std::string::npos)
                    << c.name << ": " << e.what();
            }
            continue;
        }
        const jet::Index_Page read = jet::Read_Index_Page(file, last);
        ASSERT_EQ(read.entries.size(), c.bits.size()) << c.name;
        std::size_t start = 0;
        for (std::size_t k = 0; k < c.bits.size(); ++k) {
            const auto from = page.begin() + static_cast<std::ptrdiff_t>(fmt::Index_Entries + start);
            const auto to = page.begin() + static_cast<std::ptrdiff_t>(fmt::Index_Entries + c.bits[k]);
            EXPECT_EQ(read.entries[k], std::vector<std::uint8_t>(from, to)) << c.name << ", entry " << k;
            start = c.bits[k];
        }
    }
}

// A row split by the plan made for another table's columns is refused, not read by the
// wrong columns.
TEST(Rows, Split_By_Another_Tables_Plan_Is_Refused) {
    Temp_Folder dir;
    jet::Database db(Generated(dir, "history.mdb", "instrument-history", 20, false));
    const auto& events = db.Definition(db.Find_Table("RunEvents"));
    const auto& calibrations = db.Definition(db.Find_Table("Calibrations"));
    ASSERT_NE(events.columns.size(), calibrations.columns.size());
    const jet::Row_Split split(calibrations);
    std::size_t rows = 0;
    db.Rows(events, [&](const jet::Live_Row& row) {
        std::vector<jet::Value> values, expected;
        jet::Decode_Row_Into(events, jet::Row_Split(events), row, [] { return std::string("row"); }, values);
        expected = jet::Decode_Row(events, row, "row");
        ASSERT_EQ(values.size(), expected.size());
        for (std::size_t i = 0; i < values.size(); ++i)
            EXPECT_EQ(jet::Value_To_Json(values[i]), jet::Value_To_Json(expected[i])) << "column " << i;
        EXPECT_THROW(jet::Decode_Row_Into(events, split, row, [] { return std::string("row"); }, values), jet::Error);
        ++rows;
    }, jet::Long_Values::Skip);
    EXPECT_GT(rows, 0u);
}

TEST(Digest, Follows_Values_Not_Layout) {
    REQUIRE_CORPUS();
    // testRefGlobalV2000 holds the same rows as testV2000 behind a different global map.
    jet::Database a(Corpus() / "testV2000.mdb");
    jet::Database b(Corpus() / "testRefGlobalV2000.mdb");
    for (const auto& t : a.Tables(true)) {
        auto da = jet::Digest_Table(a, a.Definition(t));
        auto db_ = jet::Digest_Table(b, b.Definition(b.Find_Table(t.name)));
        EXPECT_EQ(da, db_) << t.name;
        EXPECT_EQ(da.Text().size(), 48u);
    }
    // Changing one value changes the digest but not the row count.
    Temp_Folder temp;
    jet::Row_Pointer first{};
    std::size_t offset = 0;
    const auto& table = a.Definition(a.Find_Table("Table1"));
    bool found = false;
    a.Rows(table, [&](const jet::Live_Row& row) {
        if (found) return;
        auto fields = jet::Split_Row(table, row.bytes, "row");
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (table.columns[i].type == fmt::Type_Int32 && !fields[i].null) {
                first = row.header;
                offset = fields[i].offset;
                found = true;
            }
    });
    ASSERT_TRUE(found);
    fs::path changed = temp / "changed.mdb";
    Patch_Copy(Corpus() / "testV2000.mdb", changed, [&](std::vector<std::uint8_t>& bytes) {
        std::size_t page = static_cast<std::size_t>(first.page) * fmt::Page_Size;
        std::size_t start = jet::Get_U16(bytes, page + fmt::Data_Row_Table + 2 * first.row) & fmt::Row_Offset_Mask;
        bytes[page + start + offset] ^= 0x01;
    });
    jet::Database c(changed);
    auto before = jet::Digest_Table(a, table);
    auto after = jet::Digest_Table(c, c.Definition(c.Find_Table("Table1")));
    EXPECT_EQ(before.rows, after.rows);
    EXPECT_NE(before, after);
}

}  // namespace
}  // namespace reader_test
