// Damaged copies of real databases: every kind of damage gives a jet::Error naming the
// file, the page and what is wrong, or a finding of check; never a crash, a hang or
// unbounded memory (run under the asan preset as well).
#include <functional>
#include <random>

#include "Reader_Test_Util.h"
#include "jet/engine/Check.h"
#include "jet/row/Data_Page.h"
#include "jet/engine/Database.h"
#include "jet/index/Index.h"

namespace reader_test {
namespace {

namespace jet = kelbrook::jet;
namespace fmt = kelbrook::jet::format;
using Bytes = std::vector<std::uint8_t>;

std::size_t At(std::uint32_t page, std::size_t offset) { return static_cast<std::size_t>(page) * fmt::Page_Size + offset; }

// Where a row's bytes start in the file.
std::size_t Row_Start(const Bytes& b, jet::Row_Pointer p) {
    return At(p.page, jet::Get_U16(b, At(p.page, fmt::Data_Row_Table + 2 * p.row)) & fmt::Row_Offset_Mask);
}

// Reads everything a reader can: every table's rows and values and every index.
// Returns the first error, or "" when all was read.
std::string Read_All(const fs::path& path) {
    try {
        jet::Database db(path);
        for (const auto& t : db.Tables(true)) {
            const auto& def = db.Definition(t);
            db.Rows(def, [&](const jet::Live_Row& row) { db.Decode(def, row); });
            for (const auto& ix : def.real_indexes) jet::Walk_Index(db.File(), def, ix, [](const jet::Index_Entry&) {});
        }
    } catch (const jet::Error& e) {
        return e.what();
    }
    return "";
}

struct Damage {
    std::string name;
    std::string file;
    // Patches the file's bytes; `db` is the undamaged database, for finding things.
    std::function<void(Bytes&, const jet::Database& db)> patch;
    std::string expected;  // in the read error or a check line
    bool reading_fails = true;  // false: only check can see it
};

const jet::Table_Definition& User_Table(const jet::Database& db) { return db.Definition(db.Tables(false).front()); }

// The first live row of the first user table that is not overflowed.
jet::Row_Pointer First_Row(const jet::Database& db) {
    jet::Row_Pointer found{};
    bool done = false;
    db.Rows(User_Table(db), [&](const jet::Live_Row& r) {
        if (!done) found = r.header;
        done = true;
    });
    if (!done) throw std::runtime_error("the first user table has no rows");
    return found;
}

// A leaf page of the first index of the first user table, and the offset of the first
// byte of its first entry that is not shared with the others.
std::pair<std::uint32_t, std::size_t> Leaf_With_Entries(const jet::Database& db, std::size_t min_entries) {
    const auto& t = User_Table(db);
    std::vector<std::uint32_t> pages;
    jet::Walk_Index(db.File(), t, t.real_indexes.at(0), [](const jet::Index_Entry&) {}, &pages);
    for (auto p : pages) {
        auto page = jet::Read_Index_Page(db.File(), p);
        auto raw = db.File().Read(p);
        std::size_t prefix = jet::Get_U16(*raw, fmt::Index_Prefix_Length);
        if (page.type == fmt::Page_Type_Index_Leaf && page.entries.size() >= min_entries &&
            prefix + fmt::Index_Row_Pointer_Size < page.entries[0].size())
            return {p, fmt::Index_Entries + prefix};
    }
    throw std::runtime_error("no index leaf with enough entries");
}

// A long value of the given storage kind somewhere in the corpus: the file, its row and
// the value.
struct Found_Value {
    std::string file;
    jet::Row_Pointer row;
    jet::Long_Value_Field value;
};
std::optional<Found_Value> Find_Long_Value(std::uint8_t storage, std::size_t min_pages) {
    for (const auto& f : Corpus_Files()) {
        if (f == "encodedV2000.mdb") continue;
        jet::Database db(Corpus() / f);
        for (const auto& t : db.Tables(true)) {
            std::optional<Found_Value> found;
            db.Rows(db.Definition(t), [&](const jet::Live_Row& r) {
                if (found) return;
                for (const auto& lv : r.long_values)
                    if (lv.storage == storage && lv.pages.size() >= min_pages) found = Found_Value{f, r.header, lv};
            });
            if (found) return found;
        }
    }
    return std::nullopt;
}

std::vector<Damage> Damages() {
    std::vector<Damage> d;
    d.push_back({"truncated_at_a_page_boundary", "bigIndexTestV2000.mdb",
                 [](Bytes& b, const jet::Database&) { b.resize(20 * fmt::Page_Size); }, "out of range"});
    d.push_back({"table_map_page_out_of_range", "delTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) {
                     jet::Put_U24(b, At(User_Table(db).page, fmt::Tdef_Owned_Map + 1), 0xFFFFFF);
                 },
                 "page number out of range"});
    d.push_back({"definition_chain_loops", "delTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) {
                     auto page = User_Table(db).page;
                     jet::Put_U32(b, At(page, fmt::Tdef_Next_Page), page);
                 },
                 "loops back"});
    d.push_back({"definition_column_count_impossible", "delColTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) { jet::Put_U16(b, At(User_Table(db).page, fmt::Tdef_Columns), 0xFFFF); },
                 "table definition is damaged"});
    d.push_back({"row_offset_inside_the_page_header", "overflowTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) {
                     auto p = First_Row(db);
                     jet::Put_U16(b, At(p.page, fmt::Data_Row_Table + 2 * p.row), 5);
                 },
                 "impossible position"});
    d.push_back({"row_count_past_the_page", "overflowTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) { jet::Put_U16(b, At(First_Row(db).page, fmt::Data_Row_Count), 0x7FFF); },
                 "does not fit on the page"});
    d.push_back({"overflow_row_points_at_itself", "delTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) {
                     auto p = First_Row(db);
                     std::size_t slot = At(p.page, fmt::Data_Row_Table + 2 * p.row);
                     jet::Put_U16(b, slot, jet::Get_U16(b, slot) | fmt::Row_Flag_Overflow);
                     jet::Put_Row_Pointer(b, Row_Start(b, p), p);
                 },
                 "overflows in a loop"});
    d.push_back({"variable_column_offsets_past_the_row", "fixedTextTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) {
                     auto p = First_Row(db);
                     std::size_t slot = At(p.page, fmt::Data_Row_Table + 2 * p.row);
                     std::size_t end = p.row == 0 ? At(p.page, fmt::Page_Size)
                                                  : At(p.page, jet::Get_U16(b, slot - 2) & fmt::Row_Offset_Mask);
                     std::size_t ncols = jet::Get_U16(b, Row_Start(b, p));
                     jet::Put_U16(b, end - (ncols + 7) / 8 - 4, 0x0FFF);
                 },
                 "variable-column offsets"});
    d.push_back({"index_entries_out_of_order", "compIndexTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) {
                     auto [page, offset] = Leaf_With_Entries(db, 2);
                     b[At(page, offset)] = 0xFF;
                 },
                 "entries out of order", false});
    d.push_back({"index_entry_points_at_a_deleted_row", "indexTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) {
                     auto p = First_Row(db);
                     std::size_t slot = At(p.page, fmt::Data_Row_Table + 2 * p.row);
                     jet::Put_U16(b, slot, jet::Get_U16(b, slot) | fmt::Row_Flag_Deleted);
                 },
                 "which is not a live row", false});
    d.push_back({"index_leaf_chain_broken", "compIndexTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) {
                     auto root = jet::Read_Index_Page(db.File(), User_Table(db).real_indexes.at(0).root);
                     std::uint32_t first_leaf = jet::Get_U32_Big(root.entries.at(0), root.entries[0].size() - 4);
                     jet::Put_U32(b, At(first_leaf, fmt::Index_Next_Page), 0);
                 },
                 "instead of its neighbours", false});
    d.push_back({"index_root_is_not_an_index_page", "compIndexTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) { b[At(User_Table(db).real_indexes.at(0).root, 0)] = fmt::Page_Type_Data; },
                 "expected an index page"});
    d.push_back({"global_map_frees_a_table_definition", "indexTestV2000.mdb",
                 [](Bytes& b, const jet::Database& db) {
                     auto page = User_Table(db).page;
                     std::size_t row = Row_Start(b, jet::Row_Pointer{fmt::Global_Map_Page, 0});
                     std::uint32_t start = jet::Get_U32(b, row + fmt::Map_Inline_Start);
                     b[row + fmt::Map_Inline_Bitmap + (page - start) / 8] |= static_cast<std::uint8_t>(1u << ((page - start) % 8));
                 },
                 "marks pages in use as free", false});
    if (auto chain = Find_Long_Value(fmt::Long_Value_Chain, 2)) {
        d.push_back({"memo_chain_loops", chain->file,
                     [c = *chain](Bytes& b, const jet::Database&) {
                         std::size_t def = Row_Start(b, c.row) + c.value.definition_offset;
                         jet::Row_Pointer first = jet::Get_Row_Pointer(b, def + fmt::Long_Value_Pointer);
                         jet::Put_Row_Pointer(b, Row_Start(b, first), first);
                     },
                     "chain"});
    }
    if (auto single = Find_Long_Value(fmt::Long_Value_Single_Row, 1)) {
        d.push_back({"memo_pointer_out_of_range", single->file,
                     [c = *single](Bytes& b, const jet::Database&) {
                         std::size_t def = Row_Start(b, c.row) + c.value.definition_offset;
                         jet::Put_U24(b, def + fmt::Long_Value_Pointer + 1, 0xFFFFF0);
                     },
                     "page number out of range"});
        d.push_back({"memo_pointer_at_a_definition_page", single->file,
                     [c = *single](Bytes& b, const jet::Database&) {
                         std::size_t def = Row_Start(b, c.row) + c.value.definition_offset;
                         jet::Put_U24(b, def + fmt::Long_Value_Pointer + 1, fmt::Catalog_Tdef_Page);
                     },
                     "not a data page"});
        d.push_back({"memo_page_is_not_a_long_value_page", single->file,
                     [c = *single](Bytes& b, const jet::Database&) {
                         std::size_t def = Row_Start(b, c.row) + c.value.definition_offset;
                         std::uint32_t page = jet::Get_U24(b, def + fmt::Long_Value_Pointer + 1);
                         jet::Put_U32(b, At(page, fmt::Data_Tdef_Page), 0x12345678);
                     },
                     "not a long-value page", false});
        d.push_back({"memo_length_beyond_the_file", single->file,
                     [c = *single](Bytes& b, const jet::Database&) {
                         std::size_t def = Row_Start(b, c.row) + c.value.definition_offset;
                         jet::Put_U24(b, def, 0xFFFFFF);
                         b[def + 3] = (b[def + 3] & 0xC0) | 0x3F;
                     },
                     "more than the whole file holds"});
    }
    return d;
}

