// Index keys: every entry Access wrote in the corpus must be, byte for byte, the key we
// build from the row it points at; and edge values of every type against keys worked out
// by hand from the rules in docs/jet4-index-keys.md.
//
// KELBROOK_EXTRA_KEY_FILES (colon-separated .mdb paths) adds databases to the corpus walk.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>

#include "Reader_Test_Util.h"
#include "jet/engine/Database.h"
#include "jet/generator/Generator.h"
#include "jet/index/Index.h"
#include "jet/index/Key_Encoding.h"
#include "jet/table/Table_Definition.h"

namespace reader_test {
namespace {

namespace jet = kelbrook::jet;
namespace fmt = kelbrook::jet::format;
using Bytes = std::vector<std::uint8_t>;

std::string Hex(const Bytes& b) {
    std::ostringstream out;
    for (std::size_t i = 0; i < b.size(); ++i) out << (i ? " " : "") << std::hex << std::setw(2) << std::setfill('0') << int(b[i]);
    return out.str();
}

Bytes From_Hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

std::vector<fs::path> Key_Corpus() {
    std::vector<fs::path> files;
    for (const auto& f : Corpus_Files()) files.push_back(Corpus() / f);
    if (const char* extra = std::getenv("KELBROOK_EXTRA_KEY_FILES")) {
        std::string list = extra;
        for (std::size_t at = 0; at <= list.size();) {
            const std::size_t end = std::min(list.find(':', at), list.size());
            if (end > at) files.emplace_back(list.substr(at, end - at));
            at = end + 1;
        }
    }
    return files;
}

struct Tally {
    std::map<std::string, std::size_t> per_type;  // keys compared, by the type of each of their columns
    std::size_t keys = 0, indexes = 0, not_verified = 0, mismatches = 0;
    std::size_t unusual_text = 0;  // text keys of values with characters beyond letters, digits and spaces
    std::vector<std::string> unusual_samples;
};

// Compares every entry of every index of `table` with the key built from its row.
void Compare_Table(const jet::Database& db, const jet::Catalog_Entry& entry, Tally& tally) {
    const auto& def = db.Definition(entry);
    if (def.real_indexes.empty()) return;
    std::map<jet::Row_Pointer, std::vector<jet::Value>> rows;
    db.Rows(def, [&](const jet::Live_Row& row) { rows.emplace(row.header, db.Decode(def, row)); });
    for (const auto& index : def.real_indexes) {
        const jet::Index_Key_Encoder encoder(def, index, db.Header());
        ++tally.indexes;
        if (!encoder.Encodable()) {
            ++tally.not_verified;
            std::cout << "  not verified: " << db.Name() << ", " << entry.name << ", index " << index.number << ": "
                      << encoder.Obstacle() << "\n";
            continue;
        }
        std::vector<std::string> types;
        for (const auto& c : index.columns) types.push_back(jet::Type_Name(def.Find_Column(c.column_number)->type));
        Bytes key;
        std::size_t entries = 0;
        jet::Walk_Index(db.File(), def, index, [&](const jet::Index_Entry& e) {
            ++entries;
            const auto row = rows.find(e.row);
            ASSERT_NE(row, rows.end()) << entry.name << ": an entry points at no live row";
            EXPECT_FALSE(encoder.Skips(row->second)) << entry.name << ": an entry for a row the index leaves out";
            ASSERT_TRUE(encoder.Encode(row->second, key));
            if (key != e.key) {
                ++tally.mismatches;
                std::string values;
                for (const auto& c : index.columns) {
                    const auto* column = def.Find_Column(c.column_number);
                    values += " " + column->name + "=" + jet::Value_To_Json(row->second[static_cast<std::size_t>(column - def.columns.data())]);
                }
                ADD_FAILURE() << db.Name() << ", table " << entry.name << ", index " << index.number << ", row"
                              << values << "\n   stored: " << Hex(e.key) << "\n    built: " << Hex(key);
            }
            ++tally.keys;
            for (const auto& t : types) ++tally.per_type[t];
            for (const auto& c : index.columns) {
                const auto* column = def.Find_Column(c.column_number);
                const auto& v = row->second[static_cast<std::size_t>(column - def.columns.data())];
                if ((v.kind == jet::Value::Kind::Text || v.kind == jet::Value::Kind::Memo) &&
                    std::any_of(v.text.begin(), v.text.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)) && ch != ' '; }))
                    if (++tally.unusual_text <= 12) tally.unusual_samples.push_back(v.text);
            }
        });
        std::size_t expected = 0;
        for (const auto& [at, values] : rows)
            if (!encoder.Skips(values)) ++expected;
        EXPECT_EQ(entries, expected) << db.Name() << ", table " << entry.name << ", index " << index.number;
    }
}

