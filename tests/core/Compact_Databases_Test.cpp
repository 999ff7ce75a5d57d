// Compaction and rotation on a real folder standing for drive C:, with failures injected
// into every step of each database in turn.

#include "maintenance/Compact_Databases.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Site_Layout.h"
#include "support/Engine_Double.h"
#include "support/Fault_Injecting_File_System.h"
#include "support/Temp_Drive.h"

namespace kelbrook {
namespace {

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
enum class Holds { Absent, Live, Compacted, Previous_Backup, Leftover };

std::string Content(Holds holds, const std::string& tag) {
    switch (holds) {
        case Holds::Absent: return "<absent>";
        case Holds::Live: return "live-" + tag;
        case Holds::Compacted: return "live-" + tag + Compacted_Mark;
        case Holds::Previous_Backup: return "backup-" + tag;
        case Holds::Leftover: return "leftover-" + tag;
    }
    return {};
}

// Which file of the failing database a fault is about.
enum class Role { None, Live, Compacted, Backup };

enum class Engine_Behaviour { Compacts, Fails, Fails_Half_Way, Leaves_Nothing };

struct Rotation_Case {
    const char* name = "";
    Db db = Db::Data;
    // The fault: a file operation about one of the database's files, or the engine's.
    File_Operation operation = File_Operation::FileExists;
    Role role = Role::None;
    int nth = 1;
    Engine_Behaviour engine = Engine_Behaviour::Compacts;
    bool live_missing = false;
    bool no_file_system = false;
    // What must follow.
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

void Lay_Out_Database(Temp_Drive& drive, Db db) {
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

class Rotation_Grid : public ::testing::TestWithParam<Rotation_Case> {};

TEST_P(Rotation_Grid, EveryDatabaseSurvivesAndTheOutcomeFollowsTheRules) {
    const Rotation_Case& c = GetParam();
    Temp_Drive drive;
    drive.Write("C:\\Tarvel\\KT500\\Old Software\\readme.txt", "other backup-folder content");
    Lay_Out_Database(drive, Db::Data);
    Lay_Out_Database(drive, Db::History);
    const Database_Paths failing = Paths(c.db);
    if (c.live_missing) std::filesystem::remove(drive.Host(failing.live));

    auto plan = std::make_shared<testing::Fault_Plan>();
    if (c.role != Role::None) plan->Add(Fault{c.operation, c.nth, "Permission denied", Role_Path(failing, c.role)});

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
        return std::make_unique<Engine_Double>([&](const std::string& source, const std::string& destination) {
            (++*calls == engine_call ? misbehave : compact)(source, destination);
        });
    };

    const bool went_on = maintenance::Compact_Databases(host);

    if (c.role != Role::None) {
        EXPECT_EQ(plan->Failures(), 1) << "the chosen fault was never reached";
    }
    if (c.report != nullptr) {
        EXPECT_FALSE(went_on);
        EXPECT_EQ(host.reports, std::vector<std::string>{c.report});
    } else {
        EXPECT_TRUE(went_on);
        EXPECT_TRUE(host.reports.empty()) << host.reports.front();
    }
    Expect_Database(drive, c.db, c.live, c.compacted, c.backup, c.name);

    // The database's content from before the run survives somewhere.
    const std::vector<std::string> now = {drive.Read(failing.live), drive.Read(failing.compacted),
                                          drive.Read(failing.backup)};
    const auto holds = [&](Holds h) { return std::find(now.begin(), now.end(), Content(h, failing.tag)) != now.end(); };
    if (c.live_missing) {
        EXPECT_TRUE(holds(Holds::Leftover) && holds(Holds::Previous_Backup)) << "files of a missing database were touched";
    } else {
        EXPECT_TRUE(holds(Holds::Live) || holds(Holds::Compacted)) << "the database was lost";
    }

    // The other database: rotated when the run went on, untouched after a report for the data.
    if (c.db == Db::Data && c.report != nullptr) {
        Expect_Database(drive, Db::History, Holds::Live, Holds::Leftover, Holds::Previous_Backup, c.name);
    } else if (c.db == Db::Data) {
        Expect_Database(drive, Db::History, Holds::Compacted, Holds::Absent, Holds::Live, c.name);
    } else {
        Expect_Database(drive, Db::Data, Holds::Compacted, Holds::Absent, Holds::Live, c.name);
    }
    EXPECT_EQ(drive.Read("C:\\Tarvel\\KT500\\Old Software\\readme.txt"), "other backup-folder content");
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
        add({.name = "LiveMissing", .live_missing = true,
             .live = Holds::Absent, .compacted = Holds::Leftover, .backup = Holds::Previous_Backup});
        add({.name = "Step1ExistenceTestFails", .operation = Op::FileExists, .role = Role::Compacted});
        add({.name = "Step1DeleteFails", .operation = Op::Delete_One_File, .role = Role::Compacted,
             .report = "Database already exists.",
             .live = Holds::Live, .compacted = Holds::Absent, .backup = Holds::Previous_Backup});
        add({.name = "Step2EngineFails", .engine = Engine_Behaviour::Fails, .report = Jet_Locked.c_str(),
             .live = Holds::Live, .compacted = Holds::Absent, .backup = Holds::Previous_Backup});
        add({.name = "Step2EngineFailsHalfWay", .engine = Engine_Behaviour::Fails_Half_Way,
             .report = "Disk or network error.",
             .live = Holds::Live, .compacted = Holds::Absent, .backup = Holds::Previous_Backup});
        add({.name = "Step2EngineLeavesNoFile", .engine = Engine_Behaviour::Leaves_Nothing, .report = "File not found",
             .live = Holds::Live, .compacted = Holds::Absent, .backup = Holds::Previous_Backup});
        add({.name = "Step2CheckOfCopyFails", .operation = Op::FileExists, .role = Role::Compacted, .nth = 2});
        add({.name = "Step3ExistenceTestFails", .operation = Op::FileExists, .role = Role::Backup});
        add({.name = "Step3DeleteFails", .operation = Op::Delete_One_File, .role = Role::Backup});
        add({.name = "Step4CopyFails", .operation = Op::Copy_One_File, .role = Role::Live,
             .live = Holds::Compacted, .compacted = Holds::Absent, .backup = Holds::Absent});
        add({.name = "Step5DeleteFails", .operation = Op::Delete_One_File, .role = Role::Live});
        add({.name = "Step6CopyFails", .operation = Op::Copy_One_File, .role = Role::Compacted,
             .report = "Permission denied",
             .live = Holds::Absent, .compacted = Holds::Compacted, .backup = Holds::Live});
        add({.name = "Step7DeleteFails", .operation = Op::Delete_One_File, .role = Role::Compacted, .nth = 2,
             .live = Holds::Compacted, .compacted = Holds::Compacted, .backup = Holds::Live});
        // clang-format on
    }
    // Without a file-system object every test counts as a hit and every file step fails;
    // the engine then finds the leftover copy in its way and nothing is deleted.
    cases.push_back({.name = "NoFileSystem", .db = Db::Data, .no_file_system = true,
                     .report = "Database already exists.", .live = Holds::Live, .compacted = Holds::Leftover,
                     .backup = Holds::Previous_Backup});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Steps, Rotation_Grid, ::testing::ValuesIn(Grid()), [](const auto& info) {
    return std::string(info.param.db == Db::Data ? "Data" : "History") + info.param.name;
});

// ---- the rest, one case each ----

struct Plain_Run {
    Temp_Drive drive;
    std::shared_ptr<testing::Fault_Plan> plan = std::make_shared<testing::Fault_Plan>();
    std::shared_ptr<testing::Engine_Log> log = std::make_shared<testing::Engine_Log>();
    Test_Host host;

