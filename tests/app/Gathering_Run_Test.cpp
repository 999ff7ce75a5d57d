// The window's logic end to end on a real file system: drive C: is a temporary folder,
// the window is a double that records what it is told, the engine a double that writes
// a marked copy, and chosen file operations fail on request. Built once per variant; expectations follow the variant's settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "Constants.h"
#include "frm_Main.h"
#include "platform/Drive_Mapping.h"
#include "support/Engine_Double.h"
#include "support/Fault_Injecting_File_System.h"
#include "support/Temp_Drive.h"

namespace kelbrook {
namespace {

namespace fs = std::filesystem;
using platform::Service_Error;

std::string S(std::string_view text) { return std::string(text); }

std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void Write(const fs::path& file, const std::string& content) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

// Every folder and file under a folder, with the files' content.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).generic_string();
        entries[name] = entry.is_directory() ? "<folder>" : Read(entry.path());
    }
    return entries;
}

// The window as the logic sees it.
struct View_Double final : Main_View {
    struct Message {
        std::string Text, Title;
        Message_Icon Icon;
    };
    std::string Title;
    std::map<Control, bool> Visible{{Control::lbl_Getting_files, true},
                                    {Control::cmd_Exit, false},
                                    {Control::cmd_Continue, true},
                                    {Control::cmd_Cancel, true}};
    std::string Label = S(Constants::Startup_Notice);
    std::vector<std::string> Label_At_Repaint;
    std::vector<Message> Messages;
    std::optional<int> Closed;
    int Calls_After_Close = 0;

    void Note() {
        if (Closed) ++Calls_After_Close;
    }
    void Set_Title(const std::string& title) override { Note(), Title = title; }
    void Set_Visible(Control control, bool visible) override { Note(), Visible[control] = visible; }
    void Set_Label_Text(const std::string& text) override { Note(), Label = text; }
    void Repaint() override { Note(), Label_At_Repaint.push_back(Label); }
    void Show_Message(const std::string& text, const std::string& title, Message_Icon icon) override {
        Note(), Messages.push_back({text, title, icon});
    }
    void Close(int exit_status) override { Note(), Closed = exit_status; }

    std::vector<Control> Shown() const {
        std::vector<Control> shown;
        for (const auto& [control, visible] : Visible)
            if (visible) shown.push_back(control);
        return shown;
    }
};

struct Starter_Double final : platform::Process_Starter {
    std::vector<std::pair<std::string, int>>* Started;
    bool Fail;
    Starter_Double(std::vector<std::pair<std::string, int>>* started, bool fail) : Started(started), Fail(fail) {}
    void Start(const std::string& command_line, int window_style) override {
        if (Fail) throw Service_Error(S(platform::Text_File_Not_Found));
        Started->emplace_back(command_line, window_style);
    }
};

const std::string Output_Name = "2014-02-13" + S(Constants::Output_Folder_Suffix);

std::tm Test_Day() {
    std::tm day{};
    day.tm_year = 2014 - 1900;
    day.tm_mon = 1;
    day.tm_mday = 13;
    day.tm_hour = 23;
    day.tm_min = 59;
    return day;
}

class Gathering : public ::testing::Test {
protected:
    testing::Temp_Drive Temp;
    fs::path Drive = Temp.Root();
    View_Double View;
    std::shared_ptr<testing::Engine_Log> Engine_Calls = std::make_shared<testing::Engine_Log>();
    testing::Engine_Double::Action Engine_Action = testing::Engine_Double::Copying(" compacted");
    std::shared_ptr<testing::Fault_Plan> Faults = std::make_shared<testing::Fault_Plan>();
    // Shared by every window a test makes: two windows stand for two runs of the program.
    std::shared_ptr<testing::Engine_Locks> Locks = std::make_shared<testing::Engine_Locks>();
    std::vector<std::pair<std::string, int>> Started;
    int File_Systems_Made = 0;
    bool File_System_Unavailable = false;
    bool Starter_Fails = false;
    bool Starter_Unavailable = false;
    bool Real_Engine = false;
    std::unique_ptr<frm_Main> Form;

