// The day's output folder, built once per variant: the same source runs against the
// support-files window and the files-for-emailing window.

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Constants.h"
#include "frm_Main.h"
#include "support/Engine_Double.h"
#include "support/Fault_Injecting_File_System.h"
#include "support/Temp_Drive.h"

namespace kelbrook {
namespace {

namespace fs = std::filesystem;
using testing::File_Operation;
using testing::Temp_Drive;

#if KELBROOK_VARIANT_EMAILING
const std::string Own_Suffix = " EMAIL_FILES";
const std::string Other_Suffix = " SUPPORT_FILES";
#else
const std::string Own_Suffix = " SUPPORT_FILES";
const std::string Other_Suffix = " EMAIL_FILES";
#endif

class View_Double final : public Main_View {
public:
    struct Message {
        std::string text, title;
        Message_Icon icon;
    };
    std::vector<Message> messages;
    std::vector<int> closes;

    void Set_Title(const std::string&) override {}
    void Set_Visible(Control, bool) override {}
    void Set_Label_Text(const std::string&) override {}
    void Repaint() override {}
    void Show_Message(const std::string& text, const std::string& title, Message_Icon icon) override {
        messages.push_back({text, title, icon});
    }
    void Close(int exit_status) override { closes.push_back(exit_status); }
};

std::tm Local(int year, int month, int day, int hour = 10, int minute = 30, int second = 0) {
    std::tm when{};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    return when;
}

std::vector<std::string> Entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        names.push_back(fs::relative(entry.path(), folder).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct Window_Under_Test {
    Temp_Drive drive;
    View_Double view;
    std::tm now = Local(2014, 2, 13);
    std::shared_ptr<testing::Fault_Plan> plan = std::make_shared<testing::Fault_Plan>();
    testing::Engine_Double::Action engine = testing::Engine_Double::Copying();
    std::unique_ptr<frm_Main> window;

    Window_Under_Test() {
        Window_Services services;
        services.Make_File_System = [this] {
            return std::make_unique<testing::Fault_Injecting_File_System>(platform::Create_File_System_Service(), plan);
        };
        services.Make_Jet_Engine = [this] { return std::make_unique<testing::Engine_Double>(engine); };
        services.Now = [this] { return now; };
        window = std::make_unique<frm_Main>(view, std::move(services));
    }
};

TEST(Make_Output_Folder, NamesTheFolderAfterTheLocalDateAndTheVariant) {
    struct Day {
        std::tm when;
        const char* date;
    };
    const Day days[] = {
        {Local(2014, 2, 13), "2014-02-13"},
        {Local(1999, 12, 31, 23, 59, 59), "1999-12-31"},  // just before midnight: the earlier day
        {Local(2026, 1, 5, 0, 0, 0), "2026-01-05"},
    };
    for (const Day& day : days) {
        Window_Under_Test w;
        w.drive.Make_Folder("C:\\Tarvel\\KT500");
        w.now = day.when;
        w.window->Make_Output_Folder();
        const std::string name = std::string(day.date) + Own_Suffix;
        EXPECT_EQ(w.window->Output_Folder_Name, name);
        EXPECT_EQ(w.window->Output_Folder_Path, "C:\\Tarvel\\KT500\\" + name);
        EXPECT_EQ(w.window->Output_Folder_Dir, "C:\\Tarvel\\KT500\\" + name + "\\");
        EXPECT_EQ(Entries(w.drive.Host("C:\\Tarvel\\KT500")), (std::vector<std::string>{name, name + "/Debug files"}));
    }
}

TEST(Make_Output_Folder, ReplacesTheSameDaysFolderAndLeavesOthersAlone) {
    Window_Under_Test w;
    const std::string today = "C:\\Tarvel\\KT500\\2014-02-13" + Own_Suffix;
    w.drive.Write(today + "\\duvura-d-7-7.mdb", "from this morning");
    w.drive.Write(today + "\\Debug files\\trace.log", "trace");
    w.drive.Write(today + "\\Debug files\\old\\deeper.log", "deeper");
    w.drive.Write("C:\\Tarvel\\KT500\\2014-02-12" + Own_Suffix + "\\duvura-d-7-7.mdb", "yesterday");
    w.drive.Write("C:\\Tarvel\\KT500\\2014-02-13" + Other_Suffix + "\\duvura-d-7-7.mdb", "other variant");

    w.window->Make_Output_Folder();
    EXPECT_EQ(Entries(w.drive.Host(today)), std::vector<std::string>{"Debug files"});
    EXPECT_EQ(w.drive.Read("C:\\Tarvel\\KT500\\2014-02-12" + Own_Suffix + "\\duvura-d-7-7.mdb"), "yesterday");
    EXPECT_EQ(w.drive.Read("C:\\Tarvel\\KT500\\2014-02-13" + Other_Suffix + "\\duvura-d-7-7.mdb"), "other variant");

    // And again on the same day, through the same service object.
    w.drive.Write(today + "\\Debug files\\again.log", "again");
    w.window->Make_Output_Folder();
    EXPECT_EQ(Entries(w.drive.Host(today)), std::vector<std::string>{"Debug files"});
}

struct Folder_Failure {
    const char* name;
    void (*setup)(Window_Under_Test&);
    const char* description;
    std::vector<std::string> left;  // what the installation root holds afterwards
};
void PrintTo(const Folder_Failure& c, std::ostream* out) { *out << c.name; }

class Make_Output_Folder_Failure : public ::testing::TestWithParam<Folder_Failure> {};

TEST_P(Make_Output_Folder_Failure, TravelsUpWithItsDescription) {
    Window_Under_Test w;
    GetParam().setup(w);
    try {
        w.window->Make_Output_Folder();
        ADD_FAILURE() << "no failure";
    } catch (const platform::Service_Error& failure) {
        EXPECT_STREQ(failure.what(), GetParam().description);
    }
    // The members are set before the first file operation.
    EXPECT_EQ(w.window->Output_Folder_Name, "2014-02-13" + Own_Suffix);
    std::vector<std::string> left;
    for (const std::string& entry : GetParam().left) left.push_back("2014-02-13" + Own_Suffix + entry.substr(1));
    if (fs::exists(w.drive.Host("C:\\Tarvel\\KT500"))) {
        EXPECT_EQ(Entries(w.drive.Host("C:\\Tarvel\\KT500")), left);
    }
}

const std::string Today = "C:\\Tarvel\\KT500\\2014-02-13" + Own_Suffix;

INSTANTIATE_TEST_SUITE_P(
    Steps, Make_Output_Folder_Failure,
    ::testing::Values(
        Folder_Failure{"InstallationRootMissing", [](Window_Under_Test&) {}, "Path not found", {}},
        Folder_Failure{"ReadOnlyFileInEarlierFolder",
                       [](Window_Under_Test& w) {
                           w.drive.Write(Today + "\\a.log", "a");
                           w.drive.Write(Today + "\\r.mdb", "r");
                           w.drive.Write(Today + "\\z.log", "z");
                           fs::permissions(w.drive.Host(Today + "\\r.mdb"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                                           fs::perm_options::remove);
                       },
                       "Permission denied",
                       {"*", "*/r.mdb", "*/z.log"}},
        Folder_Failure{"DiskRefusesTheFolder",
                       [](Window_Under_Test& w) {
                           w.drive.Make_Folder("C:\\Tarvel\\KT500");
                           w.plan->Add({File_Operation::CreateFolder, 1, "Disk full"});
                       },
                       "Disk full",
                       {}},
        Folder_Failure{"DiskRefusesTheDebugFolder",
                       [](Window_Under_Test& w) {
                           w.drive.Make_Folder("C:\\Tarvel\\KT500");
                           w.plan->Add({File_Operation::CreateFolder, 2, "Disk full"});
                       },
                       "Disk full",
                       {"*"}},
        Folder_Failure{"EarlierFolderCannotBeTested",
                       [](Window_Under_Test& w) {
                           w.drive.Make_Folder(Today);
                           w.plan->Add({File_Operation::FolderExists, 1, "Path/File access error"});
                       },
                       "Path/File access error",
                       {"*"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Variant, OutputFolderSuffixAndDebugFolderAreSpelledExactly) {
    EXPECT_EQ(Constants::Output_Folder_Suffix, Own_Suffix);
    EXPECT_EQ(Constants::Output_Debug_Folder_Name, "Debug files");
    EXPECT_EQ(Constants::Install_Root, "C:\\Tarvel\\KT500\\");
}

TEST(Variant, CompactionFailureIsReportedByTheWindow) {
    Window_Under_Test w;
    w.engine = testing::Engine_Double::Failing("Not a valid password.");
    w.drive.Write("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", "live");
    EXPECT_FALSE(w.window->Compact_Databases());
    ASSERT_EQ(w.view.messages.size(), 1u);
    EXPECT_EQ(w.view.messages[0].text, "Error - Not a valid password.");
    EXPECT_EQ(w.view.messages[0].title, "Compact Database");
    EXPECT_EQ(w.view.messages[0].icon, Message_Icon::Exclamation);
    EXPECT_EQ(w.drive.Read("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb"), "live");
}

}  // namespace
}  // namespace kelbrook
