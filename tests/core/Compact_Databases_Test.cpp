// Compaction and rotation on a real folder standing for drive C:, with failures injected
// into every step of each database in turn, a second run started at every step of a
// first, and the run killed at every step and started again.

#include "maintenance/Compact_Databases.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Site_Databases.h"
#include "app/Site_Layout.h"
#include "support/Engine_Double.h"
#include "support/Fault_Injecting_File_System.h"
#include "support/Temp_Drive.h"

namespace kelbrook {
namespace {

namespace fs = std::filesystem;
using testing::Engine_Double;
using testing::Fault;
using testing::File_Operation;
using testing::Temp_Drive;

const std::string Data_L = "C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb";
const std::string Data_N = "C:\\Tarvel\\KT500\\data\\duvura-d-7-7new.mdb";
const std::string Data_B = "C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb";
const std::string History_L = "C:\\Tarvel\\KT500\\history\\duvura-h-7-7.mdb";
const std::string History_N = "C:\\Tarvel\\KT500\\history\\duvura-h-7-7new.mdb";
const std::string History_B = "C:\\Tarvel\\KT500\\Old Software\\duvura-h-7-7.mdb";
const std::string Backup_Folder = "C:\\Tarvel\\KT500\\Old Software";
const std::string Readme = "C:\\Tarvel\\KT500\\Old Software\\readme.txt";
const std::string Compacted_Mark = "+compacted";
const std::string Jet_Locked =
    "The database has been placed in a state by user 'Admin' on machine 'LAB-PC' that prevents it from being "
    "opened or locked.";

// The window's side of the rotation: objects made on first use, reports collected.
class Test_Host final : public maintenance::Compaction_Host {
public:
    std::function<std::unique_ptr<platform::File_System_Service>()> make_files;
    std::function<std::unique_ptr<platform::Database_Engine>()> make_engine;
    std::vector<std::string> reports;

    platform::File_System_Service& File_System_Object() override {
        if (!files_) files_ = make_files();
        return *files_;
    }
    platform::Database_Engine& Jet_Engine_Object() override {
        if (!engine_) engine_ = make_engine();
        return *engine_;
    }
    void Report_Compaction_Failure(const std::string& description) override { reports.push_back(description); }

private:
    std::unique_ptr<platform::File_System_Service> files_;
    std::unique_ptr<platform::Database_Engine> engine_;
};

enum class Db { Data, History };

struct Database_Paths {
    std::string live, compacted, backup, tag;
};

Database_Paths Paths(Db db) {
    return db == Db::Data ? Database_Paths{Data_L, Data_N, Data_B, "d"} : Database_Paths{History_L, History_N, History_B, "h"};
}

// What a file holds after the run, relative to what the database's files held before.
enum class Holds { Absent, Live, Compacted, Previous_Backup, Leftover, Leftover_Compacted };

std::string Content(Holds holds, const std::string& tag) {
    switch (holds) {
        case Holds::Absent: return "<absent>";
        case Holds::Live: return "live-" + tag;
        case Holds::Compacted: return "live-" + tag + Compacted_Mark;
        case Holds::Previous_Backup: return "backup-" + tag;
        case Holds::Leftover: return "leftover-" + tag;
        case Holds::Leftover_Compacted: return "leftover-" + tag + Compacted_Mark;
    }
    return {};
}

// Every file under the drive with its content, every folder as "<folder>".
using Snapshot = std::map<std::string, std::string>;

Snapshot Take_Snapshot(const Temp_Drive& drive) {
    Snapshot entries;
    for (const auto& entry : fs::recursive_directory_iterator(drive.Root())) {
        const std::string name = fs::relative(entry.path(), drive.Root()).generic_string();
        entries[name] = entry.is_directory() ? "<folder>" : testing::Read_Whole_File(entry.path());
    }
    return entries;
}

void Restore_Snapshot(const Temp_Drive& drive, const Snapshot& snapshot) {
    for (const auto& [name, content] : snapshot) {
        const fs::path path = drive.Root() / name;
        if (content == "<folder>") {
            fs::create_directories(path);
        } else {
            fs::create_directories(path.parent_path());
            std::ofstream(path, std::ios::binary) << content;
        }
    }
}

// The names of temporaries that a copy or a compaction leaves when it is interrupted.
bool Is_Temporary(const std::string& name) {
    return name.find(platform::Temporary_Infix) != std::string::npos ||
           name.rfind(platform::Legacy_Copy_Prefix, 0) == 0;
}

std::vector<std::string> Temporaries_On(const Temp_Drive& drive) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(drive.Root())) {
        if (Is_Temporary(entry.path().filename().string())) found.push_back(entry.path().string());
    }
    return found;
}