    void SetUp() override {
        Write(Host(Constants::Data_Database), "data database");
        Write(Host(Constants::History_Database), "history database");
        Write(Host(Constants::Data_Folder) / "Debug Files" / "run.log", "log one");
        Write(Host(Constants::Data_Folder) / "Debug Files" / "older" / "crash.txt", "log two");
        fs::create_directories(Host(Constants::Backup_Folder));
        Write(Host(Constants::Backup_Folder) / "readme.txt", "keep me");
    }
    void TearDown() override { Form.reset(); }

    size_t Compactions() const { return Engine_Calls->calls.size(); }

    static fs::path Host(std::string_view windows_path) { return platform::To_Host_Path(windows_path); }
    fs::path Output() const { return Host(Constants::Install_Root) / Output_Name; }

    frm_Main& Window() {
        if (Form) return *Form;
        Window_Services services;
        services.Make_File_System = [this]() -> std::unique_ptr<platform::File_System_Service> {
            ++File_Systems_Made;
            if (File_System_Unavailable) throw Service_Error("ActiveX component can't create object");
            return std::make_unique<testing::Fault_Injecting_File_System>(platform::Create_File_System_Service(),
                                                                          Faults);
        };
        services.Make_Jet_Engine = [this]() -> std::unique_ptr<platform::Database_Engine> {
            if (Real_Engine) return platform::Create_Database_Engine();
            return std::make_unique<testing::Engine_Double>(Engine_Action, Engine_Calls, Locks);
        };
        services.Make_Process_Starter = [this]() -> std::unique_ptr<platform::Process_Starter> {
            if (Starter_Unavailable) throw Service_Error("Out of memory");
            return std::make_unique<Starter_Double>(&Started, Starter_Fails);
        };
        services.Now = Test_Day;
        Form = std::make_unique<frm_Main>(View, services);
        Form->Form_Load();
        return *Form;
    }

    std::string Result_Text() const {
        return Output_Name + " folder created in DUVURA directory\r\n\r\n- please compress, then send to support desk";
    }

    void Expect_Ended_With_Failure(int exit_status) {
        ASSERT_TRUE(View.Closed.has_value());
        EXPECT_EQ(*View.Closed, exit_status);
        ASSERT_EQ(View.Messages.size(), 1u);
        EXPECT_EQ(View.Calls_After_Close, 0);
        EXPECT_FALSE(View.Visible[Control::cmd_Exit]) << "the run never reached its end";
        EXPECT_EQ(Window().State(), frm_Main::Window_State::Closed);
    }
};

TEST_F(Gathering, TitleIsTheVariantTextAndVersion) {
    Window();
    EXPECT_EQ(View.Title, S(Constants::Title_Text) + "v7-7");
    EXPECT_TRUE(View.Title.ends_with(" v7-7"));
    EXPECT_EQ(View.Title, KELBROOK_VARIANT_EMAILING ? "Kelbrook for emailing v7-7" : "Kelbrook v7-7");
}

TEST_F(Gathering, FullRunGathersTheVariantsFilesAndRotatesBothDatabases) {
    Window().cmd_Continue_Click();

    EXPECT_TRUE(View.Messages.empty()) << View.Messages.front().Text;
    EXPECT_FALSE(View.Closed);
    EXPECT_EQ(View.Label, Result_Text());
    EXPECT_EQ(View.Shown(), (std::vector<Control>{Control::lbl_Getting_files, Control::cmd_Exit}));
    EXPECT_EQ(View.Label_At_Repaint, std::vector<std::string>{"Getting 7-7 files"});
    EXPECT_EQ(Window().State(), frm_Main::Window_State::Done);

    std::map<std::string, std::string> expected{
        {"duvura-d-7-7.mdb", "data database compacted"},
        {"Debug files", "<folder>"},
        {"Debug files/run.log", "log one"},
        {"Debug files/older", "<folder>"},
        {"Debug files/older/crash.txt", "log two"},
    };
    if (Constants::Copy_History_Database) expected["duvura-h-7-7.mdb"] = "history database compacted";
    EXPECT_EQ(Snapshot(Output()), expected);

    // Both databases were compacted and rotated, whatever the variant copies.
    EXPECT_EQ(Compactions(), 2u);
    EXPECT_EQ(Read(Host(Constants::Data_Database)), "data database compacted");
    EXPECT_EQ(Read(Host(Constants::History_Database)), "history database compacted");
    EXPECT_EQ(Snapshot(Host(Constants::Backup_Folder)),
              (std::map<std::string, std::string>{{"duvura-d-7-7.mdb", "data database"},
                                                  {"duvura-h-7-7.mdb", "history database"},
                                                  {"readme.txt", "keep me"}}));
    EXPECT_FALSE(fs::exists(Host(Constants::Data_Database_New)));
    EXPECT_FALSE(fs::exists(Host(Constants::History_Database_New)));
}

