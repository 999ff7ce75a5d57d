// CompactDatabase and `jetdb compact` on every corpus database: the output passes our
// strict check and reads back through mdbtools with the same tables, schema, queries and
// rows (table ids renumbered consistently), is no larger than the source, and compacting
// it again gives the same bytes. Then passwords, encoding and the jetdb commands.
#include <gtest/gtest.h>

#include <set>

#include "Compact_Test_Support.h"
#include "jet/engine/Compactor.h"
#include "jet/engine/Database.h"
#include "jet/util/Bytes.h"
#include "jet/row/Data_Page.h"
#include "jet/util/Error.h"
#include "jet/index/Index.h"
#include "jet/row/Rows.h"

namespace kelbrook::jet {
namespace {

using test::fs::path;
using test::Quote;
using test::Run_Command;

class Corpus_Compaction : public test::Scratch_Test, public ::testing::WithParamInterface<std::string> {};

std::vector<std::string> Queries(const path& file) {
    std::vector<std::string> out;
    for (const auto& q : test::Lines(Run_Command("mdb-queries -L -1 " + Quote(file)).out))
        out.push_back(q + ": " + Run_Command("mdb-queries " + Quote(file) + " " + Quote(q)).out);
    std::sort(out.begin(), out.end());
    return out;
}

TEST_P(Corpus_Compaction, ReadsBackTheSameThroughMdbtools) {
    KELBROOK_NEED_CORPUS();
    const path source = test::Corpus() / GetParam();
    const auto before = test::Read_All(source);
    const path out = dir / "out.mdb";
    const auto result = CompactDatabase(test::Source_String(source), test::Destination_String(out));
    EXPECT_EQ(test::Read_All(source), before) << "the source changed";
    EXPECT_EQ(Files(), std::vector<std::string>{"out.mdb"});
    EXPECT_EQ(result.pages_before * 4096ull, before.size());
    EXPECT_EQ(result.pages_after * 4096ull, test::fs::file_size(out));
    EXPECT_LE(test::fs::file_size(out), before.size());

    const auto check = Run_Command(Quote(test::Jetdb()) + " check --strict " + Quote(out), true);
    EXPECT_EQ(check.status, 0) << check.out;

    EXPECT_EQ(test::Mdb_Tables(out), test::Mdb_Tables(source));
    EXPECT_EQ(Run_Command("mdb-schema " + Quote(out)).out, Run_Command("mdb-schema " + Quote(source)).out);
    EXPECT_EQ(Queries(out), Queries(source));

    // Table ids follow the new definition pages; every id column follows them alike.
    const auto old_ids = test::Table_Ids(source), new_ids = test::Table_Ids(out);
    ASSERT_EQ(old_ids.size(), new_ids.size());
    std::map<long long, long long> id_map;
    for (const auto& [name, id] : old_ids) {
        ASSERT_TRUE(new_ids.count(name)) << name;
        id_map[id] = new_ids.at(name);
    }
    Database db(out);
    for (const auto& t : db.Tables(true)) EXPECT_EQ(t.Page(), static_cast<std::uint32_t>(new_ids.at(t.name)));
    for (const auto& table : test::Mdb_Tables(source)) {
        SCOPED_TRACE(table);
        auto want = test::Mdb_Json(source, table);
        for (auto& line : want) line = test::Remap_Ids(line, id_map);
        std::sort(want.begin(), want.end());
        EXPECT_EQ(test::Mdb_Json(out, table), want);
    }

    // Compacting the result changes nothing.
    const path again = dir / "again.mdb";
    CompactDatabase(test::Source_String(out), test::Destination_String(again));
    EXPECT_EQ(test::Read_All(again), test::Read_All(out));
}

INSTANTIATE_TEST_SUITE_P(Corpus, Corpus_Compaction, ::testing::ValuesIn(test::Corpus_Files()),
                         [](const auto& info) {
                             std::string n = info.param.substr(0, info.param.size() - 4);
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Corpus_Compaction);

class Compaction : public test::Scratch_Test {};

TEST_F(Compaction, LargeMostlyDeadDatabaseShrinks) {
    KELBROOK_NEED_CORPUS();
    for (const char* name : {"testV2000.mdb", "testRefGlobalV2000.mdb"}) {
        const path out = dir / (std::string(name) + ".out");
        const auto r = CompactDatabase(test::Source_String(test::Corpus() / name), test::Destination_String(out));
        EXPECT_EQ(r.pages_before, 743u);
        EXPECT_LT(r.pages_after, 100u) << name;
    }
}

TEST_F(Compaction, SameSourceSameBytesAndProgressRuns) {
    KELBROOK_NEED_CORPUS();
    const path source = test::Corpus() / "queryTestV2000.mdb";
    std::vector<double> seen;
    Compact_Options options;
    options.progress = [&](double d) { seen.push_back(d); };
    CompactDatabase(test::Source_String(source), test::Destination_String(dir / "a.mdb"), options);
    CompactDatabase(test::Source_String(source), test::Destination_String(dir / "b.mdb"));
    EXPECT_EQ(test::Read_All(dir / "a.mdb"), test::Read_All(dir / "b.mdb"));
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_GE(seen.front(), 0.0);
    EXPECT_EQ(seen.back(), 1.0);
}

TEST_F(Compaction, ResolvesDataSourcesThroughTheOption) {
    KELBROOK_NEED_CORPUS();
    Compact_Options options;
    options.resolve_path = [&](const std::string& text) -> path {
        if (text == "C:\\Data\\In.mdb") return test::Corpus() / "emptyJet4.mdb";
        if (text == "C:\\Data\\Out.mdb") return dir / "out.mdb";
        return dir / "elsewhere";
    };
    CompactDatabase("Data Source=C:\\Data\\In.mdb", "Data Source=C:\\Data\\Out.mdb", options);
    EXPECT_TRUE(test::fs::exists(dir / "out.mdb"));
    try {
        CompactDatabase("Data Source=C:\\Data\\Missing.mdb", "Data Source=C:\\Data\\Out2.mdb", options);
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Could not find file 'C:\\Data\\Missing.mdb'.");
    }
}

// The catalogue's Id index and the permissions' ObjectId index are keyed on table ids,
// so their keys must follow the renumbering: 7F + big-endian id with the sign bit flipped.
TEST_F(Compaction, IdIndexKeysFollowTheNewIds) {
    KELBROOK_NEED_CORPUS();
    const path out = dir / "out.mdb";
    CompactDatabase(test::Source_String(test::Corpus() / "indexTestV2000.mdb"), test::Destination_String(out));
    Database db(out);
    int checked = 0, moved = 0;
    for (const auto& [table, column] : {std::pair{"MSysObjects", "Id"}, std::pair{"MSysACEs", "ObjectId"}}) {
        const auto& def = db.Definition(db.Find_Table(table));
        const Column* c = def.Find_Column(std::string(column));
        ASSERT_NE(c, nullptr);
        const auto at = static_cast<std::size_t>(c - def.columns.data());
        for (const auto& index : def.real_indexes) {
            if (index.columns.empty() || index.columns.front().column_number != c->number) continue;
            Walk_Index(db.File(), def, index, [&](const Index_Entry& e) {
                const auto row = Read_Row(db.File(), e.row, "row");
                const auto fields = Split_Row(def, row.bytes(), "row");
                ASSERT_FALSE(fields[at].null);
                const auto id = Get_U32(row.bytes(), fields[at].offset);
                const std::uint32_t flipped = id ^ 0x80000000u;
                const std::vector<std::uint8_t> want = {0x7F, static_cast<std::uint8_t>(flipped >> 24),
                                                        static_cast<std::uint8_t>(flipped >> 16),
                                                        static_cast<std::uint8_t>(flipped >> 8),
                                                        static_cast<std::uint8_t>(flipped)};
                ASSERT_GE(e.key.size(), 5u);
                EXPECT_EQ(std::vector<std::uint8_t>(e.key.begin(), e.key.begin() + 5), want) << table << " id " << id;
                ++checked;
                if (id >= 6 && id < 15) ++moved;  // every table after MSysRelationships moved down
            });
        }
    }
    EXPECT_GT(checked, 50);
    EXPECT_GT(moved, 0);

    // Foreign keys name the other table by its new definition page, in both tables.
    std::set<std::uint32_t> pages;
    for (const auto& t : db.Tables(true)) pages.insert(t.Page());
    int foreign_keys = 0;
    for (const auto& t : db.Tables(true))
        for (const auto& li : db.Definition(t).logical_indexes)
            if (li.Is_Foreign_Key()) {
                ++foreign_keys;
                EXPECT_TRUE(pages.count(li.related_table_page)) << t.name << " " << li.name;
            }
    EXPECT_GT(foreign_keys, 1);
}

struct Password_Case {
    const char* name;
    const char* source_password;       // set on the source copy ("" = none)
    const char* given_password;        // in the source string
    const char* destination_password;  // in the destination string
};

class Password_Compaction : public test::Scratch_Test, public ::testing::WithParamInterface<Password_Case> {};

TEST_P(Password_Compaction, OutputCarriesTheDestinationPassword) {
    KELBROOK_NEED_CORPUS();
    const auto& c = GetParam();
    const path source = dir / "source.mdb";
    test::Make_Protected_Copy(test::Corpus() / "indexTestV2000.mdb", source, c.source_password);
    const path out = dir / "out.mdb";
    CompactDatabase(test::Source_String(source, c.given_password),
                    test::Destination_String(out, c.destination_password));
    Database db(out, c.destination_password);
    EXPECT_EQ(db.Header().password, c.destination_password);
    if (std::string(c.destination_password).empty()) {
        EXPECT_NO_THROW(Database(out, ""));
    } else {
        EXPECT_THROW(Database(out, ""), Password_Error);
        EXPECT_THROW(Database(out, std::string(c.destination_password) + "x"), Password_Error);
    }
    const auto check = Run_Command(Quote(test::Jetdb()) + " check --strict --password " +
                               Quote(std::string(c.destination_password)) + " " + Quote(out), true);
    EXPECT_EQ(check.status, 0) << check.out;
    for (const auto& table : test::Mdb_Tables(out))
        if (table.rfind("MSys", 0) != 0) {
            EXPECT_EQ(test::Mdb_Json(out, table), test::Mdb_Json(source, table));
        }
}

INSTANTIATE_TEST_SUITE_P(Passwords, Password_Compaction,
                         ::testing::Values(Password_Case{"kept", "wexo4m", "wexo4m", "wexo4m"},
                                           Password_Case{"changed", "wexo4m", "wexo4m", "n3w-Pässwörd"},
                                           Password_Case{"removed", "wexo4m", "wexo4m", ""},
                                           Password_Case{"set", "", "", "S3cret!"},
                                           Password_Case{"longest", "", "", "abcdefghijklmnopqrst"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Compaction, WrongPasswordFailsAndCreatesNothing) {
    KELBROOK_NEED_CORPUS();
    const path source = dir / "source.mdb";
    test::Make_Protected_Copy(test::Corpus() / "emptyJet4.mdb", source, "wexo4m");
    const auto before = test::Read_All(source);
    for (const char* given : {"", "WEXO4M", "wexo4"}) {
        SCOPED_TRACE(given);
        try {
            CompactDatabase(test::Source_String(source, given), test::Destination_String(dir / "out.mdb", "wexo4m"));
            ADD_FAILURE() << "compacted";
        } catch (const Password_Error& e) {
            EXPECT_STREQ(e.what(), "Not a valid password.");
        }
        EXPECT_EQ(Files(), std::vector<std::string>{"source.mdb"});
    }
    EXPECT_EQ(test::Read_All(source), before);
}

struct Encoding_Case {
    const char* source;
    const char* option;  // appended to the destination string
    bool encoded;
};

class Encoding_Compaction : public test::Scratch_Test, public ::testing::WithParamInterface<Encoding_Case> {};

TEST_P(Encoding_Compaction, EncodesAsAskedAndReadsTheSame) {
    KELBROOK_NEED_CORPUS();
    const auto& c = GetParam();
    const path source = test::Corpus() / c.source;
    const path out = dir / "out.mdb";
    CompactDatabase(test::Source_String(source), test::Destination_String(out, "", c.option));
    Database db(out);
    EXPECT_EQ(db.Header().database_key != 0, c.encoded);
    const auto check = Run_Command(Quote(test::Jetdb()) + " check --strict " + Quote(out), true);
    EXPECT_EQ(check.status, 0) << check.out;
    for (const auto& table : test::Mdb_Tables(source))
        if (table.rfind("MSys", 0) != 0) {
            EXPECT_EQ(test::Mdb_Json(out, table), test::Mdb_Json(source, table));
        }
    // The same request again gives the same bytes (a new key is not random).
    CompactDatabase(test::Source_String(source), test::Destination_String(dir / "again.mdb", "", c.option));
    EXPECT_EQ(test::Read_All(dir / "again.mdb"), test::Read_All(out));
}

INSTANTIATE_TEST_SUITE_P(
    Encoding, Encoding_Compaction,
    ::testing::Values(Encoding_Case{"encodedV2000.mdb", "", true},
                      Encoding_Case{"encodedV2000.mdb", "Jet OLEDB:Encrypt Database=True;", true},
                      Encoding_Case{"encodedV2000.mdb", "Jet OLEDB:Encrypt Database=False;", false},
                      Encoding_Case{"indexTestV2000.mdb", "", false},
                      Encoding_Case{"indexTestV2000.mdb", "Jet OLEDB:Encrypt Database=True;", true}));

TEST_F(Compaction, JetdbCommandsCompactAndReport) {
    KELBROOK_NEED_CORPUS();
    if (!test::fs::exists(test::Jetdb())) GTEST_SKIP() << "jetdb not built at " << test::Jetdb();
    const path source = test::Corpus() / "testV2000.mdb";
    const auto jetdb = Quote(test::Jetdb());

    auto r = Run_Command(jetdb + " compact --new-password pw --encrypt " + Quote(source) + " " + Quote(dir / "a.mdb"), true);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("743 pages"), std::string::npos) << r.out;
    Database a(dir / "a.mdb", "pw");
    EXPECT_NE(a.Header().database_key, 0u);

    r = Run_Command(jetdb + " compact --password pw --no-password --no-encrypt " + Quote(dir / "a.mdb") + " " +
                Quote(dir / "b.mdb"),
            true);
    ASSERT_EQ(r.status, 0) << r.out;
    Database b(dir / "b.mdb");
    EXPECT_EQ(b.Header().password, "");
    EXPECT_EQ(b.Header().database_key, 0u);

    r = Run_Command(jetdb + " compact-conn " + Quote(test::Source_String(dir / "b.mdb")) + " " +
                Quote(test::Destination_String(dir / "c.mdb")),
            true);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("c.mdb"), std::string::npos) << r.out;
    EXPECT_EQ(test::Read_All(dir / "c.mdb"), test::Read_All(dir / "b.mdb"));

    r = Run_Command(jetdb + " compact " + Quote(source) + " " + Quote(dir / "c.mdb"), true);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("Database already exists."), std::string::npos) << r.out;
    r = Run_Command(jetdb + " compact --bogus " + Quote(source) + " " + Quote(dir / "d.mdb"), true);
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(test::fs::exists(dir / "d.mdb"));
}

}  // namespace
}  // namespace kelbrook::jet