// A temporary as an interrupted copy to (or compaction into) `destination` leaves it.
std::string Temporary_Beside(const std::string& destination, const std::string& suffix) {
    const std::size_t slash = destination.rfind('\\');
    return destination.substr(0, slash + 1) + "." + destination.substr(slash + 1) + platform::Temporary_Infix + suffix;
}

// Which file of the failing database a fault is about.
enum class Role { None, Live, Compacted, Backup };

enum class Engine_Behaviour { Compacts, Fails, Fails_Half_Way, Leaves_Nothing };

// The files of the failing database when the run starts.
enum class Start { All_Three, Compacted_Without_Live, Backup_Only };

struct Rotation_Case {
    const char* name = "";
    Db db = Db::Data;
    // The fault: a file operation about one of the database's files, or the engine's.
    File_Operation operation = File_Operation::FileExists;
    Role role = Role::None;
    int nth = 1;
    const char* fault = platform::Text_Permission_Denied;
    Engine_Behaviour engine = Engine_Behaviour::Compacts;
    Start start = Start::All_Three;
    bool in_use = false;          // another program has the live file open
    bool unsound_compacted = false;  // the engine's check finds the leftover compacted copy damaged
    bool compacted_stuck = false;    // the compacted copy cannot be deleted once compaction has made it
    bool no_file_system = false;
    bool no_engine = false;
    // What must follow. In the report, {L} and {N} stand for the database's paths.
    const char* report = nullptr;  // nullptr: none
    Holds live = Holds::Compacted;
    Holds compacted = Holds::Absent;
    Holds backup = Holds::Live;
};
void PrintTo(const Rotation_Case& c, std::ostream* out) { *out << c.name; }

std::string Role_Path(const Database_Paths& paths, Role role) {
    switch (role) {
        case Role::Live: return paths.live;
        case Role::Compacted: return paths.compacted;
        case Role::Backup: return paths.backup;
        case Role::None: break;
    }
    return {};
}

std::string Expected_Report(std::string text, const Database_Paths& paths) {
    for (const auto& [mark, path] : {std::pair{std::string("{L}"), paths.live}, {"{N}", paths.compacted}}) {
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), path);
    }
    return text;
}

void Lay_Out_Database(const Temp_Drive& drive, Db db) {
    const Database_Paths p = Paths(db);
    drive.Write(p.live, Content(Holds::Live, p.tag));
    drive.Write(p.compacted, Content(Holds::Leftover, p.tag));  // an interrupted earlier run's
    drive.Write(p.backup, Content(Holds::Previous_Backup, p.tag));
}

void Expect_Database(const Temp_Drive& drive, Db db, Holds live, Holds compacted, Holds backup,
                     const std::string& context) {
    const Database_Paths p = Paths(db);
    EXPECT_EQ(drive.Read(p.live), Content(live, p.tag)) << context << ": live file of " << p.tag;
    EXPECT_EQ(drive.Read(p.compacted), Content(compacted, p.tag)) << context << ": compacted copy of " << p.tag;
    EXPECT_EQ(drive.Read(p.backup), Content(backup, p.tag)) << context << ": backup of " << p.tag;
}

// The rules every outcome keeps, whatever failed: the live file and the backup are never
// deleted, the database keeps a complete copy, and a replaced live file has its backup.
void Expect_Nothing_Lost(const Temp_Drive& drive, const testing::Fault_Plan& plan, Db db, Start start) {
    const Database_Paths p = Paths(db);
    for (const testing::File_Call& call : plan.Calls()) {
        if (call.operation != File_Operation::Delete_One_File) continue;
        EXPECT_FALSE(platform::Names_Match(call.first, p.live)) << "the live file was deleted";
        EXPECT_FALSE(platform::Names_Match(call.first, p.backup)) << "the backup was deleted";
    }
    const std::string live = drive.Read(p.live);
    if (start == Start::All_Three) {
        EXPECT_TRUE(live == Content(Holds::Live, p.tag) || live == Content(Holds::Compacted, p.tag))
            << "the live file of " << p.tag << " holds " << live;
    } else if (start == Start::Compacted_Without_Live) {
        const std::vector<std::string> now = {live, drive.Read(p.compacted)};
        EXPECT_TRUE(std::any_of(now.begin(), now.end(), [&](const std::string& content) {
            return content.rfind(Content(Holds::Leftover, p.tag), 0) == 0;
        })) << "the compacted copy left without its live file was lost";
    }
    if (live == Content(Holds::Compacted, p.tag)) {
        EXPECT_EQ(drive.Read(p.backup), Content(Holds::Live, p.tag)) << "the live file was replaced without a backup";
    }
}