TEST_F(Gathering, SecondClickAfterTheRunChangesNothing) {
    Window().cmd_Continue_Click();
    const auto after_first = Snapshot(Drive);
    Window().cmd_Continue_Click();
    Window().cmd_Cancel_Click();
    EXPECT_EQ(Snapshot(Drive), after_first);
    EXPECT_EQ(Compactions(), 2u);
    EXPECT_FALSE(View.Closed);
}

TEST_F(Gathering, SecondRunOfTheDayReplacesTheDaysFolder) {
    Write(Output() / "left over.txt", "from this morning");
    const fs::path other_day = Host(Constants::Install_Root) / ("2014-02-12" + S(Constants::Output_Folder_Suffix));
    Write(other_day / "duvura-d-7-7.mdb", "yesterday");
    Window().cmd_Continue_Click();
    EXPECT_FALSE(fs::exists(Output() / "left over.txt"));
    EXPECT_TRUE(fs::exists(Output() / "duvura-d-7-7.mdb"));
    EXPECT_EQ(Read(other_day / "duvura-d-7-7.mdb"), "yesterday");
}

TEST_F(Gathering, NoDataDatabaseShowsNotFoundAndCreatesNothing) {
    fs::remove(Host(Constants::Data_Database));
    const auto before = Snapshot(Drive);
    Window().cmd_Continue_Click();
    EXPECT_EQ(View.Label, "7-7 database files not found");
    EXPECT_EQ(View.Shown(), (std::vector<Control>{Control::lbl_Getting_files, Control::cmd_Exit}));
    EXPECT_TRUE(View.Messages.empty());
    EXPECT_EQ(Compactions(), 0u);
    EXPECT_EQ(Snapshot(Drive), before);
}

TEST_F(Gathering, CancelClosesAndChangesNothingOnDisk) {
    const auto before = Snapshot(Drive);
    Window().cmd_Cancel_Click();
    EXPECT_EQ(View.Closed, std::optional<int>(0));
    EXPECT_EQ(Snapshot(Drive), before);
    EXPECT_EQ(File_Systems_Made, 0);
    EXPECT_TRUE(Started.empty());
    // A click that was still queued finds the window gone.
    Window().cmd_Continue_Click();
    EXPECT_EQ(Snapshot(Drive), before);
}

TEST_F(Gathering, CloseBoxUnloadsWhenReadyOrDoneButNotDuringTheRun) {
    EXPECT_TRUE(Window().Form_QueryUnload());
    Form.reset();
    Window().cmd_Continue_Click();
    EXPECT_TRUE(Window().Form_QueryUnload());
    EXPECT_TRUE(Started.empty()) << "the close box leaves without the file manager";
}

// The uncaught failures of the run: a message with the window's title and the failure's
// description, the program ends, what was copied stays.
struct Failure_Case {
    const char* Name;
    std::function<void(Gathering&)> Arrange;  // set on the fixture before the click
    bool Support_Variant_Only;
    bool Output_Folder_Made;
    std::vector<std::string> Output_Holds;  // files, besides the "Debug files" folder
    size_t Compactions;
    const char* Message_Names = nullptr;  // a path the message must name
};

void PrintTo(const Failure_Case& c, std::ostream* out) { *out << c.Name; }

class Uncaught_Failure : public Gathering, public ::testing::WithParamInterface<Failure_Case> {
public:
    void Arrange(const Failure_Case& c) { c.Arrange(*this); }
    void Fail(testing::File_Operation operation, int call) { Faults->Add({operation, call}); }
    void No_File_System() { File_System_Unavailable = true; }
    void Remove(std::string_view windows_path) { fs::remove_all(Host(windows_path)); }
};

