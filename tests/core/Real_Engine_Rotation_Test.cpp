// The rotation with our own Jet engine on copies of real Access databases: the data
// database protected by its password, the history database without one. mdbtools reads
// the results independently.

#include <gtest/gtest.h>

#if KELBROOK_HAVE_JET_COMPACTOR

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Site_Databases.h"
#include "jet/Check.h"
#include "jet/Compactor.h"
#include "jet/Error.h"
#include "maintenance/Compact_Databases.h"
#include "platform/Database_Engine.h"
#include "platform/File_System_Service.h"
#include "platform/Our_Database_Engine.h"
#include "support/Engine_Double.h"
#include "support/Temp_Drive.h"

namespace kelbrook {
namespace {

namespace fs = std::filesystem;
using testing::Read_Whole_File;

const std::string Data_L = "C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb";
const std::string Data_N = "C:\\Tarvel\\KT500\\data\\duvura-d-7-7new.mdb";
const std::string Data_B = "C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb";
const std::string History_L = "C:\\Tarvel\\KT500\\history\\duvura-h-7-7.mdb";
const std::string History_N = "C:\\Tarvel\\KT500\\history\\duvura-h-7-7new.mdb";
const std::string History_B = "C:\\Tarvel\\KT500\\Old Software\\duvura-h-7-7.mdb";
const std::string Password = "wexo4m";

class Platform_Host final : public maintenance::Compaction_Host {
public:
    std::vector<std::string> reports;
    platform::File_System_Service& File_System_Object() override {
        if (!files_) files_ = platform::Create_File_System_Service();
        return *files_;
    }
    platform::Database_Engine& Jet_Engine_Object() override {
        if (!engine_) engine_ = platform::Create_Database_Engine();
        return *engine_;
    }
    void Report_Compaction_Failure(const std::string& description) override { reports.push_back(description); }

private:
    std::unique_ptr<platform::File_System_Service> files_;
    std::unique_ptr<platform::Database_Engine> engine_;
};

std::string Shell_Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Standard output of a command, or nothing when it could not run or failed.
std::optional<std::string> Output_Of(const std::string& command) {
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string output;
    char buffer[4096];
    while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
    if (pclose(pipe) != 0) return std::nullopt;
    return output;
}

// Row counts of every user table, as mdbtools reads them.
std::map<std::string, std::string> Row_Counts(const fs::path& file) {
    std::map<std::string, std::string> counts;
    const auto tables = Output_Of("mdb-tables -1 " + Shell_Quoted(file.string()));
    if (!tables) return {{"<mdb-tables failed>", ""}};
    std::istringstream lines(*tables);
    for (std::string table; std::getline(lines, table);) {
        if (table.empty()) continue;
        const auto count = Output_Of("mdb-count " + Shell_Quoted(file.string()) + " " + Shell_Quoted(table));
        counts[table] = count ? *count : "<mdb-count failed>";
    }
    return counts;
}

class Real_Engine_Rotation : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::Our_Database_Engine_Available()) GTEST_SKIP() << "this build has no compactor";
        corpus_ = KELBROOK_CORPUS_DIR;
        if (!fs::exists(corpus_ / "indexTestV2000.mdb") || !fs::exists(corpus_ / "testV2000.mdb")) {
            GTEST_SKIP() << "corpus not found at " << corpus_;
        }
        if (!Output_Of("mdb-tables --version")) GTEST_SKIP() << "mdbtools is not installed";
    }

    fs::path corpus_;
};