class Rotation_Grid : public ::testing::TestWithParam<Rotation_Case> {};

TEST_P(Rotation_Grid, EveryDatabaseSurvivesAndTheOutcomeFollowsTheRules) {
    const Rotation_Case& c = GetParam();
    Temp_Drive drive;
    drive.Write(Readme, "other backup-folder content");
    Lay_Out_Database(drive, Db::Data);
    Lay_Out_Database(drive, Db::History);
    const Database_Paths failing = Paths(c.db);
    if (c.start != Start::All_Three) fs::remove(drive.Host(failing.live));
    if (c.start == Start::Backup_Only) fs::remove(drive.Host(failing.compacted));
    const Snapshot before = Take_Snapshot(drive);

    auto plan = std::make_shared<testing::Fault_Plan>();
    if (c.role != Role::None) plan->Add(Fault{c.operation, c.nth, c.fault, Role_Path(failing, c.role)});
    if (c.compacted_stuck) {
        plan->Add(Fault{File_Operation::Delete_One_File, 2, platform::Text_Permission_Denied, failing.compacted, true});
    }
    auto locks = std::make_shared<testing::Engine_Locks>();
    if (c.in_use) locks->Open_Elsewhere(failing.live);

    // The engine misbehaves on its call for the failing database only.
    const int engine_call = c.db == Db::Data ? 1 : 2;
    auto calls = std::make_shared<int>(0);
    const Engine_Double::Action compact = Engine_Double::Copying(Compacted_Mark);
    const Engine_Double::Action misbehave = [&]() -> Engine_Double::Action {
        switch (c.engine) {
            case Engine_Behaviour::Compacts: return compact;
            case Engine_Behaviour::Fails: return Engine_Double::Failing(Jet_Locked);
            case Engine_Behaviour::Fails_Half_Way: return Engine_Double::Failing_Half_Way("Disk or network error.");
            case Engine_Behaviour::Leaves_Nothing: return [](const std::string&, const std::string&) {};
        }
        return compact;
    }();

    Test_Host host;
    host.make_files = [&]() -> std::unique_ptr<platform::File_System_Service> {
        if (c.no_file_system) throw platform::Service_Error("ActiveX component can't create object");
        return std::make_unique<testing::Fault_Injecting_File_System>(platform::Create_File_System_Service(), plan);
    };
    host.make_engine = [&]() -> std::unique_ptr<platform::Database_Engine> {
        if (c.no_engine) throw platform::Service_Error("ActiveX component can't create object");
        auto engine = std::make_unique<Engine_Double>(
            [&](const std::string& source, const std::string& destination) {
                (++*calls == engine_call ? misbehave : compact)(source, destination);
            },
            std::make_shared<testing::Engine_Log>(), locks);
        if (c.unsound_compacted) engine->Set_Verifier(Engine_Double::Rejecting("leftover-"));
        return engine;
    };

    const bool went_on = maintenance::Compact_Databases(host, Site_Databases());

    if (c.role != Role::None) {
        EXPECT_EQ(plan->Failures(), c.compacted_stuck ? 2 : 1) << "the chosen fault was never reached";
    }
    if (c.report != nullptr) {
        EXPECT_FALSE(went_on);
        EXPECT_EQ(host.reports, std::vector<std::string>{Expected_Report(c.report, failing)});
    } else {
        EXPECT_TRUE(went_on);
        EXPECT_TRUE(host.reports.empty()) << host.reports.front();
    }
    Expect_Database(drive, c.db, c.live, c.compacted, c.backup, c.name);
    Expect_Nothing_Lost(drive, *plan, Db::Data, c.db == Db::Data ? c.start : Start::All_Three);
    Expect_Nothing_Lost(drive, *plan, Db::History, c.db == Db::History ? c.start : Start::All_Three);

    // The other database: rotated when the run went on, untouched after a report for the data.
    if (c.db == Db::Data && c.report != nullptr) {
        Expect_Database(drive, Db::History, Holds::Live, Holds::Leftover, Holds::Previous_Backup, c.name);
    } else if (c.db == Db::Data) {
        Expect_Database(drive, Db::History, Holds::Compacted, Holds::Absent, Holds::Live, c.name);
    } else {
        Expect_Database(drive, Db::Data, Holds::Compacted, Holds::Absent, Holds::Live, c.name);
    }
    // A report before anything was done leaves every byte as it was.
    if (c.db == Db::Data && (c.in_use || c.no_engine || c.no_file_system || c.unsound_compacted)) {
        EXPECT_EQ(Take_Snapshot(drive), before);
    }
    EXPECT_EQ(drive.Read(Readme), "other backup-folder content");
}

