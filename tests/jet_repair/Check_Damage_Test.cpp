// The check against damage: each kind of damage (tests/support/Damage.h), made in a copy
// of a database Access wrote, is reported naming the file and the table; sound samples
// and generated databases give no problem, and every index key in them is verified.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "jet/engine/Check.h"
#include "jet/generator/Generator.h"
#include "jet/index/Index.h"
#include "jet/index/Key_Encoding.h"
#include "jet/row/Row_Numbers.h"
#include "support/Corpus_Required.h"
#include "support/Damage.h"
#include "support/Temp_Folder.h"

namespace {

namespace fs = std::filesystem;
namespace jet = kelbrook::jet;
namespace kt = kelbrook::testing;

using kelbrook::testing::Temp_Folder;

#define REQUIRE_CORPUS() KELBROOK_CORPUS_OR_SKIP(kt::Corpus_Present(), "corpus folder " KELBROOK_CORPUS_DIR " is absent")

const std::vector<std::string>& Sample_Names() {
    static const std::vector<std::string> names = {
        "adox_jet4.mdb", "bigIndexTestV2000.mdb", "compIndexTestV2000.mdb", "delColTestV2000.mdb",
        "delTestV2000.mdb", "empty.mdb", "emptyJet4.mdb", "encodedV2000.mdb", "fixedNumericTestV2000.mdb",
        "fixedTextTestV2000.mdb", "indexCursorTestV2000.mdb", "indexTestV2000.mdb", "overflowTestV2000.mdb",
        "queryTestV2000.mdb", "test2V2000.mdb", "testIndexPropertiesV2000.mdb", "testPromotionV2000.mdb",
        "testRefGlobalV2000.mdb", "testV2000.mdb"};
    return names;
}

struct Checked {
    std::vector<std::string> problems;
    std::vector<std::string> notes;
};

// `decode`: false as the compactor checks its output (values compared byte for byte, so
// only the indexed and autonumber columns are decoded).
Checked Run_Check(const fs::path& file, bool strict = false, bool decode = true) {
    Checked out;
    jet::Check_Options options;
    options.strict_global_map = strict;
    options.decode_values = decode;
    options.note = [&out](const std::string& note) { out.notes.push_back(note); };
    out.problems = jet::Check(file, "", options);
    return out;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += "\n  " + l;
    return out;
}

// ---- Each kind of damage is found --------------------------------------------------------

struct Damage_Case {
    std::string file;
    kt::Damage kind;
    std::string found;  // in the problem line that reports it
};

std::ostream& operator<<(std::ostream& out, const Damage_Case& c) {
    return out << kt::Damage_Name(c.kind) << " in " << c.file;
}

// Whether a problem line names the damage (`found`) and the table, and, when `file` is
// given, begins with the file's name.
bool Names_Damage(const std::vector<std::string>& problems, const std::string& found, const std::string& table,
                  const std::string& file = {}) {
    return std::any_of(problems.begin(), problems.end(), [&](const std::string& line) {
        return line.find(found) != std::string::npos && line.find("\"" + table + "\"") != std::string::npos &&
               line.rfind(file, 0) == 0;
    });
}

class Check_Finds : public ::testing::TestWithParam<Damage_Case> {};

TEST_P(Check_Finds, The_Damage_Naming_File_And_Table) {
    REQUIRE_CORPUS();
    const Damage_Case& c = GetParam();
    Temp_Folder folder;
    const kt::Damaged_Copy damaged = kt::Make_Damaged_Copy(c.file, folder.Path(), c.kind);
    const std::string table = "\"" + damaged.table + "\"";
    // As users check, and as the compactor checks its output: strict, values not decoded.
    for (const bool users : {true, false}) {
        SCOPED_TRACE(users ? "jetdb check" : "strict, values not decoded");
        const Checked checked = Run_Check(damaged.path, !users, users);
        EXPECT_TRUE(Names_Damage(checked.problems, c.found, damaged.table, damaged.path.string())) << damaged.what << ": no line with \"" << c.found << "\" and table " << table
                           << Joined(checked.problems);
    }
}

const Damage_Case Damage_Cases[] = {
    {"indexTestV2000.mdb", kt::Damage::Row_Count, "records 5 rows but holds 4"},
    {"compIndexTestV2000.mdb", kt::Damage::Row_Count, "records 513 rows but holds 512"},
    {"indexTestV2000.mdb", kt::Damage::Autonumber_Counter, "autonumber counter"},
    {"testPromotionV2000.mdb", kt::Damage::Autonumber_Counter, "autonumber counter"},
    // An integer, a descending integer, text (compressed and not) and a text primary key.
    {"indexTestV2000.mdb", kt::Damage::Key_Value, "holds another key than the row's values give"},
    {"compIndexTestV2000.mdb", kt::Damage::Key_Value, "holds another key than the row's values give"},
    {"fixedTextTestV2000.mdb", kt::Damage::Key_Value, "holds another key than the row's values give"},
    {"testV2000.mdb", kt::Damage::Key_Value, "holds another key than the row's values give"},
    {"test2V2000.mdb", kt::Damage::Key_Value, "holds another key than the row's values give"},
    {"indexTestV2000.mdb", kt::Damage::Entry_Order, "entries out of order"},
    {"compIndexTestV2000.mdb", kt::Damage::Entry_Order, "entries out of order"},
    {"indexTestV2000.mdb", kt::Damage::Deleted_Row_Indexed, "which is not a live row of the table"},
    {"fixedTextTestV2000.mdb", kt::Damage::Deleted_Row_Indexed, "which is not a live row of the table"},
    {"indexTestV2000.mdb", kt::Damage::Entry_Wrong_Row, "holds another key than the row's values give"},
    {"compIndexTestV2000.mdb", kt::Damage::Entry_Wrong_Row, "holds another key than the row's values give"},
    {"bigIndexTestV2000.mdb", kt::Damage::Entry_Wrong_Row, "holds another key than the row's values give"},
    {"compIndexTestV2000.mdb", kt::Damage::Leaf_Link, "instead of its neighbours"},
    {"indexTestV2000.mdb", kt::Damage::Leaf_Link, "instead of its neighbours"},
    {"indexTestV2000.mdb", kt::Damage::Data_Page_Type, "lists pages that are not data pages of the table"},
    {"delTestV2000.mdb", kt::Damage::Data_Page_Type, "lists pages that are not data pages of the table"},
    // The catalogue's own data page: the tables it named are gone, the catalogue is still checked.
    {"bigIndexTestV2000.mdb", kt::Damage::Data_Page_Type, "lists pages that are not data pages of the table"},
    {"test2V2000.mdb", kt::Damage::Long_Value_Chain, "page number out of range"},
    {"indexTestV2000.mdb", kt::Damage::Row_Offset, "impossible position"},
    {"overflowTestV2000.mdb", kt::Damage::Row_Offset, "impossible position"},
};

std::string Case_Name(const ::testing::TestParamInfo<Damage_Case>& info) {
    return kt::Damage_Case_Name(info.param.kind, info.param.file);
}

INSTANTIATE_TEST_SUITE_P(Damage, Check_Finds, ::testing::ValuesIn(Damage_Cases), Case_Name);

// Every kind of damage is exercised above.
TEST(Check_Finds_Cases, Cover_Every_Kind_Of_Damage) {
    EXPECT_EQ(kt::Kinds_Not_Covered(std::vector<Damage_Case>(std::begin(Damage_Cases), std::end(Damage_Cases))),
              std::vector<std::string>{});
}

// ---- Indexes against the entries they must hold -------------------------------------------

// Per table definition page, per real index: the digest of the entries of `file`'s index
// (rows numbered in the table's row order), as the compactor knows them for its output.
using Entry_Digests = std::map<std::uint32_t, std::vector<std::uint64_t>>;

Entry_Digests Digests_Of(const fs::path& file) {
    const jet::Database db(file);
    Entry_Digests out;
    for (const auto& entry : db.Tables(true)) {
        const jet::Table_Definition& def = db.Definition(entry);
        jet::Row_Numbers numbers;
        db.Rows(def, [&](const jet::Live_Row& row) { numbers.Add(row.header); }, jet::Long_Values::Skip);
        for (const auto& ix : def.real_indexes) {
            std::uint64_t digest = 0;
            jet::Walk_Index(db.File(), def, ix, [&](const jet::Index_Entry& e) {
                digest += jet::Index_Entry_Digest(numbers.Of(e.row).value(), e.key);
            });
            out[def.page].push_back(digest);
        }
    }
    return out;
}

// With `beside`, every table's indexes are walked on a second thread, through a second
// handle, while the rows are read.
std::vector<std::string> Check_Against(const fs::path& file, const Entry_Digests& digests, bool beside = false) {
    jet::Check_Options options;
    options.strict_global_map = false;
    options.decode_values = false;
    options.expected_entries = [&digests](const jet::Table_Definition& def, std::size_t index)
        -> std::optional<std::uint64_t> {
        const auto it = digests.find(def.page);
        if (it == digests.end() || index >= it->second.size()) return std::nullopt;
        return it->second[index];
    };
    if (!beside) return jet::Check(file, "", options);
    const jet::Database db(file), second(file);
    options.beside = &second;
    options.rows_beside = 0;
    return jet::Check(db, options);
}

// Damage to an index, checked against the digests of the sound file's entries, is found
// and named; a row's changed value is not (the compactor compares rows byte for byte).
class Check_Against_Digests : public ::testing::TestWithParam<Damage_Case> {};

TEST_P(Check_Against_Digests, Finds_The_Damaged_Index) {
    REQUIRE_CORPUS();
    const Damage_Case& c = GetParam();
    Temp_Folder folder;
    const kt::Damaged_Copy damaged = kt::Make_Damaged_Copy(c.file, folder.Path(), c.kind);
    const Entry_Digests digests = Digests_Of(kt::Corpus_File(c.file));
    const auto problems = Check_Against(damaged.path, digests);
    EXPECT_TRUE(Names_Damage(problems, c.found, damaged.table)) << damaged.what << ": no line with \"" << c.found << "\"" << Joined(problems);
    EXPECT_EQ(Check_Against(damaged.path, digests, true), problems) << "the same lines with the indexes walked beside";
}

const Damage_Case Index_Damage_Cases[] = {
    {"indexTestV2000.mdb", kt::Damage::Entry_Wrong_Row, "not the ones the rows' values give"},
    {"compIndexTestV2000.mdb", kt::Damage::Entry_Wrong_Row, "not the ones the rows' values give"},
    {"bigIndexTestV2000.mdb", kt::Damage::Entry_Wrong_Row, "not the ones the rows' values give"},
    {"indexTestV2000.mdb", kt::Damage::Entry_Order, "entries out of order"},
    {"compIndexTestV2000.mdb", kt::Damage::Entry_Order, "entries out of order"},
    {"indexTestV2000.mdb", kt::Damage::Deleted_Row_Indexed, "which is not a live row of the table"},
    {"fixedTextTestV2000.mdb", kt::Damage::Deleted_Row_Indexed, "which is not a live row of the table"},
    {"indexTestV2000.mdb", kt::Damage::Leaf_Link, "instead of its neighbours"},
};

INSTANTIATE_TEST_SUITE_P(Damage, Check_Against_Digests, ::testing::ValuesIn(Index_Damage_Cases), Case_Name);

// Sound samples pass against their own digests; any digest off by one is reported for
// its index alone.
TEST(Check_Against_Digests_Sound, Pass_And_A_Wrong_Digest_Is_Named) {
    REQUIRE_CORPUS();
    for (const char* name : {"indexTestV2000.mdb", "compIndexTestV2000.mdb", "testV2000.mdb", "bigIndexTestV2000.mdb"}) {
        SCOPED_TRACE(name);
        const fs::path file = kt::Corpus_File(name);
        Entry_Digests digests = Digests_Of(file);
        EXPECT_TRUE(Check_Against(file, digests).empty()) << Joined(Check_Against(file, digests));
        EXPECT_TRUE(Check_Against(file, digests, true).empty()) << Joined(Check_Against(file, digests, true));
        for (auto& [page, per_index] : digests)
            for (std::size_t i = 0; i < per_index.size(); ++i) {
                per_index[i] += 1;
                const auto problems = Check_Against(file, digests);
                EXPECT_EQ(Check_Against(file, digests, true), problems) << "walked beside";
                per_index[i] -= 1;
                ASSERT_EQ(problems.size(), 1u) << "table page " << page << ", index " << i << Joined(problems);
                EXPECT_NE(problems[0].find("not the ones the rows' values give"), std::string::npos) << problems[0];
            }
    }
}

// ---- No false alarms ------------------------------------------------------------------

// Sound samples pass, and every index key in them (text included) is verified: a note
// would say which could not be.
TEST(Check_Sound, Samples_Pass_With_Every_Key_Verified) {
    REQUIRE_CORPUS();
    for (const auto& name : Sample_Names()) {
        SCOPED_TRACE(name);
        const Checked checked = Run_Check(kt::Corpus_File(name));
        EXPECT_TRUE(checked.problems.empty()) << Joined(checked.problems);
        EXPECT_TRUE(checked.notes.empty()) << Joined(checked.notes);
    }
}

// Generated databases pass: with a history (deleted and moved rows, a dropped table's
// pages) as Access leaves it, and strictly without one, as our writer makes them.
TEST(Check_Sound, Generated_Databases_Pass) {
    Temp_Folder folder;
    for (const auto& profile : jet::Generator_Profiles())
        for (const bool history : {true, false}) {
            SCOPED_TRACE(profile + (history ? ", with a history" : ", strict, without a history"));
            jet::Generate_Options options;
            options.profile = profile;
            options.rows = 1000;
            options.password = "";
            options.deleted_fraction = history ? 0.15 : 0;
            const fs::path file = folder.Path() / (profile + (history ? "-h" : "") + ".mdb");
            jet::Generate_Database(options, file);
            const Checked checked = Run_Check(file, !history);
            EXPECT_TRUE(checked.problems.empty()) << Joined(checked.problems);
            EXPECT_TRUE(checked.notes.empty()) << Joined(checked.notes);
        }
}

// A text column in a sort order whose keys this engine does not build: its index is noted
// once as not verified, which is no problem; the other indexes are still verified.
TEST(Check_Sound, Text_In_Another_Sort_Order_Is_Noted_Not_Failed) {
    REQUIRE_CORPUS();
    Temp_Folder folder;
    const fs::path file = folder.Path() / "fixedTextTestV2000.mdb";
    fs::copy_file(kt::Corpus_File("fixedTextTestV2000.mdb"), file);
    std::vector<std::uint8_t> bytes = kt::damage_detail::Read_Bytes(file);
    std::size_t text_columns = 0;
    {
        const jet::Database db(file);
        const auto& def = db.Definition(db.Find_Table("users"));
        for (const auto& c : def.columns)
            if (c.type == jet::format::Type_Text && c.block_offset + jet::format::Column_Block_Size < jet::format::Page_Size) {
                jet::Put_U16(bytes, kt::damage_detail::At(def.page, c.block_offset + jet::format::Column_Misc), 1036);
                ++text_columns;
            }
    }
    ASSERT_GT(text_columns, 0u);
    kt::damage_detail::Write_Bytes(file, bytes);
    const Checked checked = Run_Check(file);
    EXPECT_TRUE(checked.problems.empty()) << Joined(checked.problems);
    ASSERT_EQ(checked.notes.size(), 1u) << Joined(checked.notes);
    EXPECT_NE(checked.notes[0].find("keys not verified"), std::string::npos) << checked.notes[0];
    EXPECT_NE(checked.notes[0].find("1036"), std::string::npos) << checked.notes[0];

    // A changed integer key in the same file is still found.
    const kt::Damaged_Copy damaged = kt::Damage_File(file, kt::Damage::Entry_Wrong_Row);
    EXPECT_FALSE(Run_Check(damaged.path).problems.empty()) << damaged.what;
}

// ---- jetdb check ---------------------------------------------------------------------

struct Run_Result {
    int status = -1;
    std::string out;
};

Run_Result Run_Command(const std::string& shell_command) {
    const std::string command = shell_command + " 2>/dev/null";
    Run_Result r;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.out.append(buffer, n);
    const int status = ::pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

Run_Result Run_Jetdb(const std::string& arguments) {
    return Run_Command("'" + (fs::path(KELBROOK_BIN_DIR) / "jetdb").string() + "' " + arguments);
}

// mdbtools, reading rows without their indexes, sees the one value Key_Value changed and
// nothing else: the damage is in the row, as meant, and the rest of the file reads alike.
TEST(Damage_Seen_By_Mdbtools, Key_Value_Changes_One_Field) {
    REQUIRE_CORPUS();
    if (std::system("command -v mdb-export > /dev/null 2>&1") != 0) {
        KELBROOK_CORPUS_OR_SKIP(false, "mdb-export (mdbtools) is not installed");
    }
    Temp_Folder folder;
    const kt::Damaged_Copy damaged = kt::Make_Damaged_Copy("indexTestV2000.mdb", folder.Path(), kt::Damage::Key_Value);
    auto fields = [&damaged](const fs::path& file) {
        const Run_Result r = Run_Command("mdb-export '" + file.string() + "' '" + damaged.table + "'");
        EXPECT_EQ(r.status, 0) << file;
        std::vector<std::string> out;
        std::string field;
        for (char ch : r.out) {
            if (ch == ',' || ch == '\n') {
                out.push_back(field);
                field.clear();
            } else {
                field += ch;
            }
        }
        return out;
    };
    const auto before = fields(kt::Corpus_File("indexTestV2000.mdb"));
    const auto after = fields(damaged.path);
    ASSERT_EQ(before.size(), after.size());
    std::size_t changed = 0;
    for (std::size_t i = 0; i < before.size(); ++i) changed += before[i] != after[i];
    EXPECT_EQ(changed, 1u) << damaged.what;
}

TEST(Jetdb_Check, Reports_A_Changed_Key_With_Status_1) {
    REQUIRE_CORPUS();
    Temp_Folder folder;
    const kt::Damaged_Copy damaged = kt::Make_Damaged_Copy("indexTestV2000.mdb", folder.Path(), kt::Damage::Key_Value);
    const Run_Result r = Run_Jetdb("check '" + damaged.path.string() + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("holds another key than the row's values give"), std::string::npos) << r.out;
    const Run_Result sound = Run_Jetdb("check '" + kt::Corpus_File("indexTestV2000.mdb").string() + "'");
    EXPECT_EQ(sound.status, 0) << sound.out;
    EXPECT_EQ(sound.out, "");
}

}  // namespace