    explicit Plain_Run(Engine_Double::Action engine = Engine_Double::Copying(Compacted_Mark)) {
        host.make_files = [this] {
            return std::make_unique<testing::Fault_Injecting_File_System>(platform::Create_File_System_Service(), plan);
        };
        host.make_engine = [this, engine] { return std::make_unique<Engine_Double>(engine, log); };
    }
};

TEST(Compact_Databases, AssemblesTheConnectionStringsAndRunsTheStepsInOrder) {
    Plain_Run run;
    Lay_Out_Database(run.drive, Db::Data);
    Lay_Out_Database(run.drive, Db::History);
    ASSERT_TRUE(maintenance::Compact_Databases(run.host));

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

    // All steps of the data database before the first of the history database.
    std::vector<std::string> steps;
    for (const testing::File_Call& call : run.plan->Calls()) {
        steps.push_back(std::string(testing::Operation_Name(call.operation)) + " " + call.first);
    }
    std::vector<std::string> expected;
    for (Db db : {Db::Data, Db::History}) {
        const Database_Paths p = Paths(db);
        for (const std::string& step :
             {"FileExists " + p.live, "FileExists " + p.compacted, "Delete_One_File " + p.compacted,
              "FileExists " + p.compacted, "FileExists " + p.backup, "Delete_One_File " + p.backup,
              "Copy_One_File " + p.live, "Delete_One_File " + p.live, "Copy_One_File " + p.compacted,
              "Delete_One_File " + p.compacted}) {
            expected.push_back(step);
        }
    }
    EXPECT_EQ(steps, expected);
}

TEST(Compact_Databases, DatabaseHeldOpenElsewhereIsReportedWithEveryFileAsItWas) {
    Plain_Run run(Engine_Double::Failing(Jet_Locked));
    run.drive.Write(Data_L, "live-d");
    run.drive.Write(Data_B, "backup-d");
    run.drive.Write(History_L, "live-h");
    EXPECT_FALSE(maintenance::Compact_Databases(run.host));
    EXPECT_EQ(run.host.reports, std::vector<std::string>{Jet_Locked});
    EXPECT_EQ(run.drive.Read(Data_L), "live-d");
    EXPECT_EQ(run.drive.Read(Data_B), "backup-d");
    EXPECT_FALSE(run.drive.Exists(Data_N));
    EXPECT_EQ(run.drive.Read(History_L), "live-h");
    EXPECT_EQ(run.log->calls.size(), 1u) << "the history database was compacted after a report";
}

TEST(Compact_Databases, SecondRunKeepsTheFirstRunsCompactedFilesAsBackups) {
    Plain_Run run;
    run.drive.Write(Data_L, "live-d");
    run.drive.Write(History_L, "live-h");
    run.drive.Make_Folder("C:\\Tarvel\\KT500\\Old Software");
    ASSERT_TRUE(maintenance::Compact_Databases(run.host));
    ASSERT_TRUE(maintenance::Compact_Databases(run.host));
    EXPECT_EQ(run.drive.Read(Data_B), "live-d" + Compacted_Mark);
    EXPECT_EQ(run.drive.Read(Data_L), "live-d" + Compacted_Mark + Compacted_Mark);
    EXPECT_EQ(run.drive.Read(History_B), "live-h" + Compacted_Mark);
    EXPECT_FALSE(run.drive.Exists(Data_N));
    EXPECT_FALSE(run.drive.Exists(History_N));
}

TEST(Compact_Databases, MissingBackupFolderLeavesNoBackupButCompactsAll) {
    Plain_Run run;
    run.drive.Write(Data_L, "live-d");
    run.drive.Write(History_L, "live-h");
    EXPECT_TRUE(maintenance::Compact_Databases(run.host));
    EXPECT_TRUE(run.host.reports.empty());
    EXPECT_EQ(run.drive.Read(Data_L), "live-d" + Compacted_Mark);
    EXPECT_EQ(run.drive.Read(History_L), "live-h" + Compacted_Mark);
    EXPECT_FALSE(run.drive.Exists("C:\\Tarvel\\KT500\\Old Software"));
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

}  // namespace
}  // namespace kelbrook
