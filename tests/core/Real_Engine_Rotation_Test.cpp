// The rotation with our own Jet engine on copies of real Access databases: the data
// database protected by its password, the history database without one. mdbtools reads
// the results independently.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Site_Databases.h"
#include "support/Corpus_Required.h"
#include "jet/engine/Check.h"
#include "jet/engine/Compactor.h"
#include "jet/util/Error.h"
#include "jet/file/Exclusive_Use.h"
#include "maintenance/Compact_Databases.h"
#include "platform/Database_Engine.h"
#include "platform/File_System_Service.h"
#include "platform/Our_Database_Engine.h"
#include "support/Engine_Double.h"
#include "support/Fault_Injecting_File_System.h"
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
    // When set, the platform's file service is reached through a fault plan (to watch it).
    std::shared_ptr<testing::Fault_Plan> wrap_files;
    platform::File_System_Service& File_System_Object() override {
        if (!files_ && wrap_files) {
            files_ = std::make_unique<testing::Fault_Injecting_File_System>(platform::Create_File_System_Service(),
                                                                            wrap_files);
        }
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
        corpus_ = testing::Private_Corpus(KELBROOK_CORPUS_DIR);
        if (!fs::exists(corpus_ / "indexTestV2000.mdb") || !fs::exists(corpus_ / "testV2000.mdb")) {
            KELBROOK_CORPUS_OR_SKIP(false, "corpus not found at " + corpus_.string());
        }
        if (!Output_Of("mdb-tables --version")) GTEST_SKIP() << "mdbtools is not installed";
    }

    // The installation: the data database a copy of `data` given the instrument's
    // password, the history database a plain copy of `history`, and the backup folder.
    void Lay_Out(const testing::Temp_Drive& drive, const std::string& data, const std::string& history) const {
        drive.Make_Folder("C:\\Tarvel\\KT500\\data");
        drive.Make_Folder("C:\\Tarvel\\KT500\\history");
        drive.Make_Folder("C:\\Tarvel\\KT500\\Old Software");
        jet::CompactDatabase("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + (corpus_ / data).string() +
                                 ";Jet OLEDB:Database Password=;",
                             "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;Data Source=" +
                                 drive.Host(Data_L).string() + ";Jet OLEDB:Database Password=" + Password + ";");
        fs::copy_file(corpus_ / history, drive.Host(History_L));
        fs::permissions(drive.Host(History_L), fs::perms::owner_write, fs::perm_options::add);
    }

    fs::path corpus_;
};

// The names of temporaries that an interrupted copy or compaction leaves.
std::vector<std::string> Temporaries_Under(const fs::path& root) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name.find(platform::Temporary_Infix) != std::string::npos || name.rfind(platform::Legacy_Copy_Prefix, 0) == 0)
            found.push_back(entry.path().string());
    }
    return found;
}

// Every file under a folder with its content, every folder as "<folder>".
std::map<std::string, std::string> Files_Under(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        files[fs::relative(entry.path(), root).generic_string()] =
            entry.is_directory() ? "<folder>" : Read_Whole_File(entry.path());
    }
    return files;
}