std::vector<Rotation_Case> Grid() {
    using Op = File_Operation;
    std::vector<Rotation_Case> cases;
    for (Db db : {Db::Data, Db::History}) {
        const auto add = [&](Rotation_Case c) {
            c.db = db;
            cases.push_back(c);
        };
        // clang-format off
        add({.name = "Succeeds"});
        add({.name = "LiveExistenceTestFails", .operation = Op::FileExists, .role = Role::Live});
        add({.name = "InUseElsewhere", .in_use = true, .report = "Could not use '{L}'; file already in use.",
             .live = Holds::Live, .compacted = Holds::Leftover, .backup = Holds::Previous_Backup});
        add({.name = "LeftoverTemporariesCannotBeRemoved", .operation = Op::Remove_Leftover_Temporaries,
             .role = Role::Compacted});
        // A compacted copy left without its live file is checked, put back, then rotated.
        add({.name = "CompactedWithoutLiveIsPutBack", .start = Start::Compacted_Without_Live,
             .live = Holds::Leftover_Compacted, .compacted = Holds::Absent, .backup = Holds::Leftover});
        add({.name = "CompactedWithoutLiveFailsTheCheck", .start = Start::Compacted_Without_Live,
             .unsound_compacted = true, .report = "The database '{N}' is damaged: a page's checksum is wrong.",
             .live = Holds::Absent, .compacted = Holds::Leftover, .backup = Holds::Previous_Backup});
        add({.name = "CompactedWithoutLiveCannotBePutBack", .operation = Op::Copy_One_File, .role = Role::Compacted,
             .start = Start::Compacted_Without_Live, .report = "Permission denied\r\n\r\n{N}",
             .live = Holds::Absent, .compacted = Holds::Leftover, .backup = Holds::Previous_Backup});
        add({.name = "CompactedWithoutLiveExistenceTestFails", .operation = Op::FileExists, .role = Role::Compacted,
             .start = Start::Compacted_Without_Live,
             .live = Holds::Leftover_Compacted, .compacted = Holds::Absent, .backup = Holds::Leftover});
        add({.name = "OnlyTheBackupIsLeft", .start = Start::Backup_Only,
             .live = Holds::Absent, .compacted = Holds::Absent, .backup = Holds::Previous_Backup});
        // Step 1: the leftover compacted copy.
        add({.name = "LeftoverExistenceTestFails", .operation = Op::FileExists, .role = Role::Compacted});
        add({.name = "LeftoverDeleteFails", .operation = Op::Delete_One_File, .role = Role::Compacted,
             .report = "Database already exists.",
             .live = Holds::Live, .compacted = Holds::Absent, .backup = Holds::Previous_Backup});
        // Step 2: the compaction.
        add({.name = "EngineFails", .engine = Engine_Behaviour::Fails, .report = Jet_Locked.c_str(),
             .live = Holds::Live, .compacted = Holds::Absent, .backup = Holds::Previous_Backup});
        add({.name = "EngineFailsHalfWay", .engine = Engine_Behaviour::Fails_Half_Way,
             .report = "Disk or network error.",
             .live = Holds::Live, .compacted = Holds::Absent, .backup = Holds::Previous_Backup});
        add({.name = "EngineLeavesNoFile", .engine = Engine_Behaviour::Leaves_Nothing,
             .report = "File not found\r\n\r\n{N}",
             .live = Holds::Live, .compacted = Holds::Absent, .backup = Holds::Previous_Backup});
        add({.name = "CheckOfTheCompactedCopyFails", .operation = Op::FileExists, .role = Role::Compacted, .nth = 2});
        // Step 3: the backup. Without one the live file is not replaced.
        add({.name = "BackupCopyFails", .operation = Op::Copy_One_File, .role = Role::Live,
             .report = "Permission denied\r\n\r\n{L}",
             .live = Holds::Live, .compacted = Holds::Absent, .backup = Holds::Previous_Backup});
        add({.name = "BackupCopyFindsTheDiskFull", .operation = Op::Copy_One_File, .role = Role::Live,
             .fault = platform::Text_Disk_Full, .report = "Disk full\r\n\r\n{L}",
             .live = Holds::Live, .compacted = Holds::Absent, .backup = Holds::Previous_Backup});
        add({.name = "BackupCopyFailsAndSoDoesRemovingTheCompactedCopy", .operation = Op::Copy_One_File,
             .role = Role::Live, .compacted_stuck = true, .report = "Permission denied\r\n\r\n{L}",
             .live = Holds::Live, .compacted = Holds::Compacted, .backup = Holds::Previous_Backup});
        // Step 4: the replacement of the live file.
        add({.name = "ReplacementFails", .operation = Op::Copy_One_File, .role = Role::Compacted,
             .report = "Permission denied\r\n\r\n{N}",
             .live = Holds::Live, .compacted = Holds::Compacted, .backup = Holds::Live});
        // Step 5: the compacted copy, once in place.
        add({.name = "CompactedCopyDeleteFails", .operation = Op::Delete_One_File, .role = Role::Compacted, .nth = 2,
             .live = Holds::Compacted, .compacted = Holds::Compacted, .backup = Holds::Live});
        // clang-format on
    }
    // Without a file-system object every test counts as a hit and every file step fails;
    // the engine then finds the leftover copy in its way and nothing is deleted.
    cases.push_back({.name = "NoFileSystem", .db = Db::Data, .no_file_system = true,
                     .report = "Database already exists.", .live = Holds::Live, .compacted = Holds::Leftover,
                     .backup = Holds::Previous_Backup});
    cases.push_back({.name = "NoEngine", .db = Db::Data, .no_engine = true,
                     .report = "ActiveX component can't create object", .live = Holds::Live,
                     .compacted = Holds::Leftover, .backup = Holds::Previous_Backup});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Steps, Rotation_Grid, ::testing::ValuesIn(Grid()), [](const auto& info) {
    return std::string(info.param.db == Db::Data ? "Data" : "History") + info.param.name;
});

