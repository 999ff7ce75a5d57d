// The generator streams its rows: they are made once to plan the file and again whenever
// the writer reads them, and the history pass edits the written file page by page. These
// tests pin the bytes (the same options gave these files before the rows were streamed),
// break the disk at each phase (nothing may be left behind), and drive the page editor
// past its cache.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/Temp_Folder.h"
#include "support/Faulty_Files.h"
#include "jet/file/File_Io.h"
#include "jet/file/Format.h"
#include "jet/file/Page_File.h"
#include "jet/generator/Generator.h"
#include "jet/generator/Page_Editor.h"
#include "jet/util/Error.h"

namespace fs = std::filesystem;
using namespace kelbrook::jet;
using kelbrook::test::Faulty_Files;
using kelbrook::test::File_Fault;

namespace {

using Temp_Dir = kelbrook::testing::Temp_Folder;

std::string Sha256(const fs::path& file) {
    std::string out;
    FILE* p = ::popen(("sha256sum '" + file.string() + "'").c_str(), "r");
    if (p == nullptr) return out;
    std::array<char, 65> digest{};
    if (std::fread(digest.data(), 1, 64, p) == 64) out.assign(digest.data(), 64);
    ::pclose(p);
    return out;
}

// ---- The same bytes as before the rows were streamed ------------------------------------

struct Pinned_Case {
    const char* name;
    const char* profile;
    double deleted_fraction;
    bool encrypt;
    const char* password;  // nullptr: the profile's
    std::uint64_t seed;
    const char* sha256;
};

void PrintTo(const Pinned_Case& c, std::ostream* os) { *os << c.name; }

class Pinned_Bytes : public ::testing::TestWithParam<Pinned_Case> {};

// If a deliberate change to the generator or the writer changes these bytes, check the
// new files (jetdb check --strict, mdbtools) and record their digests here.
TEST_P(Pinned_Bytes, Same_Options_Give_The_Recorded_File) {
    const Pinned_Case& c = GetParam();
    Temp_Dir dir;
    Generate_Options options;
    options.profile = c.profile;
    options.rows = 500;
    options.deleted_fraction = c.deleted_fraction;
    options.encrypt = c.encrypt;
    if (c.password != nullptr) options.password = c.password;
    options.seed = c.seed;
    Generate_Database(options, dir.Path() / "g.mdb");
    EXPECT_EQ(Sha256(dir.Path() / "g.mdb"), c.sha256);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, Pinned_Bytes,
    ::testing::Values(
        Pinned_Case{"every_type", "every-type", 0.15, false, nullptr, 1,
                    "ce561c19d5bf357102eeddfea27564c97301f1ce3e162a25b57335bf3e78530e"},
        Pinned_Case{"every_type_no_history", "every-type", 0, false, nullptr, 1,
                    "9204af7ae14d12b22a65f56df5d51103bf45e541d2ef963bd875149df2faee35"},
        Pinned_Case{"every_type_most_deleted_encoded", "every-type", 0.9, true, nullptr, 1,
                    "b5aa0b4fce0be53c182a4bef1be590b357b3c0af5eb7041745e5161abaf722ba"},
        Pinned_Case{"every_type_password_seed_7", "every-type", 0.15, false, "Pw 1", 7,
                    "5cdd84f7f5f915641f5574c560cdfd531f536614fae6a1fa5f8369792faa3a73"},
        Pinned_Case{"instrument_data", "instrument-data", 0.15, false, nullptr, 1,
                    "e6a85c4b90404c545803e622b7c4e5981934d6a284208277deb9b96c94fd9ee5"},
        Pinned_Case{"instrument_data_no_history", "instrument-data", 0, false, nullptr, 1,
                    "996a970c284a22752d0f0bae9f334e3bf6494ba120c004ef024d7a3d4a02af03"},
        Pinned_Case{"instrument_data_most_deleted_encoded", "instrument-data", 0.9, true, nullptr, 1,
                    "399d56694bbb5961d107d794777480cf39135fb44b423d856938e9ceee26a45c"},
        Pinned_Case{"instrument_data_password_seed_7", "instrument-data", 0.15, false, "Pw 1", 7,
                    "7adef9d095fcd4dcc16e336490ab12761afbecc365e06c8080e1db142d14393c"},
        Pinned_Case{"instrument_history", "instrument-history", 0.15, false, nullptr, 1,
                    "aff6c7d4e5c4dc0899f7ab99db63b51bb7d2319d5aab2a921fb05c5984443791"},
        Pinned_Case{"instrument_history_no_history", "instrument-history", 0, false, nullptr, 1,
                    "69c568fc699f58fec01aa74ca6a1dd94830cd62e8597ba91d0cf01052e47c296"},
        Pinned_Case{"instrument_history_most_deleted_encoded", "instrument-history", 0.9, true, nullptr, 1,
                    "52ae8196743635113b722f92e234572d619f567da0a8da6e505cfc5547230484"},
        Pinned_Case{"instrument_history_password_seed_7", "instrument-history", 0.15, false, "Pw 1", 7,
                    "3fe7c327a7f717c380e300ed60372b975e64ae540f9a4d502855f2f5907ade8f"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- A broken disk in every phase leaves nothing behind -----------------------------------

// Where the fault strikes, as a share of what a sound run reads or writes: writes up to
// the file's size are the writer's, the rest the history pass's; every read is the
// history pass's (first the definitions, then the walk over every page). A file of a
// given size is failed while the first of the small files that size it is written.
struct Fault_Case {
    const char* name;
    File_Fault::Kind kind;
    double share;      // of the bytes the phase reads or writes
    bool in_history;   // writes: the share is of the history pass's writes
    bool by_size;      // a file of a given size (sizing files first)
};

std::uint64_t Fault_After(const Fault_Case& c, Generate_Options options, const fs::path& dir) {
    if (c.by_size) return 64 * 1024;
    // A sound run first, to know how much each phase reads and writes.
    Faulty_Files counting({File_Fault::Full_Disk, UINT64_MAX});
    options.files = &counting;
    const Generate_Result sound = Generate_Database(options, dir / "sound.mdb");
    fs::remove(dir / "sound.mdb");
    const std::uint64_t written = counting.Bytes_Written(), read = counting.Bytes_Read();
    EXPECT_GT(written, sound.bytes) << "the history pass wrote nothing";
    if (c.kind == File_Fault::Flush_Fails) return 0;
    if (c.kind != File_Fault::Full_Disk) return static_cast<std::uint64_t>(c.share * static_cast<double>(read));
    const std::uint64_t first = c.in_history ? sound.bytes : 0;
    const std::uint64_t span = c.in_history ? written - sound.bytes : sound.bytes;
    return first + static_cast<std::uint64_t>(c.share * static_cast<double>(span));
}

void PrintTo(const Fault_Case& c, std::ostream* os) { *os << c.name; }

class Generate_Fault : public ::testing::TestWithParam<Fault_Case> {};

TEST_P(Generate_Fault, Fails_With_A_Named_Error_And_Leaves_No_File) {
    const Fault_Case& c = GetParam();
    Temp_Dir dir;
    Generate_Options options;
    options.profile = "instrument-data";
    options.encrypt = true;
    options.deleted_fraction = 0.4;
    if (c.by_size)
        options.size_mb = 1;
    else
        options.rows = 400;
    Faulty_Files files({c.kind, Fault_After(c, options, dir.Path())});
    options.files = &files;
    try {
        Generate_Database(options, dir.Path() / "g.mdb");
        ADD_FAILURE() << "generated despite the fault";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error_Kind::IO) << e.what();
        EXPECT_NE(std::string(e.what()).find("g.mdb"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(files.Struck());
    EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator())), 0u) << "a file was left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Phases, Generate_Fault,
    ::testing::Values(Fault_Case{"full_disk_while_writing", File_Fault::Full_Disk, 0.5, false, false},
                      Fault_Case{"full_disk_giving_history", File_Fault::Full_Disk, 0.5, true, false},
                      Fault_Case{"full_disk_at_last_history_page", File_Fault::Full_Disk, 0.99, true, false},
                      Fault_Case{"failing_flush", File_Fault::Flush_Fails, 0, false, false},
                      Fault_Case{"read_error_reading_definitions", File_Fault::Read_Error, 0.01, false, false},
                      Fault_Case{"read_error_walking_pages", File_Fault::Read_Error, 0.8, false, false},
                      Fault_Case{"short_read_walking_pages", File_Fault::Short_Read, 0.5, false, false},
                      Fault_Case{"full_disk_sizing", File_Fault::Full_Disk, 0, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The page editor ---------------------------------------------------------------------

class Page_Editor_Test : public ::testing::TestWithParam<bool> {};

// Edits over many more pages than the editor holds, each page edited twice and far apart,
// all reach the file, encoded as the database's pages are.
TEST_P(Page_Editor_Test, Every_Edit_Reaches_The_File) {
    Temp_Dir dir;
    const fs::path file = dir.Path() / "e.mdb";
    Generate_Options options;
    options.rows = 700;
    options.encrypt = GetParam();
    const Generate_Result r = Generate_Database(options, file);
    ASSERT_GT(r.pages, 300u);  // several times the pages the editor holds
    constexpr std::size_t At = format::Page_Size - 1;  // the last byte: row bytes on a data page
    std::vector<std::uint8_t> before(r.pages);
    {
        const Page_File pf(file, r.password);
        for (std::uint32_t p = 2; p < r.pages; ++p) before[p] = (*pf.Read(p))[At];
    }
    {
        generator::Page_Editor editor(Host_Files(), file, r.database_key);
        ASSERT_EQ(editor.Pages(), r.pages);
        for (int round = 0; round < 2; ++round)
            for (std::uint32_t p = 2; p < r.pages; ++p) editor.Edit(p)[At] ^= static_cast<std::uint8_t>(round + 1);
        EXPECT_THROW(editor.Read(r.pages), Error);
        editor.Finish();
    }
    const Page_File pf(file, r.password);
    for (std::uint32_t p = 2; p < r.pages; ++p)
        ASSERT_EQ((*pf.Read(p))[At], before[p] ^ 3u) << "page " << p;
}

INSTANTIATE_TEST_SUITE_P(Encodings, Page_Editor_Test, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "encoded" : "plain"); });

}  // namespace