class Damaged_File : public testing::TestWithParam<std::string> {};

TEST_P(Damaged_File, Is_Reported_Clearly) {
    REQUIRE_CORPUS();
    auto all = Damages();
    auto it = std::find_if(all.begin(), all.end(), [](const Damage& d) { return d.name == GetParam(); });
    if (it == all.end()) GTEST_SKIP() << "the corpus has no value to damage this way";
    const Damage& damage = *it;
    Temp_Folder temp;
    fs::path path = temp / damage.file;
    {
        jet::Database original(Corpus() / damage.file);
        Patch_Copy(Corpus() / damage.file, path, [&](Bytes& b) { damage.patch(b, original); });
    }
    std::string read_error = Read_All(path);
    auto problems = jet::Check(path);
    std::string all_text = read_error;
    for (const auto& p : problems) all_text += "\n" + p;
    EXPECT_NE(all_text.find(damage.expected), std::string::npos) << all_text;
    EXPECT_FALSE(problems.empty()) << "check found nothing";
    if (damage.reading_fails) {
        EXPECT_NE(read_error, "");
        EXPECT_NE(read_error.find(path.string()), std::string::npos) << read_error;
        EXPECT_NE(read_error.find("page "), std::string::npos) << read_error;
    }
    // jetdb check: one line per problem, exit status 1.
    auto r = Shell(Quote(Jetdb().string()) + " check " + Quote(path.string()));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(Lines(r.out).size(), problems.size());
}