// ---- the rest ----

struct Plain_Run {
    Temp_Drive drive;
    std::shared_ptr<testing::Fault_Plan> plan = std::make_shared<testing::Fault_Plan>();
    std::shared_ptr<testing::Engine_Log> log = std::make_shared<testing::Engine_Log>();
    std::shared_ptr<testing::Engine_Locks> locks = std::make_shared<testing::Engine_Locks>();
    Test_Host host;

    explicit Plain_Run(Engine_Double::Action engine = Engine_Double::Copying(Compacted_Mark)) {
        plan->journal = log->journal;
        host.make_files = [this] {
            return std::make_unique<testing::Fault_Injecting_File_System>(platform::Create_File_System_Service(), plan);
        };
        host.make_engine = [this, engine] { return std::make_unique<Engine_Double>(engine, log, locks); };
    }
    bool Run() { return maintenance::Compact_Databases(host, Site_Databases()); }
};

TEST(Compact_Databases, AssemblesTheConnectionStringsExactly) {
    Plain_Run run;
    Lay_Out_Database(run.drive, Db::Data);
    Lay_Out_Database(run.drive, Db::History);
    ASSERT_TRUE(run.Run());

    ASSERT_EQ(run.log->calls.size(), 2u);
    EXPECT_EQ(run.log->calls[0].source,
              "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb;User ID=Admin;"
              "Jet OLEDB:Database Password=wexo4m;");
    EXPECT_EQ(run.log->calls[0].destination,
              "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;User ID=Admin;"
              "Data Source=C:\\Tarvel\\KT500\\data\\duvura-d-7-7new.mdb;Jet OLEDB:Database Password=wexo4m;");
    EXPECT_EQ(run.log->calls[1].source,
              "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\Tarvel\\KT500\\history\\duvura-h-7-7.mdb;"
              "Jet OLEDB:Database Password=;");
    EXPECT_EQ(run.log->calls[1].destination,
              "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;"
              "Data Source=C:\\Tarvel\\KT500\\history\\duvura-h-7-7new.mdb;Jet OLEDB:Database Password=;");
}

