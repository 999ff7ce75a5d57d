// A compaction whose index entries go through the spill file gives the very bytes of one
// that holds them all in memory, and leaves nothing beside the destination either way;
// a spill file that cannot be written fails the compaction cleanly.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "jet/engine/Compactor.h"
#include "jet/file/File_Output.h"
#include "jet/generator/Generator.h"
#include "jet/util/Error.h"
#include "jet_compact/Compact_Test_Support.h"
#include "support/Faulty_Files.h"

namespace kelbrook {
namespace {

namespace fs = std::filesystem;

class Spilling_Compaction : public test::Scratch_Test {
protected:
    // Compacts `source` into `name` in the scratch folder with `budget` bytes for index
    // entries; gives the output's bytes and, in `temporary_bytes`, what was written to
    // temporaries (the output's before its rename included).
    std::vector<std::uint8_t> Compact(const fs::path& source, const std::string& name, std::size_t budget,
                                      std::uint64_t& temporary_bytes) {
        test::Faulty_Files counting({test::File_Fault::Full_Disk, UINT64_MAX, jet::Temporary_Infix});
        jet::Compact_Options options;
        options.files = &counting;
        options.index_memory = budget;
        const fs::path out = dir / name;
        jet::CompactDatabase(test::Source_String(source), test::Destination_String(out), options);
        temporary_bytes = counting.Bytes_Written();
        return test::Read_All(out);
    }

    // Only the sources and the outputs are left.
    void Expect_No_Leftovers(const std::vector<std::string>& expected) {
        auto want = expected;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(Files(), want);
    }

    fs::path Generated(const std::string& profile, std::uint64_t rows) {
        jet::Generate_Options options;
        options.profile = profile;
        options.rows = rows;
        options.seed = 7;
        const fs::path path = dir / (profile + ".mdb");
        jet::Generate_Database(options, path);
        return path;
    }
};

constexpr std::size_t Tiny_Budget = 2048;

TEST_F(Spilling_Compaction, SameBytesAsInMemoryForGeneratedDatabases) {
    for (const auto& [profile, rows] : {std::pair<std::string, std::uint64_t>{"instrument-history", 3000},
                                       std::pair<std::string, std::uint64_t>{"every-type", 2000}}) {
        SCOPED_TRACE(profile);
        const fs::path source = Generated(profile, rows);
        std::uint64_t held_written = 0, spilled_written = 0;
        const auto held = Compact(source, "held.mdb", jet::Spill_Space::Default_Budget, held_written);
        const auto spilled = Compact(source, "spilled.mdb", Tiny_Budget, spilled_written);
        EXPECT_EQ(held_written, held.size()) << "within the budget only the output is written";
        EXPECT_GT(spilled_written, spilled.size()) << "with a tiny budget the entries went through a spill file";
        EXPECT_TRUE(held == spilled) << "the spilled compaction's bytes differ";
        Expect_No_Leftovers({profile + ".mdb", "held.mdb", "spilled.mdb"});
        for (const char* name : {"held.mdb", "spilled.mdb"}) fs::remove(dir / name);
        fs::remove(source);
    }
}

TEST_F(Spilling_Compaction, SameBytesAsInMemoryForTheCorpus) {
    KELBROOK_NEED_CORPUS();
    for (const auto& name : test::Corpus_Files()) {
        SCOPED_TRACE(name);
        std::uint64_t written = 0;
        std::vector<std::uint8_t> held, spilled;
        try {
            held = Compact(test::Corpus() / name, "held.mdb", jet::Spill_Space::Default_Budget, written);
        } catch (const jet::Error& e) {
            // Files the compactor refuses are refused alike with a tiny budget.
            EXPECT_THROW(Compact(test::Corpus() / name, "spilled.mdb", Tiny_Budget, written), jet::Error) << e.what();
            Expect_No_Leftovers({});
            continue;
        }
        spilled = Compact(test::Corpus() / name, "spilled.mdb", Tiny_Budget, written);
        EXPECT_TRUE(held == spilled) << "the spilled compaction's bytes differ";
        Expect_No_Leftovers({"held.mdb", "spilled.mdb"});
        fs::remove(dir / "held.mdb");
        fs::remove(dir / "spilled.mdb");
    }
}

TEST_F(Spilling_Compaction, AFullDiskWhileSpillingFailsCleanly) {
    const fs::path source = Generated("instrument-history", 3000);
    for (const std::uint64_t after : {std::uint64_t{0}, std::uint64_t{10000}, std::uint64_t{100000}}) {
        SCOPED_TRACE(after);
        test::Faulty_Files files({test::File_Fault::Full_Disk, after, jet::Temporary_Infix});
        jet::Compact_Options options;
        options.files = &files;
        options.index_memory = Tiny_Budget;
        try {
            jet::CompactDatabase(test::Source_String(source), test::Destination_String(dir / "out.mdb"), options);
            ADD_FAILURE() << "the compaction should have failed";
        } catch (const jet::Error& e) {
            EXPECT_EQ(e.kind(), jet::Error_Kind::IO) << e.what();
            EXPECT_NE(std::string(e.what()).find("disk is full"), std::string::npos) << e.what();
        }
        EXPECT_TRUE(files.Struck());
        Expect_No_Leftovers({"instrument-history.mdb"});
    }
}

}  // namespace
}  // namespace kelbrook