TEST_P(Uncaught_Failure, IsReportedAndEndsTheProgram) {
    const Failure_Case& c = GetParam();
    if (c.Support_Variant_Only && !Constants::Copy_History_Database)
        GTEST_SKIP() << "this variant does not copy the history database";
    Arrange(c);
    Window().cmd_Continue_Click();

    Expect_Ended_With_Failure(Exit_Run_Failed);
    EXPECT_EQ(View.Messages[0].Title, View.Title);
    EXPECT_EQ(View.Messages[0].Icon, Message_Icon::Error);
    EXPECT_FALSE(View.Messages[0].Text.empty());
    if (c.Message_Names) {
        EXPECT_NE(View.Messages[0].Text.find(c.Message_Names), std::string::npos) << View.Messages[0].Text;
    }
    EXPECT_EQ(Compactions(), c.Compactions);
    ASSERT_EQ(fs::exists(Output()), c.Output_Folder_Made);
    if (c.Output_Folder_Made) {
        std::vector<std::string> files;
        for (const auto& entry : fs::directory_iterator(Output()))
            if (entry.is_regular_file()) files.push_back(entry.path().filename().string());
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, c.Output_Holds);
        if (fs::exists(Output() / "Debug files")) {
            EXPECT_TRUE(fs::is_empty(Output() / "Debug files")) << "the debug files were never copied";
        }
    }
    EXPECT_TRUE(fs::exists(Host(Constants::Data_Database))) << "the live data database is never lost";
}

const std::vector<std::string> Both_Databases =
    KELBROOK_VARIANT_EMAILING ? std::vector<std::string>{"duvura-d-7-7.mdb"}
                              : std::vector<std::string>{"duvura-d-7-7.mdb", "duvura-h-7-7.mdb"};

INSTANTIATE_TEST_SUITE_P(
    Steps, Uncaught_Failure,
    ::testing::Values(
        Failure_Case{"FileSystemCannotBeMade",
                     [](Gathering& g) { static_cast<Uncaught_Failure&>(g).No_File_System(); }, false, false, {}, 0},
        Failure_Case{"DataDatabaseTestFails",
                     [](Gathering& g) { static_cast<Uncaught_Failure&>(g).Fail(testing::File_Operation::FileExists, 1); }, false, false,
                     {}, 0},
        Failure_Case{"OutputFolderCannotBeMade",
                     [](Gathering& g) { static_cast<Uncaught_Failure&>(g).Fail(testing::File_Operation::CreateFolder, 1); }, false, false,
                     {}, 0},
        Failure_Case{"DebugSubfolderCannotBeMade",
                     [](Gathering& g) { static_cast<Uncaught_Failure&>(g).Fail(testing::File_Operation::CreateFolder, 2); }, false, true,
                     {}, 0},
        Failure_Case{"DataDatabaseCopyFails",
                     [](Gathering& g) { static_cast<Uncaught_Failure&>(g).Fail(testing::File_Operation::CopyFile, 1); }, false, true, {},
                     2},
        Failure_Case{"HistoryDatabaseCopyFails",
                     [](Gathering& g) { static_cast<Uncaught_Failure&>(g).Fail(testing::File_Operation::CopyFile, 2); }, true, true,
                     {"duvura-d-7-7.mdb"}, 2},
        Failure_Case{"DebugFilesFolderMissing",
                     [](Gathering& g) {
                         static_cast<Uncaught_Failure&>(g).Remove("C:\\Tarvel\\KT500\\data\\Debug Files");
                     },
                     false, true, Both_Databases, 2, "C:\\Tarvel\\KT500\\data\\Debug Files"},
        Failure_Case{"DebugFilesCopyFails",
                     [](Gathering& g) { static_cast<Uncaught_Failure&>(g).Fail(testing::File_Operation::CopyFolder, 1); }, false, true,
                     Both_Databases, 2}),
    [](const ::testing::TestParamInfo<Failure_Case>& info) { return std::string(info.param.Name); });