// The steps of one database, file and engine steps in one sequence.
std::vector<std::string> Rotation_Steps(const Database_Paths& p) {
    return {"Hold_Exclusive " + p.live,
            "Remove_Leftover_Temporaries " + p.live,
            "Remove_Leftover_Temporaries " + p.compacted,
            "Remove_Leftover_Temporaries " + p.backup,
            "FileExists " + p.compacted,
            "Delete_One_File " + p.compacted,
            "CompactDatabase " + p.live,
            "FileExists " + p.compacted,
            "Copy_One_File " + p.live,  // to the backup
            "Release_File " + p.live,
            "Copy_One_File " + p.compacted,  // over the live file
            "Delete_One_File " + p.compacted,
            "Release " + p.live};
}

std::vector<std::string> Put_Back_Steps(const Database_Paths& p) {
    return {"FileExists " + p.compacted,
            "Hold_Exclusive " + p.compacted,
            "Remove_Leftover_Temporaries " + p.live,
            "Remove_Leftover_Temporaries " + p.compacted,
            "Remove_Leftover_Temporaries " + p.backup,
            "Verify_Database " + p.compacted,
            "Copy_One_File " + p.compacted,  // back over the missing live file
            "Release " + p.compacted};
}

struct Order_Case {
    const char* name;
    bool data_live_missing;
};

void PrintTo(const Order_Case& c, std::ostream* out) { *out << c.name; }

class Step_Order : public ::testing::TestWithParam<Order_Case> {};

TEST_P(Step_Order, HoldsEachDatabaseFromBeforeItsCompactionUntilItsLiveFileIsReplaced) {
    Plain_Run run;
    Lay_Out_Database(run.drive, Db::Data);
    Lay_Out_Database(run.drive, Db::History);
    if (GetParam().data_live_missing) fs::remove(run.drive.Host(Data_L));
    ASSERT_TRUE(run.Run());

    std::vector<std::string> expected = {"FileExists " + Data_L};
    if (GetParam().data_live_missing) {
        for (const std::string& step : Put_Back_Steps(Paths(Db::Data))) expected.push_back(step);
    }
    for (const std::string& step : Rotation_Steps(Paths(Db::Data))) expected.push_back(step);
    expected.push_back("FileExists " + History_L);
    for (const std::string& step : Rotation_Steps(Paths(Db::History))) expected.push_back(step);
    EXPECT_EQ(*run.log->journal, expected);
    EXPECT_TRUE(run.locks->held.empty()) << "a hold outlived the rotation";
}