// The corpus is required under CI; elsewhere its absence skips visibly.
#define REQUIRE_KEY_CORPUS()                                                                          \
    do {                                                                                              \
        if (!std::filesystem::is_directory(reader_test::Corpus())) {                                  \
            KELBROOK_CORPUS_OR_SKIP(false, "corpus folder " + reader_test::Corpus().string() + " is absent"); \
        }                                                                                             \
    } while (0)

TEST(Key_Encoding, Every_Corpus_Entry_Is_The_Key_Of_Its_Row) {
    REQUIRE_KEY_CORPUS();
    Tally tally;
    for (const auto& file : Key_Corpus()) {
        SCOPED_TRACE(file.string());
        jet::Database db(file);
        for (const auto& entry : db.Tables(true)) Compare_Table(db, entry, tally);
    }
    std::cout << "keys compared: " << tally.keys << " in " << tally.indexes << " indexes (" << tally.not_verified
              << " not verified), mismatches: " << tally.mismatches << ", text keys beyond letters and digits: "
              << tally.unusual_text << "\n";
    for (const auto& [type, n] : tally.per_type) std::cout << "  " << type << ": " << n << "\n";
    for (const auto& text : tally.unusual_samples) std::cout << "  text such as: " << text << "\n";
    EXPECT_EQ(tally.mismatches, 0u);
    // Every type the corpus indexes must have been compared (Access's files index no other
    // types; the rest are covered by the edge values below).
    for (const char* type : {"Long Integer", "Text", "DateTime", "Byte", "Binary"})
        EXPECT_GT(tally.per_type[type], 0u) << "no " << type << " keys compared";
    EXPECT_GT(tally.unusual_text, 0u) << "no text key with punctuation, accents or controls compared";
}

// ---- Edge values, worked out by hand ----------------------------------------------------

struct Case {
    const char* what;
    std::uint8_t type;
    jet::Value value;
    bool ascending;
    const char* key;  // hex, flag byte included
};

jet::Value Integer(std::int64_t v) {
    jet::Value x;
    x.kind = jet::Value::Kind::Int32;
    x.integer = v;
    return x;
}
jet::Value Real(double v) {
    jet::Value x;
    x.kind = jet::Value::Kind::Double;
    x.real = v;
    return x;
}
jet::Value Text(const std::string& v) {
    jet::Value x;
    x.kind = jet::Value::Kind::Text;
    x.text = v;
    return x;
}
jet::Value Raw(jet::Value::Kind kind, Bytes b) {
    jet::Value x;
    x.kind = kind;
    x.bytes = std::move(b);
    return x;
}
jet::Value Guid(const std::string& text) {
    jet::Value x;
    x.kind = jet::Value::Kind::Guid;
    x.text = text;
    return x;
}
jet::Value Truth(bool v) {
    jet::Value x;
    x.kind = jet::Value::Kind::Boolean;
    x.integer = v;
    return x;
}

Bytes Numeric_Stored(bool negative, std::uint32_t low_word) {
    Bytes b(17, 0);
    b[0] = negative ? 0x80 : 0x00;
    for (int i = 0; i < 4; ++i) b[13 + i] = static_cast<std::uint8_t>(low_word >> (8 * i));
    return b;
}

class Edge_Keys : public ::testing::TestWithParam<Case> {};

TEST_P(Edge_Keys, Are_Built_As_Jet_Builds_Them) {
    const Case& c = GetParam();
    Bytes key;
    jet::Append_Key_Part(key, c.type, c.value, c.ascending);
    EXPECT_EQ(Hex(key), Hex(From_Hex(c.key))) << c.what;
}

const double Nan = std::numeric_limits<double>::quiet_NaN();
const jet::Value Null{};