TEST_F(Gathering, MissingHistoryDatabase) {
    fs::remove(Host(Constants::History_Database));
    Window().cmd_Continue_Click();
    EXPECT_TRUE(fs::exists(Host(Constants::Data_Database)));
    EXPECT_FALSE(fs::exists(Output() / "duvura-h-7-7.mdb"));
    if (Constants::Copy_History_Database) {
        // The history copy fails at the latest: the program ends with a message before the
        // debug files are gathered.
        ASSERT_TRUE(View.Closed.has_value());
        EXPECT_NE(*View.Closed, 0);
        EXPECT_EQ(View.Messages.size(), 1u);
        EXPECT_FALSE(View.Visible[Control::cmd_Exit]);
        EXPECT_FALSE(fs::exists(Output() / "Debug files" / "run.log"));
    } else {
        // Nothing of the history database is gathered by this variant: the run ends normally.
        EXPECT_TRUE(View.Messages.empty()) << View.Messages.front().Text;
        EXPECT_FALSE(View.Closed);
        EXPECT_EQ(View.Label, Result_Text());
        EXPECT_EQ(Read(Output() / "duvura-d-7-7.mdb"), "data database compacted");
        EXPECT_TRUE(fs::exists(Output() / "Debug files" / "run.log"));
    }
}

// A compaction that fails stops the rotation before anything is lost; the rotation
// reports it and the program ends before anything is copied.
TEST_F(Gathering, FailedCompactionIsReportedAndEndsTheProgram) {
    for (int failing_call : {1, 2}) {
        SCOPED_TRACE(failing_call == 1 ? "data database" : "history database");
        Form.reset();
        View = View_Double{};
        Engine_Calls->calls.clear();
        Engine_Action = testing::Engine_Double::Failing_Calls({failing_call}, "Not a valid password.", " compacted");
        Window().cmd_Continue_Click();

        Expect_Ended_With_Failure(Exit_Compaction_Failed);
        EXPECT_EQ(View.Messages[0].Text, "Error - Not a valid password.");
        EXPECT_EQ(View.Messages[0].Title, "Compact Database");
        EXPECT_EQ(View.Messages[0].Icon, Message_Icon::Exclamation);
        EXPECT_TRUE(fs::is_empty(Output() / "Debug files"));
        EXPECT_FALSE(fs::exists(Output() / "duvura-d-7-7.mdb"));
        EXPECT_TRUE(fs::exists(Host(Constants::Data_Database)));
        EXPECT_TRUE(fs::exists(Host(Constants::History_Database)));
    }
}

// A run that was killed after the live data database had gone and before the compacted
// copy took its place left only the copy: the next run finds it, puts it back and gathers.
TEST_F(Gathering, CompactedCopyWithoutTheLiveDataDatabaseIsPutBackAndGathered) {
    fs::rename(Host(Constants::Data_Database), Host(Constants::Data_Database_New));
    Window().cmd_Continue_Click();

    ASSERT_TRUE(View.Messages.empty()) << View.Messages.front().Text;
    EXPECT_EQ(View.Label, Result_Text());
    EXPECT_EQ(Read(Host(Constants::Data_Database)), "data database compacted");
    EXPECT_EQ(Read(Host(Constants::Backup_Folder) / "duvura-d-7-7.mdb"), "data database");
    EXPECT_FALSE(fs::exists(Host(Constants::Data_Database_New)));
    EXPECT_EQ(Read(Output() / "duvura-d-7-7.mdb"), "data database compacted");
}

TEST_F(Gathering, DamagedCompactedCopyWithoutTheLiveDataDatabaseIsReportedAndKept) {
    fs::rename(Host(Constants::Data_Database), Host(Constants::Data_Database_New));
    auto& engine = static_cast<testing::Engine_Double&>(Window().Use_Jet_Engine());
    engine.Set_Verifier(testing::Engine_Double::Rejecting("data database"));
    Window().cmd_Continue_Click();

    Expect_Ended_With_Failure(Exit_Compaction_Failed);
    EXPECT_EQ(View.Messages[0].Title, "Compact Database");
    EXPECT_EQ(View.Messages[0].Text.rfind("Error - The database 'C:\\Tarvel\\KT500\\data\\duvura-d-7-7new.mdb'", 0), 0u)
        << View.Messages[0].Text;
    EXPECT_EQ(Read(Host(Constants::Data_Database_New)), "data database");
    EXPECT_FALSE(fs::exists(Host(Constants::Data_Database)));
    EXPECT_EQ(Read(Host(Constants::Backup_Folder) / "readme.txt"), "keep me");
}

