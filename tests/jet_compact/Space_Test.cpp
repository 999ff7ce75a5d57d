// How tightly compaction packs a database: generated databases in use for a while (a
// third of their rows deleted) lie well above the smallest page count their content
// needs; after CompactDatabase the file is within 10% of it, and the content measured
// (hence the smallest count) is the same as before. `jetdb space` reports the same
// figures as Measure_Space.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "Compact_Test_Support.h"
#include "jet/engine/Check.h"
#include "jet/engine/Compactor.h"
#include "jet/engine/Database.h"
#include "jet/generator/Generator.h"
#include "jet/engine/Space.h"

namespace kelbrook::jet {
namespace {

using test::fs::path;

struct Space_Case {
    const char* profile;
    std::uint64_t rows;
    bool encrypt = false;
};

std::ostream& operator<<(std::ostream& out, const Space_Case& c) {
    return out << c.profile << (c.encrypt ? " encoded" : "");
}

// Pages in the file against the smallest count, per kind of content: what a failure
// needs to say where the room goes.
std::string Describe(const Space_Report& r) {
    std::ostringstream out;
    out << "pages " << r.pages << ", smallest " << r.smallest_pages << " (ratio " << r.Ratio() << "); rows "
        << r.row_data.file_pages << "/" << r.row_data.smallest_pages << ", long values "
        << r.long_values.file_pages << "/" << r.long_values.smallest_pages << ", indexes " << r.indexes.file_pages
        << "/" << r.indexes.smallest_pages << ", fixed " << r.fixed_pages;
    return out.str();
}

class Compacted_Space : public test::Scratch_Test, public ::testing::WithParamInterface<Space_Case> {};

TEST_P(Compacted_Space, IsWithinTenPercentOfTheSmallest) {
    const Space_Case& c = GetParam();
    Generate_Options options;
    options.profile = c.profile;
    options.rows = c.rows;
    options.encrypt = c.encrypt;
    options.deleted_fraction = 0.3;
    const path source = dir / "source.mdb", out = dir / "out.mdb";
    const Generate_Result generated = Generate_Database(options, source);

    const Space_Report before = Measure_Space(Database(source, generated.password));
    SCOPED_TRACE("before: " + Describe(before));
    EXPECT_EQ(before.pages, generated.pages);
    EXPECT_GT(before.Ratio(), 1.3);

    CompactDatabase(test::Source_String(source, generated.password),
                    test::Destination_String(out, generated.password));
    const Space_Report after = Measure_Space(Database(out, generated.password));
    SCOPED_TRACE("after: " + Describe(after));
    EXPECT_EQ(after.smallest_pages, before.smallest_pages);
    EXPECT_EQ(after.row_data.bytes, before.row_data.bytes);
    EXPECT_EQ(after.long_values.bytes, before.long_values.bytes);
    EXPECT_EQ(after.indexes.bytes, before.indexes.bytes);
    EXPECT_LT(after.pages, before.pages);
    EXPECT_LE(after.Ratio(), 1.10);
}

// The same database before and after, through our strict check and through mdbtools:
// every user table with the same rows, memo and OLE values of every length among them.
// (System tables hold table ids, which compaction renumbers.)
TEST_P(Compacted_Space, ChecksCleanAndReadsTheSameWithMdbtools) {
    const Space_Case& c = GetParam();
    Generate_Options options;
    options.profile = c.profile;
    options.rows = c.rows / 3;
    options.encrypt = c.encrypt;
    options.deleted_fraction = 0.3;
    const path source = dir / "source.mdb", out = dir / "out.mdb";
    const Generate_Result generated = Generate_Database(options, source);
    CompactDatabase(test::Source_String(source, generated.password),
                    test::Destination_String(out, generated.password));

    Check_Options strict;
    strict.strict_global_map = true;
    const auto problems = Check(out, generated.password, strict);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(Database(out, generated.password).Header().database_key != 0, c.encrypt);

    auto user_tables = [](const path& file) {
        return test::Lines(test::Run_Command("mdb-tables -1 " + test::Quote(file)).out);
    };
    const auto tables = user_tables(source);
    ASSERT_FALSE(tables.empty());
    EXPECT_EQ(user_tables(out), tables);
    for (const auto& table : tables) {
        SCOPED_TRACE(table);
        const auto rows = test::Mdb_Json(source, table);
        EXPECT_EQ(test::Mdb_Json(out, table), rows);
    }
}

INSTANTIATE_TEST_SUITE_P(Profiles, Compacted_Space,
                         ::testing::Values(Space_Case{"every-type", 3000}, Space_Case{"every-type", 3000, true},
                                           Space_Case{"instrument-data", 3000},
                                           Space_Case{"instrument-history", 3000}),
                         [](const auto& info) {
                             std::string n = std::string(info.param.profile) + (info.param.encrypt ? "_encoded" : "");
                             for (char& ch : n)
                                 if (ch == '-') ch = '_';
                             return n;
                         });

class Space_Command : public test::Scratch_Test {};

TEST_F(Space_Command, EndsWithTheFiguresMeasureSpaceGives) {
    Generate_Options options;
    options.profile = "instrument-data";
    options.rows = 500;
    const path file = dir / "data.mdb";
    const Generate_Result generated = Generate_Database(options, file);
    const Space_Report r = Measure_Space(Database(file, generated.password));

    const auto run = test::Run_Command(test::Quote(test::Jetdb()) + " space --password " +
                                       test::Quote(generated.password) + " " + test::Quote(file));
    ASSERT_EQ(run.status, 0) << run.out;
    const auto lines = test::Lines(run.out);
    ASSERT_GE(lines.size(), 3u) << run.out;
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.3f", r.Ratio());
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"pages: " + std::to_string(r.pages),
                                        "smallest pages: " + std::to_string(r.smallest_pages),
                                        std::string("ratio: ") + ratio}));

    const auto wrong = test::Run_Command(test::Quote(test::Jetdb()) + " space " + test::Quote(file), true);
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.out.find("Not a valid password."), std::string::npos) << wrong.out;
}

}  // namespace
}  // namespace kelbrook::jet