INSTANTIATE_TEST_SUITE_P(
    Types, Edge_Keys,
    ::testing::Values(
        Case{"byte 0", fmt::Type_Byte, Integer(0), true, "7f 00"},
        Case{"byte 255", fmt::Type_Byte, Integer(255), true, "7f ff"},
        Case{"byte 1 descending", fmt::Type_Byte, Integer(1), false, "80 fe"},
        Case{"int16 min", fmt::Type_Int16, Integer(-32768), true, "7f 00 00"},
        Case{"int16 -1", fmt::Type_Int16, Integer(-1), true, "7f 7f ff"},
        Case{"int16 0", fmt::Type_Int16, Integer(0), true, "7f 80 00"},
        Case{"int16 max", fmt::Type_Int16, Integer(32767), true, "7f ff ff"},
        Case{"int32 min", fmt::Type_Int32, Integer(INT32_MIN), true, "7f 00 00 00 00"},
        Case{"int32 -20", fmt::Type_Int32, Integer(-20), true, "7f 7f ff ff ec"},
        Case{"int32 1 descending", fmt::Type_Int32, Integer(1), false, "80 7f ff ff fe"},
        Case{"int32 max", fmt::Type_Int32, Integer(INT32_MAX), true, "7f ff ff ff ff"},
        Case{"money -0.0001", fmt::Type_Money, Integer(-1), true, "7f 7f ff ff ff ff ff ff ff"},
        Case{"money 1.0000", fmt::Type_Money, Integer(10000), true, "7f 80 00 00 00 00 00 27 10"},
        Case{"double 0", fmt::Type_Double, Real(0.0), true, "7f 80 00 00 00 00 00 00 00"},
        Case{"double -0", fmt::Type_Double, Real(-0.0), true, "7f 7f ff ff ff ff ff ff ff"},
        Case{"double 1", fmt::Type_Double, Real(1.0), true, "7f bf f0 00 00 00 00 00 00"},
        Case{"double -1", fmt::Type_Double, Real(-1.0), true, "7f 40 0f ff ff ff ff ff ff"},
        Case{"double -1 descending", fmt::Type_Double, Real(-1.0), false, "80 bf f0 00 00 00 00 00 00"},
        Case{"double NaN", fmt::Type_Double, Real(Nan), true, "7f ff f8 00 00 00 00 00 00"},
        Case{"double infinity", fmt::Type_Double, Real(HUGE_VAL), true, "7f ff f0 00 00 00 00 00 00"},
        Case{"float 1", fmt::Type_Float, Real(1.0), true, "7f bf 80 00 00"},
        Case{"float -2", fmt::Type_Float, Real(-2.0), true, "7f 3f ff ff ff"},
        Case{"date 1899-12-30", fmt::Type_Datetime, Real(0.0), true, "7f 80 00 00 00 00 00 00 00"},
        Case{"boolean true", fmt::Type_Boolean, Truth(true), true, "7f 00"},
        Case{"boolean false", fmt::Type_Boolean, Truth(false), true, "7f ff"},
        Case{"boolean null counts as false", fmt::Type_Boolean, Null, true, "7f ff"},
        Case{"boolean true descending", fmt::Type_Boolean, Truth(true), false, "80 ff"},
        Case{"null ascending", fmt::Type_Int32, Null, true, "00"},
        Case{"null descending", fmt::Type_Text, Null, false, "ff"},
        Case{"numeric 5", fmt::Type_Numeric, Raw(jet::Value::Kind::Numeric, Numeric_Stored(false, 5)), true,
             "7f ff 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 05"},
        Case{"numeric -5", fmt::Type_Numeric, Raw(jet::Value::Kind::Numeric, Numeric_Stored(true, 5)), true,
             "7f 00 ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff fa"},
        Case{"numeric 5 descending", fmt::Type_Numeric, Raw(jet::Value::Kind::Numeric, Numeric_Stored(false, 5)), false,
             "80 ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff fa"},
        Case{"numeric -5 descending", fmt::Type_Numeric, Raw(jet::Value::Kind::Numeric, Numeric_Stored(true, 5)), false,
             "80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 05"},
        Case{"guid", fmt::Type_Guid, Guid("{00112233-4455-6677-8899-AABBCCDDEEFF}"), true,
             "7f 00 11 22 33 44 55 66 77 09 88 99 aa bb cc dd ee ff 08"},
        Case{"binary of 3 bytes", fmt::Type_Binary, Raw(jet::Value::Kind::Binary, {1, 2, 3}), true,
             "7f 01 02 03 00 00 00 00 00 03"},
        Case{"binary of 9 bytes descending", fmt::Type_Binary, Raw(jet::Value::Kind::Binary, {0, 0, 0, 0, 0, 0, 0, 0, 1}), false,
             "80 ff ff ff ff ff ff ff ff 09 fe ff ff ff ff ff ff ff fe"},
        Case{"binary empty", fmt::Type_Binary, Raw(jet::Value::Kind::Binary, {}), true, "7f"},
        Case{"text empty", fmt::Type_Text, Text(""), true, "7f 01 00"},
        Case{"text spaces only", fmt::Type_Text, Text("   "), true, "7f 01 00"},
        Case{"text trailing spaces dropped", fmt::Type_Text, Text("a b  "), true, "7f 4a 07 4c 01 00"},
        Case{"text case ignored", fmt::Type_Text, Text("AbZ"), true, "7f 4a 4c 78 01 00"},
        Case{"text descending", fmt::Type_Text, Text("a"), false, "80 b5 fe ff 00"},
        Case{"text accented", fmt::Type_Text, Text("\xc3\xa9t\xc3\xa9"), true, "7f 51 6d 51 01 0e 02 0e 00"},
        Case{"text accent then plain", fmt::Type_Text, Text("\xc3\xa9" "a"), true, "7f 51 4a 01 0e 00"},
        Case{"text ignored character", fmt::Type_Text, Text(std::string("a\0b", 3)), true, "7f 4a 4c 01 00"},
        Case{"text control character", fmt::Type_Text, Text("a\x01" "b"), true, "7f 4a 4c 01 01 01 01 80 0b 06 03 00"},
        Case{"text hyphen", fmt::Type_Text, Text("a-b"), true, "7f 4a 4c 01 01 01 01 80 0b 06 82 00"},
        Case{"text flagged characters", fmt::Type_Text, Text("\xe3\x81\x81\xe3\x81\x82"), true,
             "7f 7f 02 7f 02 01 01 01 a0 ff 02 80 ff 80 00"},
        Case{"text flag dropped, suffix kept", fmt::Type_Text, Text("\xe3\x81\x82"), true,
             "7f 7f 02 01 01 01 ff 02 80 ff 80 00"},
        Case{"text modifier after a letter", fmt::Type_Text, Text("a\xca\xb9"), true, "7f 4a 01 0e 00"},
        Case{"text modifier alone", fmt::Type_Text, Text("\xca\xb9"), true, "7f 01 0c 00"},
        Case{"text accented descending", fmt::Type_Text, Text("\xc3\xa9"), false, "80 ae fe f1 ff 00"}));