// The instrument software still has a database open: the run says so and changes no
// database file.
TEST_F(Gathering, DatabaseInUseIsReportedAndNoDatabaseFileChanges) {
    for (std::string_view in_use : {Constants::Data_Database, Constants::History_Database}) {
        SCOPED_TRACE(std::string(in_use));
        Form.reset();
        View = View_Double{};
        Locks = std::make_shared<testing::Engine_Locks>();
        Locks->Open_Elsewhere(std::string(in_use));
        const fs::path live = Host(in_use);
        const std::string before = Read(live);
        Window().cmd_Continue_Click();

        Expect_Ended_With_Failure(Exit_Compaction_Failed);
        EXPECT_EQ(View.Messages[0].Text, "Error - Could not use '" + std::string(in_use) + "'; file already in use.");
        EXPECT_EQ(View.Messages[0].Title, "Compact Database");
        EXPECT_EQ(View.Messages[0].Icon, Message_Icon::Exclamation);
        EXPECT_EQ(Read(live), before);
        EXPECT_FALSE(fs::exists(Output() / "duvura-d-7-7.mdb")) << "nothing is gathered after the report";
    }
    EXPECT_EQ(Read(Host(Constants::History_Database)), "history database") << "never compacted under its holder";
}

// Without the backup folder no backup can be made, so the live databases are not replaced:
// the run reports the backup it could not write and ends before gathering anything.
TEST_F(Gathering, MissingBackupFolderIsReportedAndNoDatabaseIsReplaced) {
    fs::remove_all(Host(Constants::Backup_Folder));
    Window().cmd_Continue_Click();

    Expect_Ended_With_Failure(Exit_Compaction_Failed);
    EXPECT_EQ(View.Messages[0].Text, "Error - Path not found\r\n\r\n" + S(Constants::Backup_Folder) + "duvura-d-7-7.mdb");
    EXPECT_EQ(View.Messages[0].Title, "Compact Database");
    EXPECT_EQ(Read(Host(Constants::Data_Database)), "data database");
    EXPECT_EQ(Read(Host(Constants::History_Database)), "history database");
    EXPECT_FALSE(fs::exists(Host(Constants::Data_Database_New)));
    EXPECT_FALSE(fs::exists(Output() / "duvura-d-7-7.mdb"));
}

// A second copy of the program started while the first compacts: it finds the database
// held, says so and ends; the first run finishes untouched.
TEST_F(Gathering, SecondProgramDuringTheRunFindsTheDatabasesInUse) {
    View_Double second_view;
    std::unique_ptr<frm_Main> second;
    const testing::Engine_Double::Action compact = testing::Engine_Double::Copying(" compacted");
    Engine_Action = [&](const std::string& source, const std::string& destination) {
        if (!second) {
            Window_Services services;
            services.Make_Jet_Engine = [this]() -> std::unique_ptr<platform::Database_Engine> {
                return std::make_unique<testing::Engine_Double>(testing::Engine_Double::Copying(" again"),
                                                                std::make_shared<testing::Engine_Log>(), Locks);
            };
            services.Now = Test_Day;
            second = std::make_unique<frm_Main>(second_view, services);
            second->cmd_Continue_Click();
        }
        compact(source, destination);
    };
    Window().cmd_Continue_Click();

    ASSERT_EQ(second_view.Messages.size(), 1u);
    EXPECT_EQ(second_view.Messages[0].Text,
              "Error - Could not use '" + S(Constants::Data_Database) + "'; file already in use.");
    EXPECT_EQ(second_view.Closed, std::optional<int>(Exit_Compaction_Failed));
    ASSERT_TRUE(View.Messages.empty()) << View.Messages.front().Text;
    EXPECT_EQ(View.Label, Result_Text());
    EXPECT_EQ(Read(Host(Constants::Data_Database)), "data database compacted");
    EXPECT_EQ(Read(Host(Constants::Backup_Folder) / "duvura-d-7-7.mdb"), "data database");
    EXPECT_EQ(Read(Host(Constants::History_Database)), "history database compacted");
    EXPECT_FALSE(fs::exists(Host(Constants::Data_Database_New)));
}

// The same run with this host's engine on generated instrument databases, checked by
// the engine's own verifier and by mdbtools.
int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }
std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

