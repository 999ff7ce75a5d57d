// The writer's layout, planned without writing a file: images built from nothing (an empty
// table, long values spanning pages, indexes of many levels, more maps than a host page
// holds, a file too large for an inline global map) are planned, and the plan must give
// every page exactly one use, maps that list exactly their table's, index's or column's
// pages, and hosts that hold every map once. Where a file is written too, its size and
// each page's type must match the plan; a corpus image written and read back must show
// the plan's pages to our reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Compact_Test_Support.h"
#include "jet/util/Bytes.h"
#include "jet/engine/Compactor.h"
#include "jet/row/Data_Page.h"
#include "jet/engine/Database.h"
#include "jet/util/Error.h"
#include "jet/index/Key_Encoding.h"
#include "jet/row/Row_Builder.h"
#include "jet/table/Table_Builder.h"
#include "jet/engine/Writer.h"
#include "jet/engine/Writer_Layout.h"

namespace kelbrook::jet {
namespace {

namespace f = format;
using namespace layout;
using test::Read_All;

// ---- Images built from nothing ------------------------------------------------------------

// Id (int32, indexed), Name (text, indexed) and Notes (memo).
Table_Layout Sample_Layout(const std::string& name) {
    Table_Layout t;
    t.name = name;
    t.columns = {{"Id", f::Type_Int32}, {"Name", f::Type_Text, 120}, {"Notes", f::Type_Memo}};
    t.indexes = {Index_Layout{{{0, true}}, f::Index_Flag_Always},
                 Index_Layout{{{1, true}}, f::Index_Flag_Always}};
    t.logical_indexes = {{"PrimaryKey", 0, f::Logical_Index_Primary_Key}, {"Name", 1}};
    t.Lay_Out();
    return t;
}

struct Table_Shape {
    std::size_t rows = 0;
    std::size_t name_chars = 10;      // of each row's Name
    std::vector<std::size_t> notes;   // memo lengths in characters, used in turn (none: null)
};

Table_Shape Shape_Of(std::size_t rows, std::size_t name_chars = 10, std::vector<std::size_t> notes = {}) {
    Table_Shape shape;
    shape.rows = rows;
    shape.name_chars = name_chars;
    shape.notes = std::move(notes);
    return shape;
}

// Letters that differ from the first between seeds, so that keys share little prefix.
std::string Text_Of(std::size_t chars, std::size_t seed) {
    std::string s;
    std::uint32_t x = static_cast<std::uint32_t>(seed) * 2654435761u + 12345u;
    for (std::size_t i = 0; i < chars; ++i) {
        x = x * 1103515245u + 12345u;
        s += static_cast<char>('a' + (x >> 16) % 26);
    }
    return s;
}

Table_Image Sample_Table(const std::string& name, const Table_Shape& shape) {
    const Table_Layout layout = Sample_Layout(name);
    Table_Image table;
    table.name = name;
    table.definition = Build_Definition(layout);
    table.indexes.resize(layout.indexes.size());
    for (std::size_t r = 0; r < shape.rows; ++r) {
        std::vector<Field_Value> values{static_cast<std::int64_t>(r), Text_Of(shape.name_chars, r), std::monostate{}};
        if (!shape.notes.empty()) values[2] = Text_Of(shape.notes[r % shape.notes.size()], r);
        table.rows.push_back(Build_Row(layout, values));
        for (std::size_t i = 0; i < layout.indexes.size(); ++i)
            table.indexes[i].Add(Encode_Index_Key(layout, layout.indexes[i], values), static_cast<std::uint32_t>(r));
    }
    return table;
}

Database_Image Image_Of_Tables(const std::vector<Table_Shape>& shapes) {
    Database_Image image;
    for (std::size_t t = 0; t < shapes.size(); ++t)
        image.tables.push_back(Sample_Table(t == 0 ? "MSysObjects" : "Table" + std::to_string(t), shapes[t]));
    return image;
}

// Rows made on demand: `count` rows of `size` bytes, never held.
class Made_Rows : public Row_Source {
public:
    Made_Rows(std::size_t count, std::size_t size) : count_(count), size_(size) {}
    void Each_Row(const Row_Visitor& visit, bool) override {
        Row_Image row;
        for (std::size_t r = 0; r < count_; ++r) {
            row.bytes.assign(size_, static_cast<std::uint8_t>(r));
            visit(row);
        }
        ++passes;
    }
    int passes = 0;

private:
    std::size_t count_, size_;
};

// ---- What a plan must be -------------------------------------------------------------------

// The use of each page of the file, by page number; fails the test where a page has two
// uses or none.
std::vector<std::string> Page_Uses(const Layout_Plan& plan) {
    std::vector<std::string> uses(plan.total);
    auto use = [&](std::uint32_t page, const std::string& what) {
        if (page >= plan.total) {
            ADD_FAILURE() << what << " on page " << page << ", past the end (" << plan.total << " pages)";
            return;
        }
        EXPECT_TRUE(uses[page].empty()) << "page " << page << " is both " << uses[page] << " and " << what;
        uses[page] = what;
    };
    use(0, "header");
    use(f::Global_Map_Page, "global map");
    for (std::size_t h = 0; h < plan.hosts.size(); ++h) use(plan.first_host + static_cast<std::uint32_t>(h), "map host");
    for (std::uint32_t k : plan.global.bitmap_pages)
        if (k != 0) use(k, "map bitmap");
    for (const auto& table : plan.tables) {
        for (std::uint32_t p = 0; p < table.tdef_pages; ++p) use(table.tdef_page + p, "definition");
        for (std::uint32_t d = 0; d < table.data_pages.size(); ++d) use(table.first_data_page + d, "data");
        for (const auto& col : table.lval_columns)
            for (std::uint32_t p = 0; p < col.pages.size(); ++p) use(col.first_page + p, "long value");
        for (const auto& index : table.indexes)
            for (std::size_t l = 0; l < index.levels.size(); ++l)
                for (const auto& page : index.levels[l]) use(page.page, l == 0 ? "index leaf" : "index node");
        Each_Map(table, [&](const Map_Plan& map, const Map_Plan&) {
            for (std::uint32_t k : map.bitmap_pages)
                if (k != 0) use(k, "map bitmap");
        });
    }
    for (std::uint32_t p = 0; p < uses.size(); ++p) EXPECT_FALSE(uses[p].empty()) << "page " << p << " has no use";
    return uses;
}

std::vector<std::uint32_t> Run(std::uint32_t first, std::size_t count) {
    std::vector<std::uint32_t> pages(count);
    for (std::size_t i = 0; i < count; ++i) pages[i] = first + static_cast<std::uint32_t>(i);
    return pages;
}

bool Is_Subset(const std::vector<std::uint32_t>& part, const std::vector<std::uint32_t>& whole) {
    return std::includes(whole.begin(), whole.end(), part.begin(), part.end());
}

// Each map lists exactly the pages it stands for, and is a reference map exactly when
// those pages span more than an inline row's bitmap (with a bitmap page for each block).
void Expect_Maps_Cover_Their_Pages(const Layout_Plan& plan) {
    for (std::size_t t = 0; t < plan.tables.size(); ++t) {
        SCOPED_TRACE("table " + std::to_string(t));
        const Table_Plan& table = plan.tables[t];
        EXPECT_EQ(table.owned.pages, Run(table.first_data_page, table.data_pages.size()));
        EXPECT_TRUE(Is_Subset(table.free.pages, table.owned.pages));
        for (const auto& index : table.indexes) EXPECT_EQ(index.map.pages, Run(index.first_page, index.page_count));
        for (const auto& col : table.lval_columns) {
            EXPECT_EQ(col.owned.pages, Run(col.first_page, col.pages.size()));
            EXPECT_TRUE(Is_Subset(col.free.pages, col.owned.pages));
        }
        Each_Map(table, [&](const Map_Plan& map, const Map_Plan& range) {
            const bool wide = !range.pages.empty() && range.pages.back() - (range.pages.front() & ~7u) >= Map_Inline_Pages;
            EXPECT_EQ(map.reference, wide);
            for (std::uint32_t p : map.pages)
                if (map.reference) {
                    EXPECT_NE(map.bitmap_pages[p / f::Bitmap_Page_Bits], 0u) << "page " << p;
                }
        });
    }
}

// Every map sits in exactly one host row, the one its pointer names.
void Expect_Hosts_Hold_Every_Map_Once(const Layout_Plan& plan) {
    std::set<std::pair<std::uint32_t, std::uint32_t>> hosted;
    for (std::size_t h = 0; h < plan.hosts.size(); ++h) {
        EXPECT_LE(plan.hosts[h].size(), f::Max_Rows_Per_Page);
        EXPECT_LE(plan.hosts[h].size() * (Map_Row_Size + 2), Page_Row_Capacity);
        for (std::size_t r = 0; r < plan.hosts[h].size(); ++r) {
            const Map_Ref ref = plan.hosts[h][r];
            EXPECT_TRUE(hosted.insert({ref.table, ref.map}).second) << "a map is hosted twice";
            const Map_Plan& map = plan.Map(ref);
            EXPECT_EQ(map.where, (Row_Pointer{plan.first_host + static_cast<std::uint32_t>(h), static_cast<std::uint8_t>(r)}));
        }
    }
    std::size_t maps = 0;
    for (const auto& table : plan.tables) Each_Map(table, [&](const Map_Plan&, const Map_Plan&) { ++maps; });
    EXPECT_EQ(hosted.size(), maps);
}

// Rows in order on their data pages, slot after slot; index entries in key, then row, order.
void Expect_Rows_And_Entries_In_Order(const Database_Image& image, const Layout_Plan& plan) {
    for (std::size_t t = 0; t < plan.tables.size(); ++t) {
        const Table_Plan& table = plan.tables[t];
        ASSERT_EQ(table.first_rows.size(), table.data_pages.size());
        if (table.row_count > 0) {
            EXPECT_EQ(table.Row_Pointer_Of(0), (Row_Pointer{table.first_data_page, 0}));
            EXPECT_EQ(table.Row_Pointer_Of(table.row_count - 1).page,
                      table.first_data_page + table.data_pages.size() - 1) << "the last row on the last page";
        }
        for (std::uint32_t r = 1; r < table.row_count; ++r) {
            const Row_Pointer a = table.Row_Pointer_Of(r - 1), b = table.Row_Pointer_Of(r);
            EXPECT_TRUE(b.page == a.page ? b.row == a.row + 1 : (b.page == a.page + 1 && b.row == 0));
        }
        for (std::size_t i = 0; i < table.indexes.size(); ++i) {
            const Index_Image& entries = image.tables[t].indexes[i];
            ASSERT_EQ(table.indexes[i].entries, entries.Size());
            std::vector<std::uint8_t> previous;
            std::uint32_t previous_row = 0;
            std::size_t k = 0;
            entries.Each([&](std::span<const std::uint8_t> key, std::uint32_t row) {
                if (k++ > 0) {
                    const bool less = std::lexicographical_compare(previous.begin(), previous.end(), key.begin(), key.end());
                    const bool same = std::equal(previous.begin(), previous.end(), key.begin(), key.end());
                    EXPECT_TRUE(less || (same && previous_row < row));
                }
                previous.assign(key.begin(), key.end());
                previous_row = row;
            });
            // Each leaf's last entry is the one the levels above name it by.
            const auto& leaves = table.indexes[i].levels.front();
            ASSERT_EQ(table.indexes[i].bounds.rows.size(), entries.Size() == 0 ? 0u : leaves.size());
            for (std::size_t l = 0; l + 1 < leaves.size(); ++l) EXPECT_EQ(leaves[l].end, leaves[l + 1].begin);
            EXPECT_EQ(table.indexes[i].levels.back().size(), 1u) << "one root";
        }
    }
}

void Expect_Sound_Plan(const Database_Image& image, const Layout_Plan& plan) {
    Page_Uses(plan);
    Expect_Maps_Cover_Their_Pages(plan);
    Expect_Hosts_Hold_Every_Map_Once(plan);
    Expect_Rows_And_Entries_In_Order(image, plan);
}

// The page type byte each use must give in the written (unencoded) file.
std::uint8_t Type_Of_Use(const std::string& use) {
    static const std::map<std::string, std::uint8_t> types = {
        {"global map", f::Page_Type_Data}, {"map host", f::Page_Type_Data},
        {"definition", f::Page_Type_Tdef}, {"data", f::Page_Type_Data},
        {"long value", f::Page_Type_Data}, {"index leaf", f::Page_Type_Index_Leaf},
        {"index node", f::Page_Type_Index_Node}, {"map bitmap", f::Page_Type_Usage_Bitmap}};
    return types.at(use);
}

// ---- The cases ---------------------------------------------------------------------------------

struct Plan_Case {
    const char* name;
    std::vector<Table_Shape> tables;
    bool write;  // also write the file and hold it against the plan
    std::function<void(const Database_Image&, const Layout_Plan&)> expect;
};

void PrintTo(const Plan_Case& c, std::ostream* out) { *out << c.name; }

class Writer_Layout_Test : public test::Scratch_Test, public ::testing::WithParamInterface<Plan_Case> {};

TEST_P(Writer_Layout_Test, EveryPageHasOneUseAndTheFileMatches) {
    const Plan_Case& c = GetParam();
    const Database_Image image = Image_Of_Tables(c.tables);
    const Layout_Plan plan = Plan_Layout(image);
    Expect_Sound_Plan(image, plan);
    if (c.expect) c.expect(image, plan);
    if (!c.write || HasFailure()) return;  // a plan found unsound is not written

    const auto path = dir / "planned.mdb";
    const Write_Result written = Write_Database(image, path);
    EXPECT_EQ(written.pages, plan.total);
    const auto bytes = Read_All(path);
    ASSERT_EQ(bytes.size(), std::size_t{plan.total} * f::Page_Size);
    const auto uses = Page_Uses(plan);
    for (std::uint32_t p = 1; p < plan.total; ++p) {
        const std::uint8_t* page = bytes.data() + std::size_t{p} * f::Page_Size;
        EXPECT_EQ(page[0], Type_Of_Use(uses[p])) << "page " << p << " (" << uses[p] << ")";
        const auto owner = Get_U32(std::span<const std::uint8_t>(page, f::Page_Size), f::Data_Tdef_Page);
        if (uses[p] == "long value") {
            EXPECT_TRUE(std::equal(f::Lval_Signature.begin(), f::Lval_Signature.end(), page + f::Data_Tdef_Page));
        }
        if (uses[p] == "map host") {
            EXPECT_EQ(owner, 0u);
        }
    }
    for (const auto& table : plan.tables)
        for (std::uint32_t d = 0; d < table.data_pages.size(); ++d)
            EXPECT_EQ(Get_U32(std::span<const std::uint8_t>(bytes), std::size_t{table.first_data_page + d} * f::Page_Size +
                                                                         f::Data_Tdef_Page),
                      table.tdef_page);
}

const std::vector<std::size_t> Memo_Lengths = {0, 30, 40, 2000, 2037, 2038, 2039, 4072, 4073, 4074, 6000, 20000};

INSTANTIATE_TEST_SUITE_P(
    Images, Writer_Layout_Test,
    ::testing::Values(
        Plan_Case{"EmptyTables", {Shape_Of(0), Shape_Of(0)}, true,
                  [](const Database_Image&, const Layout_Plan& plan) {
                      for (const auto& t : plan.tables) {
                          EXPECT_TRUE(t.data_pages.empty());
                          EXPECT_TRUE(t.owned.pages.empty());
                          for (const auto& index : t.indexes) EXPECT_EQ(index.page_count, 1u) << "an empty root leaf";
                      }
                      EXPECT_EQ(plan.hosts.size(), 1u);
                  }},
        Plan_Case{"LongValuesSpanningPages", {Shape_Of(3), Shape_Of(300, 10, Memo_Lengths)}, true,
                  [](const Database_Image& image, const Layout_Plan& plan) {
                      const auto& cols = plan.tables[1].lval_columns;
                      ASSERT_EQ(cols.size(), 1u);
                      std::size_t stored = 0, long_ones = 0, chains = 0, chunks = 0;
                      for (const auto& row : image.tables[1].rows)
                          for (const auto& lv : row.long_values) {
                              stored += lv.Size() > 0 ? 1 : 0;
                              long_ones += lv.Size() > f::Long_Value_Max_Single ? 1 : 0;
                          }
                      for (const auto& v : cols[0].values) chains += v.chain ? 1 : 0;
                      for (const auto& p : cols[0].pages) chunks += p.chunk ? 1 : 0;
                      EXPECT_EQ(cols[0].values.size(), stored);
                      EXPECT_GT(long_ones, 0u);
                      EXPECT_EQ(chains, long_ones);
                      EXPECT_GT(chunks, chains) << "the longest values take several chunks";
                  }},
        Plan_Case{"ManyIndexEntries", {Shape_Of(2), Shape_Of(20000, 100)}, true,
                  [](const Database_Image&, const Layout_Plan& plan) {
                      const auto& t = plan.tables[1];
                      for (const auto& index : t.indexes) EXPECT_GE(index.levels.size(), 2u);
                      EXPECT_GE(t.indexes[1].levels.size(), 3u) << "100-character keys need three levels";
                      EXPECT_TRUE(t.owned.reference) << t.data_pages.size() << " data pages";
                  }},
        // Pages of more rows than a block of row pointers (64) and pages of fewer.
        Plan_Case{"SmallAndLargeRowsMixed", {Shape_Of(5000, 0), Shape_Of(700, 60)}, true,
                  [](const Database_Image&, const Layout_Plan& plan) {
                      EXPECT_GT(plan.tables[0].row_count / plan.tables[0].data_pages.size(), 64u);
                      EXPECT_LT(plan.tables[1].row_count / plan.tables[1].data_pages.size(), 64u);
                  }},
        Plan_Case{"MoreMapsThanAHostPageHolds", std::vector<Table_Shape>(30, Shape_Of(5)), true,
                  [](const Database_Image&, const Layout_Plan& plan) {
                      // Every table has the same maps; no table's maps are split between host pages.
                      std::size_t per_table = 0;
                      Each_Map(plan.tables[0], [&](const Map_Plan&, const Map_Plan&) { ++per_table; });
                      EXPECT_GE(plan.hosts.size(), 2u);
                      for (const auto& host : plan.hosts) {
                          EXPECT_EQ(host.size() % per_table, 0u);
                          EXPECT_EQ(host.front().map, 0u);
                      }
                  }}),
    [](const ::testing::TestParamInfo<Plan_Case>& info) { return std::string(info.param.name); });

// A file too large for page 1's inline global map, planned from rows that are never held.
TEST(Writer_Layout, LargeFileGetsAReferenceGlobalMap) {
    Database_Image image = Image_Of_Tables({Shape_Of(1), Shape_Of(0)});
    auto rows = std::make_shared<Made_Rows>(40000, 3000);  // one row a page
    image.tables[1].source = rows;
    const Layout_Plan plan = Plan_Layout(image);
    EXPECT_EQ(rows->passes, 1) << "planning reads the rows once";
    Expect_Sound_Plan(image, plan);
    EXPECT_EQ(plan.tables[1].data_pages.size(), 40000u);
    EXPECT_TRUE(plan.global.reference);
    const auto uses = Page_Uses(plan);
    EXPECT_EQ(uses.back(), "map bitmap") << "the global map's bitmap pages come last";
    EXPECT_EQ(plan.total - 1, plan.global.bitmap_pages[1]) << "two blocks of pages, two bitmap pages";
}

// An index entry naming a row past the table's last is refused, whether the indexes are
// laid out after the rows (a small table) or beside them (a large one), and whatever the
// other indexes hold.
TEST(Writer_Layout, IndexNamingAMissingRowIsRefused) {
    struct Case {
        const char* what;
        std::size_t rows;
        std::uint32_t bad_row;
    };
    for (const Case& c : {Case{"small table", 10, 10}, Case{"small table, far row", 10, 0xFFFFFFFFu},
                          Case{"large table", 20000, 20000}, Case{"large table, far row", 20000, 0xFFFFFFFFu}}) {
        SCOPED_TRACE(c.what);
        Database_Image image = Image_Of_Tables({Shape_Of(1), Shape_Of(c.rows)});
        auto& indexes = image.tables[1].indexes;
        ASSERT_FALSE(indexes.empty());
        indexes.back().Add(std::vector<std::uint8_t>{0x7F, 0x01}, c.bad_row);
        try {
            Plan_Layout(image);
            ADD_FAILURE() << "planned";
        } catch (const Error& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find("names row " + std::to_string(c.bad_row) + ", which does not exist"), std::string::npos)
                << text;
            EXPECT_NE(text.find("Table1"), std::string::npos) << text;
        }
    }
}

// A source that gives other rows the second time (more of them, or one longer or shorter
// than it was) fails the write and leaves no file.
class Changing_Rows : public Row_Source {
public:
    Changing_Rows(std::size_t count, std::size_t changed_row, std::size_t changed_size)
        : count_(count), changed_row_(changed_row), changed_size_(changed_size) {}
    void Each_Row(const Row_Visitor& visit, bool) override {
        Row_Image row;
        const bool again = passes++ > 0;
        for (std::size_t r = 0; r < (again ? count_ : 100); ++r) {
            row.bytes.assign(again && r == changed_row_ ? changed_size_ : 40, static_cast<std::uint8_t>(r));
            visit(row);
        }
    }
    int passes = 0;

private:
    std::size_t count_, changed_row_, changed_size_;
};

class Writer_Source_Test : public test::Scratch_Test {};

TEST_F(Writer_Source_Test, RowsThatChangeBetweenPassesFailTheWrite) {
    struct Case {
        const char* what;
        std::size_t count, changed_row, changed_size;
    };
    for (const Case& c : {Case{"one row more", 101, 0, 40}, Case{"a row grown past its page's room", 100, 3, 3000},
                          Case{"a row grown a little", 100, 3, 44}, Case{"a row shrunk", 100, 99, 20}}) {
        SCOPED_TRACE(c.what);
        Database_Image image = Image_Of_Tables({Shape_Of(1), Shape_Of(0)});
        auto rows = std::make_shared<Changing_Rows>(c.count, c.changed_row, c.changed_size);
        image.tables[1].source = rows;
        const auto path = dir / "changing.mdb";
        try {
            Write_Database(image, path);
            ADD_FAILURE() << "written";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("changed while it was being written"), std::string::npos) << e.what();
        }
        EXPECT_EQ(rows->passes, 2);
        EXPECT_FALSE(test::fs::exists(path));
    }
}