INSTANTIATE_TEST_SUITE_P(Cases, Step_Order,
                         ::testing::Values(Order_Case{"AllFilesThere", false},
                                           Order_Case{"CompactedCopyWithoutLiveFile", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Compact_Databases, DatabaseLockedWhileCompactingIsReportedWithEveryFileAsItWas) {
    Plain_Run run(Engine_Double::Failing(Jet_Locked));
    run.drive.Write(Data_L, "live-d");
    run.drive.Write(Data_B, "backup-d");
    run.drive.Write(History_L, "live-h");
    EXPECT_FALSE(run.Run());
    EXPECT_EQ(run.host.reports, std::vector<std::string>{Jet_Locked});
    EXPECT_EQ(run.drive.Read(Data_L), "live-d");
    EXPECT_EQ(run.drive.Read(Data_B), "backup-d");
    EXPECT_FALSE(run.drive.Exists(Data_N));
    EXPECT_EQ(run.drive.Read(History_L), "live-h");
    EXPECT_EQ(run.log->calls.size(), 1u) << "the history database was compacted after a report";
    EXPECT_TRUE(run.locks->held.empty());
}

TEST(Compact_Databases, SecondRunKeepsTheFirstRunsCompactedFilesAsBackups) {
    Plain_Run run;
    run.drive.Write(Data_L, "live-d");
    run.drive.Write(History_L, "live-h");
    run.drive.Make_Folder(Backup_Folder);
    ASSERT_TRUE(run.Run());
    ASSERT_TRUE(run.Run());
    EXPECT_EQ(run.drive.Read(Data_B), "live-d" + Compacted_Mark);
    EXPECT_EQ(run.drive.Read(Data_L), "live-d" + Compacted_Mark + Compacted_Mark);
    EXPECT_EQ(run.drive.Read(History_B), "live-h" + Compacted_Mark);
    EXPECT_FALSE(run.drive.Exists(Data_N));
    EXPECT_FALSE(run.drive.Exists(History_N));
}

// Without the backup folder no backup can be made, so nothing is replaced: the run is
// reported, naming the backup it could not write.
TEST(Compact_Databases, MissingBackupFolderStopsBeforeTheLiveFileIsReplaced) {
    Plain_Run run;
    run.drive.Write(Data_L, "live-d");
    run.drive.Write(History_L, "live-h");
    EXPECT_FALSE(run.Run());
    EXPECT_EQ(run.host.reports, std::vector<std::string>{"Path not found\r\n\r\n" + Data_B});
    EXPECT_EQ(run.drive.Read(Data_L), "live-d");
    EXPECT_EQ(run.drive.Read(History_L), "live-h");
    EXPECT_FALSE(run.drive.Exists(Data_N));
    EXPECT_FALSE(run.drive.Exists(Backup_Folder));
    EXPECT_TRUE(Temporaries_On(run.drive).empty());
}

TEST(Compact_Databases, RemovesTheTemporariesOfAnInterruptedRunAndNothingElse) {
    Plain_Run run;
    Lay_Out_Database(run.drive, Db::Data);
    Lay_Out_Database(run.drive, Db::History);
    for (Db db : {Db::Data, Db::History}) {
        const Database_Paths p = Paths(db);
        for (const std::string& file : {p.live, p.compacted, p.backup}) {
            run.drive.Write(Temporary_Beside(file, "Qx81Zt"), "half a copy");
        }
        run.drive.Write(p.live.substr(0, p.live.rfind('\\') + 1) + platform::Legacy_Copy_Prefix + "k2P9aa",
                        "half a copy by an older build");
    }
    run.drive.Write("C:\\Tarvel\\KT500\\data\\.duvura-d-7-7.mdb.notes", "not ours");
    run.drive.Write(Readme, "other backup-folder content");
    ASSERT_TRUE(run.Run());
    EXPECT_EQ(Temporaries_On(run.drive), std::vector<std::string>{});
    EXPECT_EQ(run.drive.Read("C:\\Tarvel\\KT500\\data\\.duvura-d-7-7.mdb.notes"), "not ours");
    EXPECT_EQ(run.drive.Read(Readme), "other backup-folder content");
}

// A second run of the program started at each file step of a first one: while the first
// holds a database, the second reports it in use and leaves that database's files as they
// are; the first then finishes as if alone.
TEST(Compact_Databases, SecondRunAtEveryStepOfAFirstNeverTouchesTheHeldDatabase) {
    int steps = 0;
    {
        Plain_Run count;
        Lay_Out_Database(count.drive, Db::Data);
        Lay_Out_Database(count.drive, Db::History);
        ASSERT_TRUE(count.Run());
        steps = static_cast<int>(count.plan->Calls().size());
    }
    for (int at = 1; at <= steps; ++at) {
        SCOPED_TRACE("second run at file step " + std::to_string(at));
        Plain_Run first;
        Lay_Out_Database(first.drive, Db::Data);
        Lay_Out_Database(first.drive, Db::History);
        int seen = 0;
        bool second_ran = false;
        first.plan->on_call = [&](File_Operation, const std::string&) {
            if (++seen != at) return;
            // The second run shares the installation (drive C:) and the engine's locks.
            Test_Host second;
            auto plan = std::make_shared<testing::Fault_Plan>();
            second.make_files = [plan] {
                return std::make_unique<testing::Fault_Injecting_File_System>(platform::Create_File_System_Service(),
                                                                              plan);
            };
            second.make_engine = [&] {
                return std::make_unique<Engine_Double>(Engine_Double::Copying(Compacted_Mark),
                                                       std::make_shared<testing::Engine_Log>(), first.locks);
            };
            std::optional<Db> held;
            for (Db db : {Db::Data, Db::History}) {
                if (first.locks->held.count(testing::Folded(Paths(db).live)) != 0) held = db;
            }
            const Snapshot before = Take_Snapshot(first.drive);
            const bool went_on = maintenance::Compact_Databases(second, Site_Databases());
            const Snapshot after = Take_Snapshot(first.drive);
            if (held) {
                EXPECT_FALSE(went_on);
                EXPECT_EQ(second.reports,
                          std::vector<std::string>{"Could not use '" + Paths(*held).live + "'; file already in use."});
                for (const std::string& file : {Paths(*held).live, Paths(*held).compacted, Paths(*held).backup}) {
                    const std::string name = fs::relative(first.drive.Host(file), first.drive.Root()).generic_string();
                    EXPECT_EQ(before.count(name) ? before.at(name) : "<absent>",
                              after.count(name) ? after.at(name) : "<absent>")
                        << "the second run changed " << file;
                }
            } else {
                EXPECT_TRUE(went_on);
            }
            second_ran = true;
        };
        EXPECT_TRUE(first.Run());
        EXPECT_TRUE(second_ran);
        EXPECT_TRUE(first.host.reports.empty()) << first.host.reports.front();
        for (Db db : {Db::Data, Db::History}) {
            const Database_Paths p = Paths(db);
            EXPECT_EQ(first.drive.Read(p.live).rfind(Content(Holds::Compacted, p.tag), 0), 0u) << first.drive.Read(p.live);
            EXPECT_EQ(first.drive.Read(p.backup).rfind(Content(Holds::Live, p.tag), 0), 0u) << first.drive.Read(p.backup);
            EXPECT_FALSE(first.drive.Exists(p.compacted));
        }
    }
}

// The run killed as each file step begins, the temporary of an unfinished copy left beside
// its destination, then the program run again: every database is there whole, compacted,
// with a whole backup, and nothing temporary is left.
TEST(Compact_Databases, RunKilledAtEveryStepThenRunAgainLosesNothing) {
    std::vector<Snapshot> kill_points;
    {
        Plain_Run first;
        Lay_Out_Database(first.drive, Db::Data);
        Lay_Out_Database(first.drive, Db::History);
        first.plan->on_call = [&](File_Operation, const std::string&) { kill_points.push_back(Take_Snapshot(first.drive)); };
        ASSERT_TRUE(first.Run());
        kill_points.push_back(Take_Snapshot(first.drive));
    }
    // An unfinished copy or compaction leaves its temporary beside any of the files.
    const std::vector<std::string> unfinished = {Data_L, Data_N, Data_B, History_L, History_N, History_B};
    for (std::size_t k = 0; k < kill_points.size(); ++k) {
        SCOPED_TRACE("killed at step " + std::to_string(k + 1) + " of " + std::to_string(kill_points.size()));
        Plain_Run again;
        Restore_Snapshot(again.drive, kill_points[k]);
        const std::string& beside = unfinished[k % unfinished.size()];
        again.drive.Write(Temporary_Beside(beside, "Kill" + std::to_string(k)), "half");
        EXPECT_TRUE(again.Run());
        EXPECT_TRUE(again.host.reports.empty()) << again.host.reports.front();
        for (Db db : {Db::Data, Db::History}) {
            const Database_Paths p = Paths(db);
            EXPECT_EQ(again.drive.Read(p.live).rfind(Content(Holds::Compacted, p.tag), 0), 0u)
                << "live file " << again.drive.Read(p.live);
            EXPECT_EQ(again.drive.Read(p.backup).rfind(Content(Holds::Live, p.tag), 0), 0u)
                << "backup " << again.drive.Read(p.backup);
            EXPECT_FALSE(again.drive.Exists(p.compacted));
        }
        EXPECT_EQ(Temporaries_On(again.drive), std::vector<std::string>{});
    }
}

TEST(Site_Layout, ConstantsAreSpelledExactly) {
    namespace C = Constants;
    EXPECT_EQ(C::Install_Root, "C:\\Tarvel\\KT500\\");
    EXPECT_EQ(C::Data_Folder, "C:\\Tarvel\\KT500\\data\\");
    EXPECT_EQ(C::Debug_Folder_Name, "Debug Files");
    EXPECT_EQ(C::Output_Debug_Folder_Name, "Debug files");
    EXPECT_EQ(C::Data_Database, Data_L);
    EXPECT_EQ(C::Data_Database_New, Data_N);
    EXPECT_EQ(C::History_Database, History_L);
    EXPECT_EQ(C::History_Database_New, History_N);
    EXPECT_EQ(std::string(C::Backup_Folder) + std::string(C::Data_Backup_Name), Data_B);
    EXPECT_EQ(std::string(C::Backup_Folder) + std::string(C::History_Backup_Name), History_B);
    EXPECT_EQ(C::File_Manager, "c:\\windows\\explorer.exe");
    EXPECT_EQ(C::Compact_Error_Prefix, "Error - ");
    EXPECT_EQ(C::Compact_Error_Title, "Compact Database");
}

TEST(Site_Layout, TheRotationTakesTheDataDatabaseThenTheHistoryDatabase) {
    const std::vector<maintenance::Database_Files> databases = Site_Databases();
    ASSERT_EQ(databases.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const Database_Paths p = Paths(i == 0 ? Db::Data : Db::History);
        EXPECT_EQ(databases[i].live, p.live);
        EXPECT_EQ(databases[i].compacted, p.compacted);
        EXPECT_EQ(databases[i].backup, p.backup);
    }
}

}  // namespace
}  // namespace kelbrook