TEST_F(Gathering, RealEngineCompactsAndGathersGeneratedDatabases) {
    const fs::path jetdb = fs::path(KELBROOK_BIN_DIR) / "jetdb";
    if (!fs::exists(jetdb)) GTEST_SKIP() << jetdb << " has not been built";
    const fs::path data = Host(Constants::Data_Database), history = Host(Constants::History_Database);
    fs::remove(data);
    fs::remove(history);
    ASSERT_EQ(Shell(Quoted(jetdb) + " generate --profile instrument-data --rows 300 --deleted-fraction 0.4 --seed 11 " +
                  Quoted(data)), 0);
    ASSERT_EQ(Shell(Quoted(jetdb) + " generate --profile instrument-history --rows 200 --deleted-fraction 0.4 --seed 12 " +
                  Quoted(history)), 0);
    const std::string data_before = Read(data), history_before = Read(history);
    Real_Engine = true;
    Window().cmd_Continue_Click();

    ASSERT_TRUE(View.Messages.empty()) << View.Messages.front().Text;
    EXPECT_EQ(View.Label, Result_Text());
    EXPECT_EQ(Read(Host(Constants::Backup_Folder) / "duvura-d-7-7.mdb"), data_before);
    EXPECT_EQ(Read(Host(Constants::Backup_Folder) / "duvura-h-7-7.mdb"), history_before);
    EXPECT_LT(fs::file_size(data), data_before.size()) << "deleted rows are gone after compaction";
    EXPECT_EQ(Read(Output() / "duvura-d-7-7.mdb"), Read(data));
    EXPECT_EQ(Shell(Quoted(jetdb) + " check --password wexo4m " + Quoted(Output() / "duvura-d-7-7.mdb")), 0);
    EXPECT_NE(Shell(Quoted(jetdb) + " check --password wrong1 " + Quoted(Output() / "duvura-d-7-7.mdb")), 0);
    EXPECT_EQ(Shell(Quoted(jetdb) + " check " + Quoted(history)), 0);
    EXPECT_EQ(Shell("mdb-tables -1 " + Quoted(data)), 0);
    EXPECT_EQ(fs::exists(Output() / "duvura-h-7-7.mdb"), Constants::Copy_History_Database);
}

// "Click to Close": the file manager on the installation root, then the window goes, even
// when the file manager cannot be started.
struct Exit_Case {
    const char* Name;
    bool Data_Database_Present;
    bool Starter_Fails;
    bool Starter_Unavailable;
};

void PrintTo(const Exit_Case& c, std::ostream* out) { *out << c.Name; }

class Leaving : public Gathering, public ::testing::WithParamInterface<Exit_Case> {};

TEST_P(Leaving, OpensTheFileManagerOnTheInstallationRootAndUnloads) {
    const Exit_Case& c = GetParam();
    if (!c.Data_Database_Present) fs::remove(Host(Constants::Data_Database));
    Starter_Fails = c.Starter_Fails;
    Starter_Unavailable = c.Starter_Unavailable;
    Window().cmd_Exit_Click();
    EXPECT_FALSE(View.Closed) << "\"Click to Close\" is hidden until the run has ended";
    Window().cmd_Continue_Click();
    Window().cmd_Exit_Click();

    EXPECT_EQ(View.Closed, std::optional<int>(0));
    EXPECT_TRUE(View.Messages.empty());
    if (c.Starter_Fails || c.Starter_Unavailable) {
        EXPECT_TRUE(Started.empty());
    } else {
        ASSERT_EQ(Started.size(), 1u);
        EXPECT_EQ(Started[0].first, "c:\\windows\\explorer.exe \"C:\\Tarvel\\KT500\\\"");
        EXPECT_EQ(Started[0].second, 3);
    }
    Window().cmd_Exit_Click();
    EXPECT_EQ(Started.size(), c.Starter_Fails || c.Starter_Unavailable ? 0u : 1u) << "one start only";
}

INSTANTIATE_TEST_SUITE_P(Cases, Leaving,
                         ::testing::Values(Exit_Case{"AfterARun", true, false, false},
                                           Exit_Case{"AfterNotFound", false, false, false},
                                           Exit_Case{"FileManagerFails", true, true, false},
                                           Exit_Case{"NoProcessStarter", true, false, true}),
                         [](const ::testing::TestParamInfo<Exit_Case>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace kelbrook