TEST_F(Real_Engine_Rotation, LeavesCompactedLiveFilesAndTheOldOnesAsBackups) {
    testing::Temp_Drive drive;
    drive.Make_Folder("C:\\Tarvel\\KT500\\data");
    drive.Make_Folder("C:\\Tarvel\\KT500\\history");
    drive.Make_Folder("C:\\Tarvel\\KT500\\Old Software");

    // The data database: a copy of a real one, given the instrument's password.
    jet::CompactDatabase("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + (corpus_ / "indexTestV2000.mdb").string() +
                             ";Jet OLEDB:Database Password=;",
                         "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;Data Source=" +
                             drive.Host(Data_L).string() + ";Jet OLEDB:Database Password=" + Password + ";");
    // The history database: a plain copy of one with many unused pages.
    fs::copy_file(corpus_ / "testV2000.mdb", drive.Host(History_L));
    fs::permissions(drive.Host(History_L), fs::perms::owner_write, fs::perm_options::add);

    const std::string data_before = Read_Whole_File(drive.Host(Data_L));
    const std::string history_before = Read_Whole_File(drive.Host(History_L));
    const auto data_rows = Row_Counts(drive.Host(Data_L));
    const auto history_rows = Row_Counts(drive.Host(History_L));
    ASSERT_FALSE(data_rows.empty());
    ASSERT_FALSE(history_rows.empty());

    Platform_Host host;
    ASSERT_TRUE(maintenance::Compact_Databases(host, Site_Databases()));
    EXPECT_TRUE(host.reports.empty()) << host.reports.front();

    EXPECT_EQ(Read_Whole_File(drive.Host(Data_B)), data_before);
    EXPECT_EQ(Read_Whole_File(drive.Host(History_B)), history_before);
    EXPECT_FALSE(drive.Exists(Data_N));
    EXPECT_FALSE(drive.Exists(History_N));

    EXPECT_EQ(jet::Check(drive.Host(Data_L), Password), std::vector<std::string>{});
    EXPECT_THROW(jet::Check(drive.Host(Data_L), ""), jet::Password_Error) << "the compacted data lost its password";
    EXPECT_EQ(jet::Check(drive.Host(History_L)), std::vector<std::string>{});
    EXPECT_LT(fs::file_size(drive.Host(History_L)), history_before.size() / 4) << "the history database did not shrink";
    EXPECT_EQ(Row_Counts(drive.Host(Data_L)), data_rows);
    EXPECT_EQ(Row_Counts(drive.Host(History_L)), history_rows);

    // A second run keeps the first run's compacted files as the backups.
    const std::string data_first = Read_Whole_File(drive.Host(Data_L));
    const std::string history_first = Read_Whole_File(drive.Host(History_L));
    ASSERT_TRUE(maintenance::Compact_Databases(host, Site_Databases()));
    EXPECT_TRUE(host.reports.empty());
    EXPECT_EQ(Read_Whole_File(drive.Host(Data_B)), data_first);
    EXPECT_EQ(Read_Whole_File(drive.Host(History_B)), history_first);
    EXPECT_EQ(jet::Check(drive.Host(Data_L), Password), std::vector<std::string>{});
    EXPECT_EQ(Row_Counts(drive.Host(History_L)), history_rows);
    EXPECT_FALSE(drive.Exists(Data_N));
}

TEST_F(Real_Engine_Rotation, WrongPasswordIsReportedAndNothingMoves) {
    testing::Temp_Drive drive;
    drive.Make_Folder("C:\\Tarvel\\KT500\\data");
    drive.Write(Data_B, "previous backup");
    jet::CompactDatabase("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + (corpus_ / "indexTestV2000.mdb").string() +
                             ";Jet OLEDB:Database Password=;",
                         "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;Data Source=" +
                             drive.Host(Data_L).string() + ";Jet OLEDB:Database Password=other1;");
    const std::string before = Read_Whole_File(drive.Host(Data_L));

    Platform_Host host;
    EXPECT_FALSE(maintenance::Compact_Databases(host, Site_Databases()));
    EXPECT_EQ(host.reports, std::vector<std::string>{"Not a valid password."});
    EXPECT_EQ(Read_Whole_File(drive.Host(Data_L)), before);
    EXPECT_EQ(drive.Read(Data_B), "previous backup");
    EXPECT_FALSE(drive.Exists(Data_N));
}

TEST_F(Real_Engine_Rotation, EngineReachesDataSourcesThroughTheDriveMapping) {
    testing::Temp_Drive drive;
    drive.Make_Folder("C:\\Tarvel\\KT500\\data");
    fs::copy_file(corpus_ / "delTestV2000.mdb", drive.Host("C:\\Tarvel\\KT500\\data\\Mixed Case.mdb"));
    const auto engine = platform::Create_Database_Engine();
    engine->CompactDatabase(
        "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=c:\\TARVEL\\kt500\\DATA\\mixed case.MDB;Jet OLEDB:Database Password=;",
        "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;Data Source=C:\\tarvel\\KT500\\Data\\New Copy.mdb;"
        "Jet OLEDB:Database Password=;");
    // The new file lands in the existing folder, under the name given.
    EXPECT_EQ(jet::Check(drive.Host("C:\\Tarvel\\KT500\\data\\New Copy.mdb")), std::vector<std::string>{});

    // A Data Source off drive C: is refused, and nothing is written.
    EXPECT_ANY_THROW(engine->CompactDatabase(
        "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\Tarvel\\KT500\\data\\New Copy.mdb;Jet OLEDB:Database Password=;",
        "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;Data Source=D:\\elsewhere.mdb;Jet OLEDB:Database Password=;"));
    EXPECT_EQ(std::distance(fs::directory_iterator(drive.Root()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace kelbrook

#endif  // KELBROOK_HAVE_JET_COMPACTOR