// Another program holding a database the way Jet does, in a child process, for as long as
// the object lives.
class Other_Program_Holding {
public:
    explicit Other_Program_Holding(const fs::path& database) {
        int ready[2], done[2];
        if (pipe(ready) != 0 || pipe(done) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(done[1]);
            try {
                jet::Exclusive_Use use(database, database.string());
                const char byte = 1;
                if (::write(ready[1], &byte, 1) != 1) _exit(3);
                char ignored;
                while (::read(done[0], &ignored, 1) > 0) {
                }
                _exit(0);
            } catch (...) {
                _exit(2);
            }
        }
        ::close(ready[1]);
        ::close(done[0]);
        done_ = done[1];
        char byte = 0;
        held_ = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~Other_Program_Holding() {
        ::close(done_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    Other_Program_Holding(const Other_Program_Holding&) = delete;
    Other_Program_Holding& operator=(const Other_Program_Holding&) = delete;
    bool Held() const { return held_; }

private:
    pid_t pid_ = -1;
    int done_ = -1;
    bool held_ = false;
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
    // Nothing else is left beside the live files: no temporary, no lock file.
    for (const char* folder : {"Tarvel/KT500/data", "Tarvel/KT500/history"}) {
        EXPECT_EQ(std::distance(fs::directory_iterator(drive.Root() / folder), fs::directory_iterator()), 1) << folder;
    }

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

// The instrument software (another Jet program) has the data database open: the run
// says so in Jet's words and no file of the installation changes; once it has let go,
// the next run rotates as usual.
TEST_F(Real_Engine_Rotation, DatabaseHeldByAnotherProgramIsReportedAndNothingChanges) {
    testing::Temp_Drive drive;
    Lay_Out(drive, "indexTestV2000.mdb", "delTestV2000.mdb");
    drive.Write(Data_B, "previous backup");
    drive.Write(Data_N, "compacted copy of an interrupted run");
    {
        Other_Program_Holding instrument(drive.Host(Data_L));
        ASSERT_TRUE(instrument.Held());
        const auto before = Files_Under(drive.Root());
        Platform_Host host;
        EXPECT_FALSE(maintenance::Compact_Databases(host, Site_Databases()));
        EXPECT_EQ(host.reports, std::vector<std::string>{"Could not use '" + Data_L + "'; file already in use."});
        EXPECT_EQ(Files_Under(drive.Root()), before);
    }
    Platform_Host host;
    EXPECT_TRUE(maintenance::Compact_Databases(host, Site_Databases()));
    EXPECT_TRUE(host.reports.empty()) << host.reports.front();
    EXPECT_EQ(jet::Check(drive.Host(Data_L), Password), std::vector<std::string>{});
    EXPECT_FALSE(drive.Exists(Data_N));
}

// An older run deleted the live data database and died before the compacted copy took its
// place: the copy is checked by the engine, put back and rotated; a damaged one is reported
// and left as it is.
TEST_F(Real_Engine_Rotation, CompactedCopyWithoutItsLiveFileIsCheckedAndPutBack) {
    testing::Temp_Drive drive;
    Lay_Out(drive, "indexTestV2000.mdb", "delTestV2000.mdb");
    const auto rows = Row_Counts(drive.Host(Data_L));
    fs::rename(drive.Host(Data_L), drive.Host(Data_N));
    const std::string copy = Read_Whole_File(drive.Host(Data_N));

    Platform_Host host;
    ASSERT_TRUE(maintenance::Compact_Databases(host, Site_Databases()));
    EXPECT_TRUE(host.reports.empty()) << host.reports.front();
    EXPECT_EQ(Read_Whole_File(drive.Host(Data_B)), copy);
    EXPECT_EQ(jet::Check(drive.Host(Data_L), Password), std::vector<std::string>{});
    EXPECT_EQ(Row_Counts(drive.Host(Data_L)), rows);
    EXPECT_FALSE(drive.Exists(Data_N));
}

TEST_F(Real_Engine_Rotation, DamagedCompactedCopyWithoutItsLiveFileIsReportedAndKept) {
    testing::Temp_Drive drive;
    Lay_Out(drive, "indexTestV2000.mdb", "delTestV2000.mdb");
    drive.Write(Data_B, "previous backup");
    // Half of the database: its later pages are gone.
    const std::string whole = Read_Whole_File(drive.Host(Data_L));
    fs::remove(drive.Host(Data_L));
    drive.Write(Data_N, whole.substr(0, whole.size() / 2));
    const auto before = Files_Under(drive.Root());

    Platform_Host host;
    EXPECT_FALSE(maintenance::Compact_Databases(host, Site_Databases()));
    ASSERT_EQ(host.reports.size(), 1u);
    EXPECT_NE(host.reports[0].find("duvura-d-7-7new.mdb"), std::string::npos) << host.reports[0];
    EXPECT_EQ(Files_Under(drive.Root()), before) << "a damaged copy is left exactly as it was";
}

// The run killed as each file step begins (with the temporary of an unfinished copy or
// compaction left beside one of the files), then run again: each database is there whole,
// compacted and with its backup, as the engine and mdbtools read them, and no temporary is
// left.
TEST_F(Real_Engine_Rotation, KilledAtEveryStepThenRunAgainLosesNothing) {
    std::vector<std::map<std::string, std::string>> kill_points;
    std::map<std::string, std::string> data_rows, history_rows;
    {
        testing::Temp_Drive drive;
        Lay_Out(drive, "indexTestV2000.mdb", "delTestV2000.mdb");
        data_rows = Row_Counts(drive.Host(Data_L));
        history_rows = Row_Counts(drive.Host(History_L));
        auto plan = std::make_shared<testing::Fault_Plan>();
        plan->on_call = [&](testing::File_Operation, const std::string&) { kill_points.push_back(Files_Under(drive.Root())); };
        Platform_Host host;
        host.wrap_files = plan;
        ASSERT_TRUE(maintenance::Compact_Databases(host, Site_Databases()));
    }
    const std::vector<std::string> unfinished = {Data_N, Data_B, Data_L, History_N, History_B, History_L};
    for (std::size_t k = 0; k < kill_points.size(); ++k) {
        SCOPED_TRACE("killed at file step " + std::to_string(k + 1) + " of " + std::to_string(kill_points.size()));
        testing::Temp_Drive drive;
        for (const auto& [name, content] : kill_points[k]) {
            if (content == "<folder>") {
                fs::create_directories(drive.Root() / name);
                continue;
            }
            fs::create_directories((drive.Root() / name).parent_path());
            std::ofstream(drive.Root() / name, std::ios::binary) << content;
        }
        const std::string& beside = unfinished[k % unfinished.size()];
        const std::size_t slash = beside.rfind('\\');
        drive.Write(beside.substr(0, slash + 1) + "." + beside.substr(slash + 1) + platform::Temporary_Infix + "Kx9",
                    "half");
        Platform_Host host;
        EXPECT_TRUE(maintenance::Compact_Databases(host, Site_Databases()));
        EXPECT_TRUE(host.reports.empty()) << host.reports.front();
        EXPECT_EQ(jet::Check(drive.Host(Data_L), Password), std::vector<std::string>{});
        EXPECT_EQ(jet::Check(drive.Host(Data_B), Password), std::vector<std::string>{});
        EXPECT_EQ(jet::Check(drive.Host(History_L)), std::vector<std::string>{});
        EXPECT_EQ(jet::Check(drive.Host(History_B)), std::vector<std::string>{});
        EXPECT_EQ(Row_Counts(drive.Host(Data_L)), data_rows);
        EXPECT_EQ(Row_Counts(drive.Host(History_L)), history_rows);
        EXPECT_FALSE(drive.Exists(Data_N));
        EXPECT_FALSE(drive.Exists(History_N));
        EXPECT_EQ(Temporaries_Under(drive.Root()), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace kelbrook

