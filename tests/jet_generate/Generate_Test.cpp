// Generated databases of every profile: our structural check (strict), the mdbtools
// reader (same tables, row counts and values as generated), the history left in the
// file, determinism, sizes, passwords, page encoding, and failures.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/Temp_Folder.h"
#include "jet/util/Bytes.h"
#include "jet/engine/Check.h"
#include "jet/engine/Database.h"
#include "jet/file/File_Output.h"
#include "jet/file/Format.h"
#include "jet/generator/Generator.h"
#include "jet/file/Page_File.h"
#include "support/Faulty_Files.h"

namespace fs = std::filesystem;
using namespace kelbrook::jet;

namespace {

struct Run_Result {
    int status = -1;
    std::string out;
};

Run_Result Run_Shell(const std::string& command) {
    Run_Result r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using Temp_Dir = kelbrook::testing::Temp_Folder;

// The key facts of one generated file as the mdbtools reader sees them.
void Expect_Mdbtools_Reads(const fs::path& file, const Generate_Result& r) {
    Run_Result tables = Run_Shell("mdb-tables -1 " + Quote(file));
    ASSERT_EQ(tables.status, 0) << tables.out;
    std::vector<std::string> names = Lines(tables.out);
    ASSERT_EQ(names.size(), r.tables.size()) << tables.out;
    Run_Result schema = Run_Shell("mdb-schema " + Quote(file));
    EXPECT_EQ(schema.status, 0) << schema.out;
    for (const Generated_Table& t : r.tables) {
        SCOPED_TRACE(t.name);
        EXPECT_NE(std::find(names.begin(), names.end(), t.name), names.end());
        EXPECT_NE(schema.out.find("CREATE TABLE [" + t.name + "]"), std::string::npos);
        Run_Result count = Run_Shell("mdb-count " + Quote(file) + " " + t.name);
        EXPECT_EQ(count.status, 0);
        EXPECT_EQ(std::stoull(count.out), t.live_rows);
        Run_Result json = Run_Shell("mdb-json " + Quote(file) + " " + t.name);
        std::vector<std::string> rows = Lines(json.out);
        ASSERT_EQ(rows.size(), t.live_rows);
        // The first live rows carry the values generated for them (integers and text).
        for (std::size_t i = 0; i < t.first_rows.size(); ++i) {
            for (std::size_t c = 0; c < t.column_names.size(); ++c) {
                const Field_Value& v = t.first_rows[i][c];
                std::string expected;
                if (const auto* n = std::get_if<std::int64_t>(&v)) {
                    if (t.column_names[c] == "Price" || t.column_names[c] == "Amount") continue;  // scaled
                    expected = "\"" + t.column_names[c] + "\":" + std::to_string(*n);
                } else if (const auto* s = std::get_if<std::string>(&v)) {
                    if (s->size() > 200 || s->find_first_of("\"\\\r\n") != std::string::npos) continue;
                    expected = "\"" + t.column_names[c] + "\":\"" + *s + "\"";
                } else {
                    continue;
                }
                EXPECT_NE(rows[i].find(expected), std::string::npos) << "row " << i << ": " << rows[i];
            }
        }
    }
}

// Slots in the file by their flags: deleted (0xC000), moved away (0x4000 only).
struct Slot_Counts {
    std::uint64_t deleted = 0;
    std::uint64_t moved = 0;
    std::uint64_t free_pages = 0;  // set in the global map, inside the file
};

Slot_Counts Count_Slots(const fs::path& file, const std::string& password) {
    Page_File pf(file, password);
    Slot_Counts c;
    for (std::uint32_t p = 2; p < pf.Page_Count(); ++p) {
        Page_Ref page = pf.Read(p);
        std::span<const std::uint8_t> b(*page);
        if (b[0] != format::Page_Type_Data || Get_U32(b, format::Data_Tdef_Page) == 0) continue;
        if (std::equal(format::Lval_Signature.begin(), format::Lval_Signature.end(), b.begin() + 4)) continue;
        for (std::uint16_t s = 0; s < Get_U16(b, format::Data_Row_Count); ++s) {
            const std::uint16_t slot = Get_U16(b, format::Data_Row_Table + 2u * s);
            if ((slot & 0xC000) == 0xC000) ++c.deleted;
            else if (slot & format::Row_Flag_Overflow) ++c.moved;
        }
    }
    Page_Ref map_page = pf.Read(format::Global_Map_Page);
    std::span<const std::uint8_t> m(*map_page);
    const std::size_t start = Get_U16(m, format::Data_Row_Table) & format::Row_Offset_Mask;
    if (m[start] == format::Map_Type_Inline) {
        const std::uint32_t first = Get_U32(m, start + 1);
        for (std::uint32_t p = first; p < pf.Page_Count(); ++p) {
            const std::size_t bit = p - first;
            if (start + 5 + bit / 8 < format::Page_Size && (m[start + 5 + bit / 8] >> (bit % 8) & 1)) ++c.free_pages;
        }
    }
    return c;
}

struct Profile_Case {
    const char* profile;
    bool encrypt;
    const char* expected_password;
};

void PrintTo(const Profile_Case& c, std::ostream* os) {
    *os << c.profile << (c.encrypt ? " encoded" : "");
}

class Generated_Profile : public ::testing::TestWithParam<Profile_Case> {};

TEST_P(Generated_Profile, Passes_Check_And_Reads_With_Mdbtools) {
    const Profile_Case& pc = GetParam();
    Temp_Dir dir;
    const fs::path file = dir.Path() / "g.mdb";
    Generate_Options options;
    options.profile = pc.profile;
    options.rows = 600;
    options.encrypt = pc.encrypt;
    options.deleted_fraction = 0.3;
    const Generate_Result r = Generate_Database(options, file);
    EXPECT_EQ(r.password, pc.expected_password);
    EXPECT_EQ(r.database_key != 0, pc.encrypt);
    EXPECT_EQ(fs::file_size(file), r.bytes);

    const std::vector<std::string> problems = Check(file, r.password);
    EXPECT_TRUE(problems.empty()) << problems.front();
    // Under the strict check only what Jet itself leaves behind may show: long-value
    // pages that hold nothing but freed values.
    Check_Options strict;
    strict.strict_global_map = true;
    for (const std::string& line : Check(file, r.password, strict))
        EXPECT_TRUE(line.find("lists pages holding none of its values") != std::string::npos ||
                    line.find("pages that nothing uses are marked in use") != std::string::npos)
            << line;

    Database db(file, r.password);
    EXPECT_EQ(db.Header().password, pc.expected_password);
    EXPECT_EQ(db.Header().database_key, r.database_key);
    if (!r.password.empty()) {
        EXPECT_THROW(Database(file, "not the password"), Password_Error);
    }

    Expect_Mdbtools_Reads(file, r);

    // The history is in the file: deleted slots (user rows plus the dropped table's
    // catalogue row and its two permission rows), moved rows, free pages.
    std::uint64_t deleted = 3, moved = 0;
    for (const Generated_Table& t : r.tables) {
        deleted += t.deleted_rows;
        moved += t.overflow_rows;
    }
    EXPECT_GT(deleted, 100u);
    EXPECT_GT(moved, 0u);
    EXPECT_GT(r.freed_pages, 0u);
    const Slot_Counts slots = Count_Slots(file, r.password);
    EXPECT_EQ(slots.deleted, deleted);
    EXPECT_EQ(slots.moved, moved);
    EXPECT_EQ(slots.free_pages, r.freed_pages);
}

INSTANTIATE_TEST_SUITE_P(Profiles, Generated_Profile,
                         ::testing::Values(Profile_Case{"every-type", false, ""}, Profile_Case{"every-type", true, ""},
                                           Profile_Case{"instrument-data", false, "wexo4m"},
                                           Profile_Case{"instrument-data", true, "wexo4m"},
                                           Profile_Case{"instrument-history", false, ""},
                                           Profile_Case{"instrument-history", true, ""}),
                         [](const auto& info) {
                             std::string n = std::string(info.param.profile) + (info.param.encrypt ? "_encoded" : "");
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

TEST(Generate, Same_Options_Give_The_Same_Bytes) {
    Temp_Dir dir;
    Generate_Options options;
    options.profile = "instrument-data";
    options.rows = 300;
    options.encrypt = true;
    Generate_Database(options, dir.Path() / "a.mdb");
    Generate_Database(options, dir.Path() / "b.mdb");
    options.seed = 2;
    Generate_Database(options, dir.Path() / "c.mdb");
    const std::string a = Slurp(dir.Path() / "a.mdb");
    EXPECT_EQ(a, Slurp(dir.Path() / "b.mdb"));
    EXPECT_NE(a, Slurp(dir.Path() / "c.mdb"));
}

TEST(Generate, Password_And_No_History_On_Request) {
    Temp_Dir dir;
    Generate_Options options;
    options.profile = "instrument-history";
    options.rows = 200;
    options.password = "S3cret Pw";
    options.deleted_fraction = 0;
    const Generate_Result r = Generate_Database(options, dir.Path() / "p.mdb");
    EXPECT_EQ(Database(dir.Path() / "p.mdb", "S3cret Pw").Header().password, "S3cret Pw");
    for (const Generated_Table& t : r.tables) {
        EXPECT_EQ(t.deleted_rows, 0u) << t.name;
        EXPECT_EQ(t.overflow_rows, 0u) << t.name;
    }
    Check_Options strict;
    strict.strict_global_map = true;
    EXPECT_TRUE(Check(dir.Path() / "p.mdb", "S3cret Pw", strict).empty());
}

class Generated_Size : public ::testing::TestWithParam<std::pair<std::string, double>> {};

TEST_P(Generated_Size, File_Size_Within_Ten_Percent) {
    Temp_Dir dir;
    Generate_Options options;
    options.profile = GetParam().first;
    options.size_mb = GetParam().second;
    const Generate_Result r = Generate_Database(options, dir.Path() / "s.mdb");
    const double wanted = GetParam().second * 1024 * 1024;
    const double got = static_cast<double>(fs::file_size(dir.Path() / "s.mdb"));
    EXPECT_NEAR(got, wanted, wanted * 0.10);
    EXPECT_FALSE(fs::exists(dir.Path() / "s.mdb.sizing"));
    EXPECT_TRUE(Check(dir.Path() / "s.mdb", r.password).empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, Generated_Size,
                         ::testing::Values(std::make_pair(std::string("every-type"), 2.0), std::make_pair(std::string("instrument-data"), 3.0)),
                         [](const auto& info) {
                             std::string n = info.param.first + "_" +
                                             std::to_string(static_cast<int>(info.param.second)) + "MB";
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

TEST(Generate, Refuses_Bad_Options_And_Existing_Files) {
    Temp_Dir dir;
    const fs::path file = dir.Path() / "x.mdb";
    { std::ofstream(file) << "keep me"; }
    Generate_Options options;
    options.rows = 10;
    EXPECT_THROW(Generate_Database(options, file), Error);
    EXPECT_EQ(Slurp(file), "keep me");
    Generate_Options bad_profile;
    bad_profile.profile = "nope";
    EXPECT_THROW(Generate_Database(bad_profile, dir.Path() / "y.mdb"), Error);
    Generate_Options bad_fraction;
    bad_fraction.deleted_fraction = 1.5;
    EXPECT_THROW(Generate_Database(bad_fraction, dir.Path() / "y.mdb"), Error);
    Generate_Options too_big;
    too_big.size_mb = 4096;
    EXPECT_THROW(Generate_Database(too_big, dir.Path() / "y.mdb"), Error);
    EXPECT_THROW(Generate_Database(options, dir.Path() / "missing" / "y.mdb"), Error);
    EXPECT_FALSE(fs::exists(dir.Path() / "y.mdb"));
}

TEST(Generate, Full_Disk_Leaves_No_File) {
    Temp_Dir dir;
    Generate_Options options;
    options.rows = 500;
    kelbrook::test::Faulty_Files files({kelbrook::test::File_Fault::Full_Disk, 200000});
    options.files = &files;
    try {
        Generate_Database(options, dir.Path() / "full.mdb");
        ADD_FAILURE() << "generated";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error_Kind::IO) << e.what();
        EXPECT_NE(std::string(e.what()).find("full.mdb': the disk is full"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(files.Struck());
    EXPECT_FALSE(fs::exists(dir.Path() / "full.mdb"));
}

TEST(Jetdb_Generate, Command_Line) {
    Temp_Dir dir;
    const std::string jetdb = std::string(KELBROOK_BIN_DIR) + "/jetdb";
    if (!fs::exists(jetdb)) GTEST_SKIP() << "jetdb not built at " << jetdb;
    const fs::path file = dir.Path() / "cli.mdb";
    Run_Result ok = Run_Shell(jetdb + " generate --profile instrument-data --rows 50 --seed 3 " + Quote(file));
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_NE(ok.out.find("Results: 50 rows"), std::string::npos) << ok.out;
    Run_Result check = Run_Shell(jetdb + " check --password wexo4m " + Quote(file));
    EXPECT_EQ(check.status, 0) << check.out;
    for (const char* bad : {"--rows", "--rows x", "--size-mb 1 --rows 5", "--bogus", "--profile nope",
                            "--deleted-fraction 2"}) {
        Run_Result r = Run_Shell(jetdb + " generate " + bad + " " + Quote(dir.Path() / "bad.mdb"));
        EXPECT_EQ(r.status, 2) << bad << ": " << r.out;
        EXPECT_FALSE(fs::exists(dir.Path() / "bad.mdb")) << bad;
    }
    Run_Result exists = Run_Shell(jetdb + " generate --rows 5 " + Quote(file));
    EXPECT_EQ(exists.status, 2);
    EXPECT_NE(exists.out.find("exists"), std::string::npos) << exists.out;
}

}  // namespace

namespace {

// The relationship is recorded as Access records it: a row in MSysRelationships and a
// foreign-key logical index on each side naming the other table and the other index.
TEST(Generate, Foreign_Keys_Point_At_Each_Other) {
    Temp_Dir dir;
    Generate_Options options;
    options.rows = 50;
    Generate_Database(options, dir.Path() / "fk.mdb");
    Database db(dir.Path() / "fk.mdb");
    const Catalog_Entry& parent_entry = db.Find_Table("Categories");
    const Catalog_Entry& child_entry = db.Find_Table("AllTypes");
    const Table_Definition& parent = db.Definition(parent_entry);
    const Table_Definition& child = db.Definition(child_entry);
    const Logical_Index* from_child = nullptr;
    const Logical_Index* from_parent = nullptr;
    for (const Logical_Index& li : child.logical_indexes)
        if (li.Is_Foreign_Key()) from_child = &li;
    for (const Logical_Index& li : parent.logical_indexes)
        if (li.Is_Foreign_Key()) from_parent = &li;
    ASSERT_NE(from_child, nullptr);
    ASSERT_NE(from_parent, nullptr);
    EXPECT_EQ(from_child->relation_role, 2);
    EXPECT_EQ(from_parent->relation_role, 1);
    EXPECT_EQ(from_child->related_table_page, parent.page);
    EXPECT_EQ(from_parent->related_table_page, child.page);
    EXPECT_EQ(from_child->related_index, static_cast<std::int32_t>(from_parent->number));
    EXPECT_EQ(from_parent->related_index, static_cast<std::int32_t>(from_child->number));
    EXPECT_EQ(from_parent->real_index, 0u);  // shares the primary key's index
    const Run_Result rel = Run_Shell("mdb-json " + Quote(dir.Path() / "fk.mdb") + " MSysRelationships");
    EXPECT_NE(rel.out.find("\"szObject\":\"AllTypes\""), std::string::npos) << rel.out;
    EXPECT_NE(rel.out.find("\"szReferencedObject\":\"Categories\""), std::string::npos) << rel.out;
}

}  // namespace
