// Compaction that repairs: each kind of damage (tests/support/Damage.h), made in a copy of
// a database Access wrote, compacts into a sound copy (strict check) holding every row
// that can still be read, as mdbtools reads it; what was lost is listed in the copy's
// MSysCompactError table and in the result. A damaged database goes through the rotation
// like any other, its backup keeping the damaged original.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "jet/engine/Check.h"
#include "jet/engine/Compact_Error_Table.h"
#include "jet/engine/Compactor.h"
#include "jet/engine/Database.h"
#include "jet/generator/Generator.h"
#include "jet/row/Salvage_Rows.h"
#include "maintenance/Compact_Databases.h"
#include "platform/Database_Engine.h"
#include "platform/File_System_Service.h"
#include "support/Corpus_Required.h"
#include "support/Damage.h"
#include "support/Temp_Drive.h"
#include "support/Temp_Folder.h"

namespace {

namespace fs = std::filesystem;
namespace jet = kelbrook::jet;
namespace kt = kelbrook::testing;

using kelbrook::testing::Temp_Folder;

#define REQUIRE_CORPUS() KELBROOK_CORPUS_OR_SKIP(kt::Corpus_Present(), "corpus folder " KELBROOK_CORPUS_DIR " is absent")

std::string Quoted(const fs::path& path) {
    std::string out = "'";
    for (char c : path.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Standard output of a command, or nothing when it failed.
std::optional<std::string> Output_Of(const std::string& command) {
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string out;
    char buffer[4096];
    while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, got);
    if (::pclose(pipe) != 0) return std::nullopt;
    return out;
}

bool Have_Mdbtools() { return Output_Of("mdb-json --version").has_value() || Output_Of("which mdb-json").has_value(); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// The user tables as mdbtools lists them.
std::vector<std::string> Mdb_Tables(const fs::path& file) {
    return Lines(Output_Of("mdb-tables -1 " + Quoted(file)).value_or(""));
}

// Every row of a table as mdb-json gives it, sorted; nothing when mdbtools fails.
std::optional<std::vector<std::string>> Mdb_Rows(const fs::path& file, const std::string& table) {
    const auto out = Output_Of("mdb-json " + Quoted(file) + " " + Quoted(table));
    if (!out) return std::nullopt;
    auto lines = Lines(*out);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string Connection(const fs::path& file) {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file.string() + ";Jet OLEDB:Database Password=;";
}

// `beside`: every table has its indexes checked and copied on a second thread while its
// rows are read, as large ones do.
jet::Compact_Result Compact(const fs::path& source, const fs::path& destination, bool beside = false) {
    jet::Compact_Options options;
    if (beside) options.rows_checked_beside = 0;
    return jet::CompactDatabase(Connection(source),
                                "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + destination.string() + ";", options);
}

std::string Read_All(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Rows of each table that can be read at all, by the engine's salvaging reader.
std::map<std::string, std::size_t> Readable_Rows(const fs::path& file) {
    std::map<std::string, std::size_t> rows;
    const jet::Database db(file);
    for (const auto& t : db.Tables(false)) {
        jet::Long_Value_Claims claims;
        std::size_t& count = rows[t.name];
        jet::Salvage_Rows(db.File(), db.Definition(t), [&count](const jet::Live_Row&) { ++count; }, true, &claims,
                          [](const jet::Row_Loss&) {});
    }
    return rows;
}

std::string Joined(const std::vector<jet::Repair_Note>& notes) {
    std::string out;
    for (const auto& n : notes) out += "\n  " + jet::Describe(n);
    return out;
}

// ---- Each kind of damage is repaired ------------------------------------------------------

struct Repair_Case {
    std::string file;
    kt::Damage kind;
    bool loses;    // rows or values of the source are not all in the copy
    bool records;  // MSysCompactError lists something (losses, a unique index given up)
};

std::ostream& operator<<(std::ostream& out, const Repair_Case& c) {
    return out << kt::Damage_Name(c.kind) << " in " << c.file;
}

class Compact_Repairs : public ::testing::TestWithParam<Repair_Case> {};

TEST_P(Compact_Repairs, Into_A_Sound_Copy_Of_Every_Readable_Row) {
    REQUIRE_CORPUS();
    if (!Have_Mdbtools()) GTEST_SKIP() << "mdbtools is not installed";
    const Repair_Case& c = GetParam();
    Temp_Folder folder;
    const kt::Damaged_Copy damaged = kt::Make_Damaged_Copy(c.file, folder.Path(), c.kind);
    const fs::path original = kt::Corpus_File(c.file);
    const fs::path out = folder.Path() / "out.mdb";

    const jet::Compact_Result result = Compact(damaged.path, out);

    // Sound: the strict check finds nothing, every key verified.
    jet::Check_Options strict;
    strict.strict_global_map = true;
    const auto problems = jet::Check(out, "", strict);
    EXPECT_TRUE(problems.empty()) << damaged.what << ": " << (problems.empty() ? "" : problems.front());

    // The repair is reported, naming the damaged table.
    const bool named = std::any_of(result.repairs.begin(), result.repairs.end(),
                                   [&](const jet::Repair_Note& n) { return n.table == damaged.table; });
    EXPECT_TRUE(named) << damaged.what << Joined(result.repairs);

    // mdbtools reads every readable row from the copy; tables not damaged are as they were.
    const auto readable = Readable_Rows(damaged.path);
    for (const auto& table : Mdb_Tables(out)) {
        if (table.rfind("MSys", 0) == 0) continue;
        const auto rows = Mdb_Rows(out, table);
        ASSERT_TRUE(rows.has_value()) << "mdb-json fails on table " << table << " of the copy";
        EXPECT_EQ(rows->size(), readable.at(table)) << table;
        const auto before = Mdb_Rows(original, table).value_or(std::vector<std::string>{});
        if (table != damaged.table) {
            EXPECT_EQ(*rows, before) << table;
        } else if (!c.loses) {
            // Each row as it was, but for the one whose value the damage changed.
            std::vector<std::string> changed;
            std::set_difference(rows->begin(), rows->end(), before.begin(), before.end(), std::back_inserter(changed));
            EXPECT_LE(changed.size(), 1u) << table << ": " << changed.front();
        }
    }

    // Losses, and only losses, are listed in MSysCompactError, naming the table.
    std::size_t losses = 0;
    for (const auto& n : result.repairs) losses += n.recorded ? 1 : 0;
    const auto errors = Mdb_Rows(out, "MSysCompactError");
    if (c.records) {
        ASSERT_TRUE(errors.has_value()) << "no MSysCompactError table" << Joined(result.repairs);
        EXPECT_EQ(errors->size(), losses);
        const bool listed = std::any_of(errors->begin(), errors->end(), [&](const std::string& row) {
            return row.find("\"ErrorTable\":\"" + damaged.table + "\"") != std::string::npos;
        });
        EXPECT_TRUE(listed) << (errors->empty() ? "" : errors->front());
    } else {
        EXPECT_EQ(losses, 0u) << Joined(result.repairs);
        EXPECT_FALSE(errors.has_value()) << "MSysCompactError in a copy that lost nothing";
    }

    // Deterministic, and a fixed point: the damaged file again, its tables checked on a
    // second thread this time, gives the same bytes and repairs, and the copy compacts to
    // itself.
    const fs::path again = folder.Path() / "again.mdb";
    const fs::path twice = folder.Path() / "twice.mdb";
    const jet::Compact_Result beside = Compact(damaged.path, again, true);
    EXPECT_EQ(Read_All(again), Read_All(out));
    EXPECT_EQ(Joined(beside.repairs), Joined(result.repairs));
    const jet::Compact_Result second = Compact(out, twice);
    EXPECT_EQ(Read_All(twice), Read_All(out));
    EXPECT_TRUE(second.repairs.empty()) << Joined(second.repairs);
}

const Repair_Case Repair_Cases[] = {
    {"indexTestV2000.mdb", kt::Damage::Row_Count, false, false},
    {"compIndexTestV2000.mdb", kt::Damage::Row_Count, false, false},
    {"indexTestV2000.mdb", kt::Damage::Autonumber_Counter, false, false},
    {"testPromotionV2000.mdb", kt::Damage::Autonumber_Counter, false, false},
    // Its primary key's value changes to another row's: the index is kept, not unique.
    {"indexTestV2000.mdb", kt::Damage::Key_Value, false, true},
    {"compIndexTestV2000.mdb", kt::Damage::Key_Value, false, false},
    {"fixedTextTestV2000.mdb", kt::Damage::Key_Value, false, false},
    {"testV2000.mdb", kt::Damage::Key_Value, false, false},
    {"test2V2000.mdb", kt::Damage::Key_Value, false, false},
    {"indexTestV2000.mdb", kt::Damage::Entry_Order, false, false},
    {"compIndexTestV2000.mdb", kt::Damage::Entry_Order, false, false},
    {"indexTestV2000.mdb", kt::Damage::Deleted_Row_Indexed, false, false},
    {"fixedTextTestV2000.mdb", kt::Damage::Deleted_Row_Indexed, false, false},
    {"indexTestV2000.mdb", kt::Damage::Entry_Wrong_Row, false, false},
    {"compIndexTestV2000.mdb", kt::Damage::Entry_Wrong_Row, false, false},
    {"bigIndexTestV2000.mdb", kt::Damage::Entry_Wrong_Row, false, false},
    {"compIndexTestV2000.mdb", kt::Damage::Leaf_Link, false, false},
    {"indexTestV2000.mdb", kt::Damage::Leaf_Link, false, false},
    {"indexTestV2000.mdb", kt::Damage::Data_Page_Type, true, true},
    {"delTestV2000.mdb", kt::Damage::Data_Page_Type, true, true},
    {"test2V2000.mdb", kt::Damage::Long_Value_Chain, true, true},
    {"indexTestV2000.mdb", kt::Damage::Row_Offset, true, true},
    {"overflowTestV2000.mdb", kt::Damage::Row_Offset, true, true},
};

INSTANTIATE_TEST_SUITE_P(Damage, Compact_Repairs, ::testing::ValuesIn(Repair_Cases),
                         [](const ::testing::TestParamInfo<Repair_Case>& info) {
                             return kt::Damage_Case_Name(info.param.kind, info.param.file);
                         });

TEST(Compact_Repairs_Cases, Cover_Every_Kind_Of_Damage) {
    EXPECT_EQ(kt::Kinds_Not_Covered(std::vector<Repair_Case>(std::begin(Repair_Cases), std::end(Repair_Cases))),
              std::vector<std::string>{});
}

// ---- Pages overwritten whole -------------------------------------------------------------------

// A data page, an index leaf or a long-value page late in a large table overwritten with
// garbage: the copy is sound and holds every row that can still be read.
TEST(Compact_Repairs_Overwritten, Pages_Inside_A_Table) {
    REQUIRE_CORPUS();
    if (!Have_Mdbtools()) GTEST_SKIP() << "mdbtools is not installed";
    Temp_Folder folder;
    const fs::path generated = folder.Path() / "generated.mdb";
    jet::Generate_Options options;
    options.profile = "instrument-history";
    options.rows = 6000;
    options.deleted_fraction = 0;
    jet::Generate_Database(options, generated);

    struct Case {
        const char* name;
        fs::path model;
        std::string table;
        // The page to spoil, found with our reader, and where on it the garbage starts.
        std::function<std::uint32_t(const jet::Database&, const jet::Table_Definition&)> page;
        std::size_t from;
        std::uint8_t fill;
    };
    const std::vector<Case> cases = {
        {"data page", kt::Corpus_File("indexTestV2000.mdb"), "Table1",
         [](const jet::Database& db, const jet::Table_Definition& def) { return jet::Table_Data_Pages(db.File(), def).at(0); },
         12, 0xEE},
        {"index leaf", kt::Corpus_File("indexTestV2000.mdb"), "Table1",
         [](const jet::Database&, const jet::Table_Definition& def) { return def.real_indexes.at(0).root; }, 0x1B, 0},
        {"long-value page", generated, "RunEvents",
         [](const jet::Database& db, const jet::Table_Definition& def) {
             std::uint32_t last = 0;
             db.Rows(def, [&](const jet::Live_Row& row) {
                 for (const auto& lv : row.long_values)
                     if (!lv.pages.empty()) last = lv.pages.back();
             });
             return last;
         },
         0, 0x99},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path source = folder.Path() / "source.mdb";
        const fs::path out = folder.Path() / "out.mdb";
        fs::copy_file(c.model, source, fs::copy_options::overwrite_existing);
        fs::permissions(source, fs::perms::owner_write, fs::perm_options::add);
        std::uint32_t page = 0;
        {
            const jet::Database db(source);
            page = c.page(db, db.Definition(db.Find_Table(c.table)));
        }
        ASSERT_NE(page, 0u);
        {
            std::fstream file(source, std::ios::binary | std::ios::in | std::ios::out);
            file.seekp(static_cast<std::streamoff>(page) * jet::format::Page_Size + static_cast<std::streamoff>(c.from));
            const std::string garbage(jet::format::Page_Size - c.from, static_cast<char>(c.fill));
            file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
        }
        const jet::Compact_Result result = Compact(source, out);
        EXPECT_FALSE(result.repairs.empty());
        jet::Check_Options strict;
        strict.strict_global_map = true;
        const auto problems = jet::Check(out, "", strict);
        EXPECT_TRUE(problems.empty()) << problems.front();
        const auto rows = Mdb_Rows(out, c.table);
        ASSERT_TRUE(rows.has_value());
        EXPECT_EQ(rows->size(), Readable_Rows(source).at(c.table));
        fs::remove(out);
    }
}

// ---- What each repair does --------------------------------------------------------------------

// The counter becomes the column's largest value: the next row gets that plus one.
// Text keys in a sort order this engine does not build: a sound index keeps its own keys,
// on either thread, and passes the strict check; one out of step with its rows cannot be
// rebuilt, and the compaction is refused, naming it, rather than passing the damage on.
TEST(Compact_Repairs_Other_Sort_Order, Keeps_Sound_Keys_And_Refuses_To_Guess) {
    REQUIRE_CORPUS();
    Temp_Folder folder;
    auto other_order = [](const fs::path& file) {  // the text columns of "users" in French order
        auto bytes = kt::damage_detail::Read_Bytes(file);
        const jet::Database db(file);
        const auto& def = db.Definition(db.Find_Table("users"));
        std::size_t patched = 0;
        for (const auto& c : def.columns)
            if (c.type == jet::format::Type_Text && c.block_offset + jet::format::Column_Block_Size < jet::format::Page_Size) {
                jet::Put_U16(bytes, kt::damage_detail::At(def.page, c.block_offset + jet::format::Column_Misc), 1036);
                ++patched;
            }
        kt::damage_detail::Write_Bytes(file, bytes);
        return patched;
    };
    const fs::path sound = folder.Path() / "sound.mdb";
    fs::copy_file(kt::Corpus_File("fixedTextTestV2000.mdb"), sound);
    ASSERT_GT(other_order(sound), 0u);
    std::vector<std::string> outputs;
    for (const bool beside : {false, true}) {
        SCOPED_TRACE(beside ? "indexes read beside" : "all on one thread");
        const fs::path out = folder.Path() / (beside ? "beside.mdb" : "here.mdb");
        EXPECT_TRUE(Compact(sound, out, beside).repairs.empty());
        jet::Check_Options strict;
        strict.strict_global_map = true;
        const auto problems = jet::Check(out, "", strict);
        EXPECT_TRUE(problems.empty()) << problems.front();
        outputs.push_back(Read_All(out));
    }
    EXPECT_EQ(outputs[0], outputs[1]) << "the same bytes on either thread";

    const fs::path damaged = folder.Path() / "damaged.mdb";
    fs::copy_file(kt::Corpus_File("fixedTextTestV2000.mdb"), damaged);
    ASSERT_EQ(kt::Damage_File(damaged, kt::Damage::Deleted_Row_Indexed).table, "users");
    other_order(damaged);
    for (const bool beside : {false, true}) {
        SCOPED_TRACE(beside ? "indexes read beside" : "all on one thread");
        const fs::path out = folder.Path() / "refused.mdb";
        try {
            Compact(damaged, out, beside);
            ADD_FAILURE() << "a damaged index that cannot be rebuilt was passed on";
        } catch (const jet::Error& e) {
            EXPECT_NE(std::string(e.what()).find("cannot be rebuilt here"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST(Compact_Repairs_Counter, Becomes_The_Largest_Value) {
    REQUIRE_CORPUS();
    Temp_Folder folder;
    const kt::Damaged_Copy damaged =
        kt::Make_Damaged_Copy("indexTestV2000.mdb", folder.Path(), kt::Damage::Autonumber_Counter);
    const fs::path out = folder.Path() / "out.mdb";
    Compact(damaged.path, out);
    const jet::Database db(out);
    const auto& def = db.Definition(db.Find_Table(damaged.table));
    std::int64_t largest = 0;
    for (std::size_t c = 0; c < def.columns.size(); ++c) {
        if (!(def.columns[c].flags & jet::format::Column_Flag_Auto_Long)) continue;
        db.Rows(def, [&](const jet::Live_Row& row) {
            const auto values = db.Decode(def, row);
            if (!values[c].Is_Null()) largest = std::max(largest, values[c].integer);
        });
    }
    ASSERT_GT(largest, 0);
    EXPECT_EQ(def.autonumber, static_cast<std::uint32_t>(largest));
}

// The damaged row is named by its place in MSysCompactError.ErrorRecid (row, then page).
TEST(Compact_Repairs_Losses, Name_The_Row_Lost) {
    REQUIRE_CORPUS();
    Temp_Folder folder;
    const kt::Damaged_Copy damaged = kt::Make_Damaged_Copy("indexTestV2000.mdb", folder.Path(), kt::Damage::Row_Offset);
    const fs::path out = folder.Path() / "out.mdb";
    const jet::Compact_Result result = Compact(damaged.path, out);
    std::vector<jet::Repair_Note> losses;
    std::copy_if(result.repairs.begin(), result.repairs.end(), std::back_inserter(losses),
                 [](const jet::Repair_Note& n) { return n.recorded; });
    ASSERT_EQ(losses.size(), 1u) << Joined(result.repairs);
    const jet::Repair_Note& note = losses.front();
    EXPECT_EQ(note.code, jet::Repair_Code::Damaged_Data);
    ASSERT_TRUE(note.row.has_value());
    EXPECT_EQ(note.row->page, damaged.page);

    const jet::Database db(out);
    const auto& def = db.Definition(db.Find_Table(jet::Compact_Error_Table_Name));
    std::vector<std::vector<jet::Value>> rows;
    db.Rows(def, [&](const jet::Live_Row& row) { rows.push_back(db.Decode(def, row)); });
    ASSERT_EQ(rows.size(), 1u);
    auto column = [&](const char* name) {
        const jet::Column* c = def.Find_Column(std::string(name));
        EXPECT_NE(c, nullptr) << name;
        return rows.front()[static_cast<std::size_t>(c - def.columns.data())];
    };
    EXPECT_EQ(column("ErrorCode").integer, 3049);
    EXPECT_EQ(column("ErrorTable").text, damaged.table);
    EXPECT_NE(column("ErrorDescription").text.find("cannot be read"), std::string::npos);
    const std::vector<std::uint8_t> recid = column("ErrorRecid").bytes;
    ASSERT_EQ(recid.size(), 4u);
    EXPECT_EQ(recid[0], note.row->row);
    EXPECT_EQ(recid[1] | recid[2] << 8 | recid[3] << 16, static_cast<int>(damaged.page));
}

// A catalogue that no longer describes itself cannot be repaired: a clear error naming
// the file, and no copy.
TEST(Compact_Repairs_Refused, Catalogue_That_Lost_Its_Own_Row) {
    REQUIRE_CORPUS();
    Temp_Folder folder;
    const kt::Damaged_Copy damaged =
        kt::Make_Damaged_Copy("bigIndexTestV2000.mdb", folder.Path(), kt::Damage::Data_Page_Type);
    ASSERT_EQ(damaged.table, "MSysObjects") << damaged.what;
    const fs::path out = folder.Path() / "out.mdb";
    try {
        Compact(damaged.path, out);
        FAIL() << "compacted a database whose catalogue is gone";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::Error_Kind::Corrupt);
        EXPECT_NE(std::string(e.what()).find(damaged.path.string()), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("catalogue"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()), 1);
}

// A table definition that cannot be read is refused the same way.
TEST(Compact_Repairs_Refused, Table_Definition_That_Cannot_Be_Read) {
    REQUIRE_CORPUS();
    Temp_Folder folder;
    const fs::path damaged = folder.Path() / "indexTestV2000.mdb";
    fs::copy_file(kt::Corpus_File("indexTestV2000.mdb"), damaged);
    fs::permissions(damaged, fs::perms::owner_write, fs::perm_options::add);
    std::uint32_t page = 0;
    {
        const jet::Database db(damaged);
        page = db.Tables(false).front().Page();
    }
    {
        std::fstream file(damaged, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(static_cast<std::streamoff>(page) * jet::format::Page_Size);
        file.put(static_cast<char>(0x7E));  // no page type at all
    }
    const fs::path out = folder.Path() / "out.mdb";
    try {
        Compact(damaged, out);
        FAIL() << "compacted a database with a table definition that cannot be read";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::Error_Kind::Corrupt);
        EXPECT_NE(std::string(e.what()).find(damaged.string()), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("page " + std::to_string(page)), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(out));
}

// jetdb lists each repair on stderr and succeeds: the copy is sound.
TEST(Compact_Repairs_Jetdb, Lists_Each_Repair_And_Succeeds) {
    REQUIRE_CORPUS();
    Temp_Folder folder;
    const kt::Damaged_Copy damaged = kt::Make_Damaged_Copy("indexTestV2000.mdb", folder.Path(), kt::Damage::Row_Offset);
    const fs::path jetdb = fs::path(KELBROOK_BIN_DIR) / "jetdb";
    const fs::path out = folder.Path() / "out.mdb";
    const auto err =
        Output_Of("(" + Quoted(jetdb) + " compact " + Quoted(damaged.path) + " " + Quoted(out) + " 2>&1 >/dev/null)");
    ASSERT_TRUE(err.has_value()) << "jetdb compact failed";
    const auto lines = Lines(*err);
    const bool lost = std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind("jetdb: recorded in MSysCompactError: table '" + damaged.table + "', page " +
                              std::to_string(damaged.page),
                          0) == 0;
    });
    EXPECT_TRUE(lost) << *err;
    const bool rebuilt = std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("jetdb: repaired: ", 0) == 0 && line.find("rebuilt") != std::string::npos;
    });
    EXPECT_TRUE(rebuilt) << *err;
}

// ---- Through the rotation ------------------------------------------------------------------

class Rotation_Host final : public kelbrook::maintenance::Compaction_Host {
public:
    std::vector<std::string> reports;
    kelbrook::platform::File_System_Service& File_System_Object() override {
        if (!files_) files_ = kelbrook::platform::Create_File_System_Service();
        return *files_;
    }
    kelbrook::platform::Database_Engine& Jet_Engine_Object() override {
        if (!engine_) engine_ = kelbrook::platform::Create_Database_Engine();
        return *engine_;
    }
    void Report_Compaction_Failure(const std::string& description) override { reports.push_back(description); }

private:
    std::unique_ptr<kelbrook::platform::File_System_Service> files_;
    std::unique_ptr<kelbrook::platform::Database_Engine> engine_;
};

// A damaged database goes through like any other: the backup keeps the damaged original,
// the live file is the repaired copy.
TEST(Compact_Repairs_Rotation, Backs_Up_The_Damaged_File_And_Puts_The_Repaired_Copy_In_Place) {
    REQUIRE_CORPUS();
    kt::Temp_Drive drive;
    drive.Make_Folder("C:\\Site\\data");
    drive.Make_Folder("C:\\Site\\Old Software");
    kelbrook::maintenance::Database_Files files;
    files.live = "C:\\Site\\data\\history.mdb";
    files.compacted = "C:\\Site\\data\\historynew.mdb";
    files.backup = "C:\\Site\\Old Software\\history.mdb";
    files.source_connection = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + files.live + ";Jet OLEDB:Database Password=;";
    files.destination_connection = "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;Data Source=" +
                                   files.compacted + ";Jet OLEDB:Database Password=;";
    const kt::Damaged_Copy damaged =
        kt::Damage_File([&] {
            fs::copy_file(kt::Corpus_File("indexTestV2000.mdb"), drive.Host(files.live));
            fs::permissions(drive.Host(files.live), fs::perms::owner_write, fs::perm_options::add);
            return drive.Host(files.live);
        }(), kt::Damage::Row_Offset);
    const std::string damaged_bytes = Read_All(drive.Host(files.live));

    Rotation_Host host;
    ASSERT_TRUE(kelbrook::maintenance::Compact_Databases(host, {files}));
    EXPECT_TRUE(host.reports.empty()) << host.reports.front();

    EXPECT_EQ(Read_All(drive.Host(files.backup)), damaged_bytes);
    EXPECT_FALSE(fs::exists(drive.Host(files.compacted)));
    jet::Check_Options strict;
    strict.strict_global_map = true;
    const auto problems = jet::Check(drive.Host(files.live), "", strict);
    EXPECT_TRUE(problems.empty()) << problems.front();
    const jet::Database live(drive.Host(files.live));
    EXPECT_NO_THROW(live.Find_Table(jet::Compact_Error_Table_Name));
    EXPECT_EQ(Readable_Rows(drive.Host(files.live)).at(damaged.table), Readable_Rows(drive.Host(files.backup)).at(damaged.table));
}

}  // namespace