INSTANTIATE_TEST_SUITE_P(Corpus, Damaged_File,
                         testing::Values("truncated_at_a_page_boundary", "table_map_page_out_of_range",
                                         "definition_chain_loops", "definition_column_count_impossible",
                                         "row_offset_inside_the_page_header", "row_count_past_the_page",
                                         "overflow_row_points_at_itself", "variable_column_offsets_past_the_row",
                                         "index_entries_out_of_order", "index_entry_points_at_a_deleted_row",
                                         "index_leaf_chain_broken", "index_root_is_not_an_index_page",
                                         "global_map_frees_a_table_definition", "memo_page_is_not_a_long_value_page",
                                         "memo_chain_loops", "memo_pointer_out_of_range",
                                         "memo_pointer_at_a_definition_page", "memo_length_beyond_the_file"),
                         [](const testing::TestParamInfo<std::string>& i) { return i.param; });

// Random bytes written over random pages: reading and checking may fail, but only with
// jet::Error.
TEST(Random_Damage, Never_Crashes) {
    REQUIRE_CORPUS();
    Temp_Folder temp;
    std::mt19937 random(20261207);
    const std::vector<std::string> files = {"delTestV2000.mdb", "indexTestV2000.mdb", "test2V2000.mdb",
                                            "compIndexTestV2000.mdb", "encodedV2000.mdb"};
    for (int round = 0; round < 40; ++round) {
        const std::string& file = files[round % files.size()];
        fs::path path = temp / ("damaged-" + std::to_string(round) + ".mdb");
        Patch_Copy(Corpus() / file, path, [&](Bytes& b) {
            std::size_t pages = b.size() / fmt::Page_Size;
            for (int hit = 0; hit < 1 + round % 6; ++hit) {
                std::size_t page = 1 + random() % (pages - 1);
                std::size_t offset = random() % fmt::Page_Size;
                std::size_t length = 1 + random() % 16;
                for (std::size_t i = 0; i < length && offset + i < fmt::Page_Size; ++i)
                    b[At(static_cast<std::uint32_t>(page), offset + i)] = static_cast<std::uint8_t>(random());
            }
        });
        SCOPED_TRACE(file + ", round " + std::to_string(round));
        EXPECT_NO_THROW({
            Read_All(path);
            jet::Check(path);
        });
    }
}

}  // namespace
}  // namespace reader_test
