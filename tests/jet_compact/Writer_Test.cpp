// The writer on its own: images read from corpus databases, changed to reach the layouts
// the corpus does not (thousands of rows, multi-level indexes, reference usage maps,
// long-value chains of every length), written and read back by our reader and its
// strict check and by mdbtools.
#include <gtest/gtest.h>

#include <functional>

#include "Compact_Test_Support.h"
#include "jet/util/Bytes.h"
#include "jet/engine/Check.h"
#include "jet/engine/Compactor.h"
#include "jet/row/Data_Page.h"
#include "jet/engine/Database.h"
#include "jet/util/Error.h"
#include "jet/file/File_Output.h"
#include "support/Faulty_Files.h"
#include "jet/index/Index.h"
#include "jet/engine/Writer.h"
#include "support/Error_Kinds.h"

namespace kelbrook::jet {
namespace {

using test::Corpus;
using test::Read_All;

Database_Image Image_Of(const std::string& corpus_file) {
    Database db(Corpus() / corpus_file);
    Database_Image image = Read_Source_Image(db).image;
    for (auto& table : image.tables) Load_Rows(table);  // the rows outlive the open file
    return image;
}

Table_Image& Table_Named(Database_Image& image, const std::string& name) {
    for (auto& t : image.tables)
        if (t.name == name) return t;
    throw std::runtime_error("no table " + name);
}

void Expect_Strict_Check(const test::fs::path& file, const std::string& password = {}) {
    Check_Options strict;
    strict.strict_global_map = true;
    const auto problems = Check(file, password, strict);
    EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems.front());
}

std::vector<std::vector<Value>> Decoded_Rows(const Database& db, const std::string& table) {
    const auto& def = db.Definition(db.Find_Table(table));
    std::vector<std::vector<Value>> rows;
    db.Rows(def, [&](const Live_Row& row) { rows.push_back(db.Decode(def, row)); });
    return rows;
}

TEST(Definition_Pages, FirstPageInFullThenContinuations) {
    struct Case {
        std::vector<std::size_t> lengths;
        std::vector<std::uint32_t> pages;
    };
    const std::vector<Case> cases = {
        {{100}, {2}},
        {{100, 200, 300}, {2, 3, 4}},
        {{4096, 10}, {2, 3}},
        {{4097, 10}, {2, 4}},
        {{4096 + 4088, 10}, {2, 4}},
        {{4096 + 4089, 10}, {2, 5}},
        {{10, 4096 + 3 * 4088, 10}, {2, 3, 7}},
    };
    for (const auto& c : cases) EXPECT_EQ(Definition_Pages(c.lengths), c.pages);
}

class Writer_Test : public test::Scratch_Test {};

TEST_F(Writer_Test, LargeTableGetsMultiLevelIndexAndReferenceMaps) {
    KELBROOK_NEED_CORPUS();
    Database_Image image = Image_Of("compIndexTestV2000.mdb");
    Table_Image& table = Table_Named(image, "Table1");
    const std::size_t original = table.rows.size();
    ASSERT_EQ(original, 512u);
    constexpr std::size_t copies = 175;  // about 90,000 rows: some 600 data pages
    const auto rows = table.rows;
    const auto indexes = table.indexes;
    for (std::size_t k = 1; k < copies; ++k) {
        for (const auto& r : rows) table.rows.push_back(r);
        for (std::size_t i = 0; i < indexes.size(); ++i)
            for (std::size_t e = 0; e < indexes[i].Size(); ++e)
                table.indexes[i].Add(indexes[i].Key(e), static_cast<std::uint32_t>(indexes[i].Row(e) + k * original));
    }
    const auto path = dir / "big.mdb";
    const auto result = Write_Database(image, path);
    EXPECT_EQ(Read_All(path).size(), std::size_t{result.pages} * format::Page_Size);

    Expect_Strict_Check(path);
    EXPECT_EQ(test::Run_Command("mdb-count " + test::Quote(path) + " Table1").out, std::to_string(original * copies) + "\n");

    Database db(path);
    const auto& def = db.Definition(db.Find_Table("Table1"));
    EXPECT_EQ(def.num_rows, original * copies);
    ASSERT_FALSE(def.real_indexes.empty());
    for (const auto& index : def.real_indexes) {
        EXPECT_EQ(index.stats_entries, original * copies);
        EXPECT_EQ((*db.File().Read(index.root))[0], format::Page_Type_Index_Node) << "root is not a node page";
        std::size_t entries = 0;
        Walk_Index(db.File(), def, index, [&](const Index_Entry&) { ++entries; });
        EXPECT_EQ(entries, original * copies);
    }
    const auto owned = Read_Usage_Map(db.File(), def.owned_map, "owned map");
    EXPECT_TRUE(owned.reference);
    EXPECT_GT(owned.Pages().size(), 512u);
    // The rows read back in order, copy after copy.
    const auto values = Decoded_Rows(db, "Table1");
    ASSERT_EQ(values.size(), original * copies);
    for (std::size_t r = 0; r < values.size(); r += 997)
        for (std::size_t c = 0; c < values[r].size(); ++c)
            EXPECT_EQ(Value_To_Json(values[r][c]), Value_To_Json(values[r % original][c]));
}

TEST_F(Writer_Test, LongValuesOfEveryLengthReadBack) {
    KELBROOK_NEED_CORPUS();
    Database_Image image = Image_Of("test2V2000.mdb");
    Table_Image& table = Table_Named(image, "MSP_PROJECTS");
    ASSERT_EQ(table.rows.size(), 1u);
    ASSERT_FALSE(table.rows[0].long_values.empty());
    const Row_Image model = table.rows[0];
    const std::uint16_t memo_column = model.long_values[0].column_number;
    // Byte lengths around the single-row limit and the chain chunk size; 0 = empty.
    const std::vector<std::size_t> lengths = {0,    2,    64,   4074, 4076, 4078,
                                              8144, 8146, 12216, 40000};
    std::vector<std::string> texts;
    table.rows.clear();
    for (std::size_t n : lengths) {
        Row_Image row = model;
        std::string text;
        std::vector<std::uint8_t> value;
        for (std::size_t i = 0; i < n / 2; ++i) {
            const char c = static_cast<char>('a' + (i * 7 + n) % 26);
            text += c;
            value.push_back(static_cast<std::uint8_t>(c));
            value.push_back(0);
        }
        for (auto& lv : row.long_values)
            if (lv.column_number == memo_column) {
                lv.value = value;
                lv.pieces.clear();  // as read, the value was where it lay in the source
            }
        texts.push_back(text);
        table.rows.push_back(row);
    }
    for (auto& index : table.indexes) {
        ASSERT_GT(index.Size(), 0u);
        const auto first = index.Key(0);
        const std::vector<std::uint8_t> key(first.begin(), first.end());
        index.Clear();
        for (std::uint32_t r = 0; r < table.rows.size(); ++r) index.Add(key, r);
    }
    const auto path = dir / "memo.mdb";
    Write_Database(image, path);
    Expect_Strict_Check(path);

    Database db(path);
    const auto& def = db.Definition(db.Find_Table("MSP_PROJECTS"));
    const Column* column = def.Find_Column(memo_column);
    ASSERT_NE(column, nullptr);
    const auto index = static_cast<std::size_t>(column - def.columns.data());
    const auto values = Decoded_Rows(db, "MSP_PROJECTS");
    ASSERT_EQ(values.size(), lengths.size());
    for (std::size_t r = 0; r < values.size(); ++r) {
        SCOPED_TRACE("value of " + std::to_string(lengths[r]) + " bytes");
        EXPECT_EQ(values[r][index].text, texts[r]);
    }
    // mdbtools reads the same texts.
    const auto json = test::Mdb_Json(path, "MSP_PROJECTS");
    ASSERT_EQ(json.size(), lengths.size());
    for (std::size_t r = 1; r < texts.size(); ++r) {
        bool found = false;
        for (const auto& line : json) found = found || line.find("\"" + texts[r] + "\"") != std::string::npos;
        EXPECT_TRUE(found) << "mdbtools lost the value of " << lengths[r] << " bytes";
    }
}

// A long value the writer takes as pieces of the source's pages is written as the same
// value copied would be, byte for byte: as the corpus files give them, and cut at odd
// places, across the chunks of a chain and the rows of a shared page.
TEST_F(Writer_Test, LongValuesInPiecesWriteTheSameBytesAsCopied) {
    KELBROOK_NEED_CORPUS();
    auto joined = [](Database_Image image) {
        for (auto& table : image.tables)
            for (auto& row : table.rows)
                for (auto& lv : row.long_values) {
                    for (const auto& piece : lv.pieces) lv.value.insert(lv.value.end(), piece.bytes.begin(), piece.bytes.end());
                    lv.pieces.clear();
                }
        return image;
    };
    std::size_t in_pieces = 0;
    for (const auto& f : test::Corpus_Files()) {
        SCOPED_TRACE(f);
        Database_Image image;
        try {
            image = Image_Of(f);
        } catch (const Error&) {
            continue;  // a file with a password, or none to copy
        }
        for (const auto& table : image.tables)
            for (const auto& row : table.rows)
                for (const auto& lv : row.long_values) in_pieces += lv.pieces.size();
        Write_Database(image, dir / "pieces.mdb");
        Write_Database(joined(image), dir / "copied.mdb");
        EXPECT_EQ(Read_All(dir / "pieces.mdb"), Read_All(dir / "copied.mdb"));
        std::filesystem::remove(dir / "pieces.mdb");
        std::filesystem::remove(dir / "copied.mdb");
    }
    EXPECT_GT(in_pieces, 0u);

    Database_Image image = Image_Of("test2V2000.mdb");
    Table_Image& table = Table_Named(image, "MSP_PROJECTS");
    const Row_Image model = table.rows.at(0);
    const std::uint16_t memo_column = model.long_values.at(0).column_number;
    std::vector<std::vector<std::uint8_t>> values;  // held while the pieces point into them
    for (std::size_t n : {2, 4076, 8146, 12216, 40000}) {
        std::vector<std::uint8_t> value(n);
        for (std::size_t i = 0; i < n; i += 2) value[i] = static_cast<std::uint8_t>('a' + (i * 7 + n) % 26);
        values.push_back(std::move(value));
    }
    table.rows.clear();
    for (const auto& value : values) {
        Row_Image row = model;
        for (auto& lv : row.long_values) {
            if (lv.column_number != memo_column) continue;
            lv.value.clear();
            lv.pieces.clear();
            const std::span<const std::uint8_t> bytes(value);
            for (std::size_t at = 0, k = 0; at < bytes.size(); ++k) {
                const std::size_t size = std::min<std::size_t>(bytes.size() - at, k % 3 == 0 ? 1 : k % 3 == 1 ? 4093 : 777);
                lv.pieces.push_back({nullptr, bytes.subspan(at, size)});
                at += size;
            }
        }
        table.rows.push_back(row);
    }
    for (auto& index : table.indexes) {  // every row under the model row's key
        const auto first = index.Key(0);
        const std::vector<std::uint8_t> key(first.begin(), first.end());
        index.Clear();
        for (std::uint32_t r = 0; r < table.rows.size(); ++r) index.Add(key, r);
    }
    Write_Database(image, dir / "pieces.mdb");
    Write_Database(joined(image), dir / "copied.mdb");
    EXPECT_EQ(Read_All(dir / "pieces.mdb"), Read_All(dir / "copied.mdb"));
    Expect_Strict_Check(dir / "pieces.mdb");
}

TEST_F(Writer_Test, SameImageSameBytesAndEncodingReadsBack) {
    KELBROOK_NEED_CORPUS();
    Database_Image image = Image_Of("indexTestV2000.mdb");
    Write_Database(image, dir / "a.mdb");
    Write_Database(image, dir / "b.mdb");
    EXPECT_EQ(Read_All(dir / "a.mdb"), Read_All(dir / "b.mdb"));

    image.database_key = 0x1F2E3D4C;
    image.password = "Ünïcode pw";
    Write_Database(image, dir / "c.mdb");
    Expect_Strict_Check(dir / "c.mdb", "Ünïcode pw");
    EXPECT_THROW(Database(dir / "c.mdb", "wrong"), Password_Error);
    Database plain(dir / "a.mdb");
    Database coded(dir / "c.mdb", "Ünïcode pw");
    EXPECT_EQ(coded.Header().database_key, 0x1F2E3D4Cu);
    EXPECT_EQ(coded.Header().password, "Ünïcode pw");
    for (const auto& t : plain.Tables(false)) {
        const auto a = Decoded_Rows(plain, t.name);
        const auto c = Decoded_Rows(coded, t.name);
        ASSERT_EQ(a.size(), c.size()) << t.name;
        EXPECT_EQ(test::Mdb_Json(dir / "a.mdb", t.name), test::Mdb_Json(dir / "c.mdb", t.name)) << t.name;
    }
}

struct Bad_Image_Case {
    const char* name;
    std::function<void(Database_Image&)> spoil;
    Error_Kind kind;
};

TEST_F(Writer_Test, RefusesImagesItCannotLayOutAndLeavesNoFile) {
    KELBROOK_NEED_CORPUS();
    const Database_Image good = Image_Of("indexTestV2000.mdb");
    const std::vector<Bad_Image_Case> cases = {
        {"no tables", [](Database_Image& i) { i.tables.clear(); }, Error_Kind::Corrupt},
        {"row too long", [](Database_Image& i) { i.tables.back().rows.push_back({std::vector<std::uint8_t>(4081, 1), {}}); },
         Error_Kind::Corrupt},
        {"index names a missing row",
         [](Database_Image& i) { Table_Named(i, "MSysObjects").indexes.at(0).Add(std::vector<std::uint8_t>{0x7F}, 100000); },
         Error_Kind::Corrupt},
        {"index count differs", [](Database_Image& i) { Table_Named(i, "MSysObjects").indexes.pop_back(); },
         Error_Kind::Corrupt},
        {"definition cut short", [](Database_Image& i) { Table_Named(i, "MSysObjects").definition.resize(80); },
         Error_Kind::Corrupt},
        {"long value outside its row",
         [](Database_Image& i) {
             auto& t = Table_Named(i, "MSysObjects");
             t.rows.at(0).long_values.push_back({60000, 0, {1, 2, 3}, true, 0, {}});
         },
         Error_Kind::Corrupt},
        {"password too long", [](Database_Image& i) { i.password = std::string(21, 'p'); }, Error_Kind::Unsupported},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Database_Image image = good;
        c.spoil(image);
        const auto path = dir / "bad.mdb";
        EXPECT_JET_ERROR(Write_Database(image, path), c.kind);
        EXPECT_FALSE(test::fs::exists(path));
    }
}

TEST_F(Writer_Test, ExistingFileIsNeverOverwritten) {
    KELBROOK_NEED_CORPUS();
    const auto path = dir / "there.mdb";
    test::Write_All(path, {1, 2, 3});
    EXPECT_THROW(Write_Database(Image_Of("emptyJet4.mdb"), path), Error);
    EXPECT_EQ(Read_All(path), (std::vector<std::uint8_t>{1, 2, 3}));
}

// Each fault of the output file, early and late: an Error of kind IO naming the file, and
// no file left behind.
TEST_F(Writer_Test, OutputFaultsFailCleanly) {
    KELBROOK_NEED_CORPUS();
    const Database_Image image = Image_Of("indexTestV2000.mdb");
    const std::vector<test::File_Fault> faults = {
        {test::File_Fault::Full_Disk, 0},      {test::File_Fault::Full_Disk, 1},
        {test::File_Fault::Full_Disk, 4096},   {test::File_Fault::Full_Disk, 100000},
        {test::File_Fault::Flush_Fails, 0},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(std::string(test::Fault_Name(fault.kind)) + " after " + std::to_string(fault.after));
        test::Faulty_Files files(fault);
        const auto path = dir / "full.mdb";
        try {
            Write_Database(image, path, {}, true, files);
            ADD_FAILURE() << "written";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), Error_Kind::IO) << e.what();
            EXPECT_NE(std::string(e.what()).find(Path_Text(path)), std::string::npos) << e.what();
            if (fault.kind == test::File_Fault::Full_Disk) {
                EXPECT_NE(std::string(e.what()).find("the disk is full"), std::string::npos) << e.what();
            }
        }
        EXPECT_TRUE(files.Struck());
        EXPECT_FALSE(test::fs::exists(path));
    }
}

}  // namespace
}  // namespace kelbrook::jet