// Every corpus database's image, planned, written and opened by our reader: each table's
// definition, maps and index roots are where the plan put them, and the fields the
// writer patched are where the reader's own walk of the definition finds them.
TEST_F(Writer_Source_Test, ReaderFindsWhatThePlanPlaced) {
    KELBROOK_NEED_CORPUS();
    for (const std::string& file : test::Corpus_Files()) {
        SCOPED_TRACE(file);
        Database_Image image;
        {
            Database source(test::Corpus() / file);
            image = Read_Source_Image(source).image;
            for (auto& table : image.tables) Load_Rows(table);
        }
        const Layout_Plan plan = Plan_Layout(image);
        Expect_Sound_Plan(image, plan);
        const auto path = dir / file;
        EXPECT_EQ(Write_Database(image, path).pages, plan.total);
        Database db(path);
        for (std::size_t t = 0; t < image.tables.size(); ++t) {
            SCOPED_TRACE(image.tables[t].name);
            const Table_Plan& tp = plan.tables[t];
            EXPECT_EQ(db.Find_Table(image.tables[t].name).Page(), tp.tdef_page);
            const Table_Definition& def = db.Definition(tp.tdef_page);
            EXPECT_EQ(def.num_rows, tp.row_count);
            EXPECT_EQ(Read_Usage_Map(db.File(), def.owned_map, "owned map").Pages(), tp.owned.pages);
            EXPECT_EQ(Read_Usage_Map(db.File(), def.free_map, "free map").Pages(), tp.free.pages);
            ASSERT_EQ(def.real_indexes.size(), tp.indexes.size());
            for (std::size_t i = 0; i < tp.indexes.size(); ++i) {
                EXPECT_EQ(def.real_indexes[i].block_offset, tp.fields.real_index_blocks[i]);
                EXPECT_EQ(def.real_indexes[i].root, tp.indexes[i].levels.back().front().page);
                EXPECT_EQ(Read_Usage_Map(db.File(), def.real_indexes[i].page_map, "index map").Pages(),
                          tp.indexes[i].map.pages);
            }
            for (const auto& col : tp.lval_columns) {
                const Column* c = col.mapped ? def.Find_Column(col.column) : nullptr;
                if (c != nullptr) {
                    EXPECT_EQ(Read_Usage_Map(db.File(), c->owned_map, "column map").Pages(), col.owned.pages);
                }
            }
            for (const Column& c : def.columns) {
                if (!c.has_page_maps) continue;
                const auto& maps = tp.fields.column_maps;
                EXPECT_TRUE(std::any_of(maps.begin(), maps.end(), [&](const Column_Map_Slot& slot) {
                    return slot.column == c.number && slot.offset == c.page_map_entry_offset;
                })) << "column " << c.name;
            }
        }
    }
}

}  // namespace
}  // namespace kelbrook::jet
