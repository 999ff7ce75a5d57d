// Our index keys, rows and Jet's own table definitions, compared with the bytes Access
// and ADOX wrote in the corpus.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/Temp_Folder.h"
#include "jet/engine/Database.h"
#include "support/Corpus_Required.h"
#include "jet/generator/Generator.h"
#include "jet/index/Index.h"
#include "jet/index/Key_Encoding.h"
#include "jet/row/Row_Builder.h"
#include "jet/table/Table_Builder.h"
#include "support/Error_Kinds.h"

namespace fs = std::filesystem;
using namespace kelbrook::jet;

namespace {

const fs::path Corpus = KELBROOK_CORPUS_DIR;

#define REQUIRE_CORPUS_FILE(name)                                                            \
    KELBROOK_CORPUS_OR_SKIP(fs::exists(Corpus / (name)), std::string("corpus file ") + (name) + " not found in " + Corpus.string())

// The reader's value as our generator's value, for the column types our keys cover.
bool To_Field_Value(const Value& v, Field_Value& out) {
    switch (v.kind) {
        case Value::Kind::Null: out = Field_Value{}; return true;
        case Value::Kind::Byte:
        case Value::Kind::Int16:
        case Value::Kind::Int32:
        case Value::Kind::Money: out = Field_Value{v.integer}; return true;
        case Value::Kind::Float:
        case Value::Kind::Double:
        case Value::Kind::Datetime: out = Field_Value{v.real}; return true;
        case Value::Kind::Text: out = Field_Value{v.text}; return true;
        default: return false;
    }
}

class Corpus_Keys : public ::testing::TestWithParam<const char*> {};

// Every index entry Access wrote over columns we can encode must equal our key.
TEST_P(Corpus_Keys, Our_Keys_Equal_Access_Entries) {
    REQUIRE_CORPUS_FILE(GetParam());
    Database db(Corpus / GetParam());
    std::size_t compared = 0, text_compared = 0;
    for (const Catalog_Entry& entry : db.Tables(true)) {
        const Table_Definition& table = db.Definition(entry);
        std::map<Row_Pointer, std::vector<Value>> rows;
        db.Rows(table, [&](const Live_Row& row) { rows[row.header] = db.Decode(table, row); });
        for (const Real_Index& index : table.real_indexes) {
            std::vector<std::pair<std::size_t, bool>> columns;  // position in table.columns, ascending
            bool usable = true;
            for (const Index_Column& ic : index.columns) {
                std::size_t at = 0;
                while (at < table.columns.size() && table.columns[at].number != ic.column_number) ++at;
                if (at == table.columns.size()) usable = false;
                else {
                    const std::uint8_t t = table.columns[at].type;
                    if (t != format::Type_Int32 && t != format::Type_Int16 && t != format::Type_Text &&
                        t != format::Type_Datetime && t != format::Type_Byte && t != format::Type_Double)
                        usable = false;
                    columns.push_back({at, ic.Ascending()});
                }
            }
            if (!usable) continue;
            Walk_Index(db.File(), table, index, [&](const Index_Entry& e) {
                auto row = rows.find(e.row);
                if (row == rows.end()) return;
                std::vector<std::uint8_t> key;
                bool has_text = false;
                for (auto [at, ascending] : columns) {
                    Field_Value v;
                    if (!To_Field_Value(row->second[at], v)) return;
                    if (const auto* s = std::get_if<std::string>(&v)) {
                        if (!Text_Is_Indexable(*s)) return;
                        has_text = true;
                    }
                    Append_Key_Part(key, table.columns[at].type, v, ascending);
                }
                EXPECT_EQ(key, e.key) << GetParam() << ", table " << entry.name << ", index " << index.number;
                ++compared;
                if (has_text) ++text_compared;
            });
        }
    }
    EXPECT_GT(compared, 10u) << "too few entries to compare in " << GetParam();
    EXPECT_GT(text_compared, 5u) << "too few text keys to compare in " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Corpus, Corpus_Keys,
                         ::testing::Values("indexTestV2000.mdb", "testIndexPropertiesV2000.mdb",
                                           "fixedTextTestV2000.mdb", "testV2000.mdb", "test2V2000.mdb",
                                           "compIndexTestV2000.mdb", "bigIndexTestV2000.mdb",
                                           "indexCursorTestV2000.mdb", "queryTestV2000.mdb", "adox_jet4.mdb"),
                         [](const auto& info) {
                             std::string n = info.param;
                             return n.substr(0, n.find('.'));
                         });

TEST(Key_Encoding, Refuses_Text_That_Is_Not_Utf8) {
    for (const char* text : {"caf\xc3", "\xff" "abc", "a\xc0\x80"}) {
        EXPECT_FALSE(Text_Is_Indexable(text)) << text;
    }
    EXPECT_TRUE(Text_Is_Indexable("Sample 42 Quick Wax, zebra a-b under_score caf\xc3\xa9"));
    EXPECT_TRUE(Text_Is_Indexable(""));
}

// Row bytes for the same table and values Access stored must be the same bytes.
struct Row_Case {
    const char* file;
    const char* table;
    std::vector<Column_Layout> columns;
    std::vector<Field_Value> values;
};

Column_Layout Layout_Column(const char* name, std::uint8_t type, std::uint16_t length = 0, std::uint8_t precision = 18) {
    Column_Layout c;
    c.name = name;
    c.type = type;
    c.length = length;
    c.precision = precision;
    return c;
}

TEST(Row_Builder, Rows_Equal_Access_Rows) {
    const std::vector<Row_Case> cases = {
        {"fixedNumericTestV2000.mdb",
         "test",
         {Layout_Column("col1", format::Type_Memo), Layout_Column("col2", format::Type_Numeric), Layout_Column("col3", format::Type_Numeric),
          Layout_Column("col4", format::Type_Numeric), Layout_Column("col5", format::Type_Numeric),
          Layout_Column("col6", format::Type_Numeric), Layout_Column("col7", format::Type_Numeric)},
         {Field_Value{std::string("some data")}, Field_Value{std::int64_t{1}}, Field_Value{std::int64_t{0}},
          Field_Value{std::int64_t{0}}, Field_Value{std::int64_t{4}}, Field_Value{std::int64_t{-1}},
          Field_Value{std::int64_t{1}}}},
        {"indexTestV2000.mdb",
         "Table2",
         {Layout_Column("id", format::Type_Int32), Layout_Column("data", format::Type_Text, 50)},
         {Field_Value{std::int64_t{1}}, Field_Value{std::string("foo1")}}},
    };
    for (const Row_Case& c : cases) {
        KELBROOK_CORPUS_OR_SKIP(fs::exists(Corpus / c.file), std::string("corpus file ") + c.file + " not found");
        Database db(Corpus / c.file);
        const Table_Definition& table = db.Definition(db.Find_Table(c.table));
        Table_Layout layout;
        layout.name = c.table;
        layout.columns = c.columns;
        layout.Lay_Out();
        Row_Image ours = Build_Row(layout, c.values);
        bool found = false;
        db.Rows(table, [&](const Live_Row& row) {
            if (row.bytes == ours.bytes) found = true;
        });
        EXPECT_TRUE(found) << "no row of " << c.file << "/" << c.table << " equals the one we build";
    }
}

TEST(Row_Builder, Refuses_Values_That_Do_Not_Fit) {
    Table_Layout layout;
    layout.name = "T";
    layout.columns = {Layout_Column("b", format::Type_Byte), Layout_Column("t", format::Type_Text, 3)};
    layout.Lay_Out();
    EXPECT_JET_ERROR(Build_Row(layout, {Field_Value{std::int64_t{256}}, Field_Value{}}), Error_Kind::Unsupported);
    EXPECT_JET_ERROR(Build_Row(layout, {Field_Value{std::int64_t{1}}, Field_Value{std::string("long")}}),
                     Error_Kind::Unsupported);
    EXPECT_JET_ERROR(Build_Row(layout, {Field_Value{std::string("x")}, Field_Value{}}), Error_Kind::Unsupported);
    EXPECT_JET_ERROR(Build_Row(layout, {Field_Value{}}), Error_Kind::Unsupported);
    EXPECT_JET_ERROR(layout.Column_Number("missing"), Error_Kind::Not_Found);
    EXPECT_NO_THROW(Build_Row(layout, {Field_Value{}, Field_Value{}}));
}

// Jet's own four tables as we build them must describe the same columns and indexes as
// the ones ADOX made.
TEST(Table_Builder, System_Tables_Match_Jet) {
    REQUIRE_CORPUS_FILE("adox_jet4.mdb");
    const kelbrook::testing::Temp_Folder folder;
    const fs::path& dir = folder.Path();
    Generate_Options options;
    options.rows = 20;
    Generate_Database(options, dir / "g.mdb");
    Database ours(dir / "g.mdb");
    Database jet(Corpus / "adox_jet4.mdb");
    for (const char* name : {"MSysObjects", "MSysACEs", "MSysQueries", "MSysRelationships"}) {
        SCOPED_TRACE(name);
        const Table_Definition& a = ours.Definition(ours.Find_Table(name));
        const Table_Definition& b = jet.Definition(jet.Find_Table(name));
        EXPECT_EQ(a.page, b.page);
        EXPECT_EQ(a.table_type, b.table_type);
        ASSERT_EQ(a.columns.size(), b.columns.size());
        for (std::size_t i = 0; i < a.columns.size(); ++i) {
            const Column& x = a.columns[i];
            const Column& y = b.columns[i];
            EXPECT_EQ(x.name, y.name);
            EXPECT_EQ(x.type, y.type) << x.name;
            EXPECT_EQ(x.number, y.number) << x.name;
            EXPECT_EQ(x.var_index, y.var_index) << x.name;
            EXPECT_EQ(x.length, y.length) << x.name;
            EXPECT_EQ(x.flags, y.flags) << x.name;
            if (x.Is_Fixed() && x.type != format::Type_Boolean) {
                EXPECT_EQ(x.fixed_offset, y.fixed_offset) << x.name;
            }
            EXPECT_EQ(x.has_page_maps, y.has_page_maps) << x.name;
        }
        ASSERT_EQ(a.real_indexes.size(), b.real_indexes.size());
        for (std::size_t i = 0; i < a.real_indexes.size(); ++i) {
            EXPECT_EQ(a.real_indexes[i].flags, b.real_indexes[i].flags);
            ASSERT_EQ(a.real_indexes[i].columns.size(), b.real_indexes[i].columns.size());
            for (std::size_t k = 0; k < a.real_indexes[i].columns.size(); ++k) {
                EXPECT_EQ(a.real_indexes[i].columns[k].column_number, b.real_indexes[i].columns[k].column_number);
                EXPECT_EQ(a.real_indexes[i].columns[k].flags, b.real_indexes[i].columns[k].flags);
            }
        }
        ASSERT_EQ(a.logical_indexes.size(), b.logical_indexes.size());
        for (const Logical_Index& x : a.logical_indexes) {
            bool same = false;
            for (const Logical_Index& y : b.logical_indexes)
                same = same || (x.name == y.name && x.real_index == y.real_index && x.index_type == y.index_type);
            EXPECT_TRUE(same) << "logical index " << x.name;
        }
    }
    // The catalogue rows Jet itself needs.
    std::map<std::string, std::pair<std::int32_t, std::int32_t>> ids;
    for (const Catalog_Entry& e : ours.Objects()) ids[e.name] = {e.id, e.parent_id};
    for (const Catalog_Entry& e : jet.Objects()) {
        ASSERT_TRUE(ids.count(e.name)) << e.name;
        EXPECT_EQ(ids[e.name], std::make_pair(e.id, e.parent_id)) << e.name;
    }
}

}  // namespace