TEST(Key_Encoding, Text_Keys_Hold_255_Characters) {
    const std::string long_text(300, 'b');
    Bytes key;
    jet::Append_Key_Part(key, fmt::Type_Memo, Text(long_text), true);
    // The flag, 255 codes of 'b', then the end of the codes and no accents.
    Bytes expected(1 + 255 + 2, 0x4C);
    expected.front() = 0x7F;
    expected[256] = 0x01;
    expected[257] = 0x00;
    EXPECT_EQ(Hex(key), Hex(expected));
}

TEST(Key_Encoding, Characters_Beyond_The_Basic_Plane_Get_Computed_Codes) {
    // U+1F600 is D83D DE00 in UTF-16: two codes, each with the accent code 3F.
    Bytes key;
    jet::Append_Key_Part(key, fmt::Type_Text, Text("\xf0\x9f\x98\x80"), true);
    EXPECT_EQ(Hex(key), "7f b0 3f b6 fc 01 3f 3f 00");
}

TEST(Key_Encoding, Every_Character_Has_A_Key_And_Keys_Keep_Their_Order_Of_Case) {
    // Each character of the plane encodes; upper and lower case share their codes.
    for (char32_t c = 1; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        Bytes key;
        jet::Append_Text_Key(key, std::u16string(1, static_cast<char16_t>(c)), true);
        ASSERT_GE(key.size(), 2u) << std::hex << static_cast<std::uint32_t>(c);
        ASSERT_EQ(key.back(), fmt::Text_Key_Extra_End);
    }
    for (char c = 'a'; c <= 'z'; ++c) {
        Bytes lower, upper;
        jet::Append_Text_Key(lower, std::u16string(1, static_cast<char16_t>(c)), true);
        jet::Append_Text_Key(upper, std::u16string(1, static_cast<char16_t>(c - 'a' + 'A')), true);
        EXPECT_EQ(lower, upper) << c;
    }
}

