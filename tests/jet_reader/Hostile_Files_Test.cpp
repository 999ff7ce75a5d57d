// Crafted databases whose cost would grow far beyond their size in a careless reader
// (tests/jet_reader/Hostile_Files.h): table definitions sharing continuation pages, a
// page map per table listing every page, many rows pointing at one long-value chain.
// Check must report them in a bounded number of lines, and compaction must either fail
// with jet::Error or write a file that passes the strict check (the sound file it starts
// from must compact). Time and memory are
// measured by bench/hostile-bench, not here.
#include "Hostile_Files.h"
#include "Reader_Test_Util.h"
#include "jet/engine/Check.h"
#include "jet/engine/Compactor.h"

namespace reader_test {
namespace {

namespace jet = kelbrook::jet;

constexpr std::size_t Tables = 40;

struct Hostile_Case {
    std::string name;
    std::function<void(const fs::path& out, const fs::path& scratch)> make;
    std::string expected;      // in a check line
    std::size_t max_lines = 0;  // check lines at most
};

std::vector<Hostile_Case> Hostile_Cases() {
    return {
        {"sound_many_tables", [](const fs::path& out, const fs::path& scratch) { hostile::Many_Tables(out, Tables, scratch); },
         "", 0},
        {"shared_definition_pages",
         [](const fs::path& out, const fs::path& scratch) {
             hostile::Many_Tables(out, Tables, scratch);
             hostile::Share_Definition_Pages(out);
         },
         "both claim this page", Tables + 10},
        {"map_of_every_page_per_table",
         [](const fs::path& out, const fs::path& scratch) {
             hostile::Many_Tables(out, Tables, scratch);
             hostile::Map_Every_Page_Per_Table(out);
         },
         "lists pages that are not data pages of the table", 2 * (Tables + 10)},
        {"rows_sharing_one_chain", [](const fs::path& out, const fs::path&) { hostile::Rows_Sharing_One_Chain(out, 60, 40); },
         "shares this long-value row with another value", 10},
    };
}

std::string Connection(const fs::path& path) { return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path.string(); }

class Hostile_File : public testing::TestWithParam<std::string> {};

TEST_P(Hostile_File, Is_Reported_Once_And_Never_Compacted_Into_A_Bad_File) {
    auto all = Hostile_Cases();
    auto it = std::find_if(all.begin(), all.end(), [](const Hostile_Case& c) { return c.name == GetParam(); });
    ASSERT_NE(it, all.end());
    Temp_Folder temp;
    const fs::path path = temp / "hostile.mdb";
    it->make(path, temp.Path());

    const auto problems = jet::Check(path);
    std::string text;
    for (const auto& p : problems) text += p + "\n";
    if (it->expected.empty()) {
        EXPECT_TRUE(problems.empty()) << text;
    } else {
        EXPECT_NE(text.find(it->expected), std::string::npos) << text;
        EXPECT_LE(problems.size(), it->max_lines) << text;
    }

    const fs::path out = temp / "compacted.mdb";
    try {
        jet::CompactDatabase(Connection(path), Connection(out));
        jet::Check_Options strict;
        strict.strict_global_map = true;
        const auto after = jet::Check(out, "", strict);
        EXPECT_TRUE(after.empty()) << after.front();
        // A damaged file may compact too (the maps are made afresh), but only soundly.
    } catch (const jet::Error& e) {
        EXPECT_FALSE(it->expected.empty()) << e.what();
        EXPECT_FALSE(fs::exists(out));
    }
}

INSTANTIATE_TEST_SUITE_P(Crafted, Hostile_File,
                         testing::Values("sound_many_tables", "shared_definition_pages", "map_of_every_page_per_table",
                                         "rows_sharing_one_chain"),
                         [](const testing::TestParamInfo<std::string>& i) { return i.param; });

}  // namespace
}  // namespace reader_test