// Databases we generate hold keys the generator built from its own values; the reader's
// values must give the same keys, for every type the profiles index.
TEST(Key_Encoding, Generated_Keys_Are_The_Keys_Of_The_Rows_Read_Back) {
    Temp_Folder temp;
    Tally tally;
    for (const auto& profile : jet::Generator_Profiles()) {
        SCOPED_TRACE(profile);
        jet::Generate_Options options;
        options.profile = profile;
        options.rows = 300;
        const auto path = temp / (profile + ".mdb");
        const auto result = jet::Generate_Database(options, path);
        jet::Database db(path, result.password);
        for (const auto& entry : db.Tables(true)) Compare_Table(db, entry, tally);
    }
    std::cout << "generated keys compared: " << tally.keys << " in " << tally.indexes << " indexes\n";
    for (const auto& [type, n] : tally.per_type) std::cout << "  " << type << ": " << n << "\n";
    EXPECT_EQ(tally.mismatches, 0u);
    EXPECT_EQ(tally.not_verified, 0u);
    EXPECT_GT(tally.keys, 1000u);
}

TEST(Key_Encoding, Other_Sort_Orders_Are_Reported_Not_Guessed) {
    REQUIRE_KEY_CORPUS();
    jet::Database db(Corpus() / "indexTestV2000.mdb");
    std::size_t text_indexes = 0;
    for (const auto& entry : db.Tables(true)) {
        const auto& def = db.Definition(entry);
        for (const auto& index : def.real_indexes) {
            // The same table with its text columns in French (1036), then in Access 2010's
            // General (1033 version 1), then naming no order in a French database.
            jet::Table_Definition french = def, general_2010 = def, unnamed = def;
            bool has_text = false;
            for (const auto& c : index.columns) {
                const auto at = static_cast<std::size_t>(def.Find_Column(c.column_number) - def.columns.data());
                if (def.columns[at].type != fmt::Type_Text) continue;
                EXPECT_EQ(jet::Column_Sort_Order(def, def.columns[at], db.Header()), (jet::Sort_Order{1033, 0}));
                has_text = true;
                french.columns[at].sort_order = 1036;
                general_2010.bytes[def.columns[at].block_offset + fmt::Column_Sort_Version] = 1;
                unnamed.columns[at].sort_order = 0;
            }
            if (!has_text) continue;
            ++text_indexes;
            jet::Database_Header french_header = db.Header();
            french_header.sort_order = 1036;
            const std::pair<const jet::Table_Definition*, const char*> cases[] = {
                {&french, "1036 version 0"}, {&general_2010, "1033 version 1"}, {&unnamed, "1036 version 0"}};
            for (const auto& [table, order] : cases) {
                const jet::Index_Key_Encoder encoder(*table, index, french_header);
                EXPECT_FALSE(encoder.Encodable()) << order;
                EXPECT_NE(encoder.Obstacle().find(order), std::string::npos) << encoder.Obstacle();
                EXPECT_FALSE(jet::Encode_Index_Key(*table, index, {}, french_header).has_value());
            }
            EXPECT_TRUE(jet::Index_Key_Encoder(unnamed, index, db.Header()).Encodable());
            // Entries can still be counted against the rows the index keeps.
            const jet::Index_Key_Encoder encoder(french, index, french_header);
            std::size_t kept = 0, entries = 0;
            db.Rows(def, [&](const jet::Live_Row& row) { kept += encoder.Skips(db.Decode(def, row)) ? 0 : 1; });
            jet::Walk_Index(db.File(), def, index, [&](const jet::Index_Entry&) { ++entries; });
            EXPECT_EQ(entries, kept) << entry.name << ", index " << index.number;
        }
    }
    EXPECT_GT(text_indexes, 0u);
}

TEST(Key_Encoding, Int32_Keys_Of_Renumbered_Ids) {
    std::uint8_t at[5];
    jet::Encode_Int32_Key(at, 0x0F000001, true);
    EXPECT_EQ(Hex(Bytes(at, at + 5)), "7f 8f 00 00 01");
    jet::Encode_Int32_Key(at, -2, false);
    EXPECT_EQ(Hex(Bytes(at, at + 5)), "80 80 00 00 01");
}

}  // namespace
}  // namespace reader_test
