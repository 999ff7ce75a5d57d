// The Windows platform services on a real Windows file system (run under Wine by
// scripts/test-windows): each case works in a fresh folder under the temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Database_Engine.h"
#include "platform/File_System_Service.h"
#include "platform/Process_Starter.h"
#include "platform/win32/Win32_Text.h"

namespace {

using kelbrook::platform::Create_Database_Engine;
using kelbrook::platform::Create_File_System_Service;
using kelbrook::platform::Create_Process_Starter;
using kelbrook::platform::File_System_Service;
using kelbrook::platform::Service_Error;
using kelbrook::platform::win32::Display_Text;
using kelbrook::platform::win32::Display_Wide;
using kelbrook::platform::win32::Narrow;
using kelbrook::platform::win32::Wide;

std::string Temp_Folder() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    return Narrow(std::wstring(buffer, length));  // ends with a backslash
}

void Write(const std::string& path, const std::string& content) {
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

std::string Read(const std::string& path) {
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string content(1 << 16, '\0');
    DWORD got = 0;
    ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &got, nullptr);
    CloseHandle(file);
    content.resize(got);
    return content;
}

unsigned long long Size(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool Exists(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

void Make_Folder(const std::string& path) { ASSERT_TRUE(CreateDirectoryW(Wide(path).c_str(), nullptr)) << path; }

void Set_Read_Only(const std::string& path, bool read_only) {
    SetFileAttributesW(Wide(path).c_str(), read_only ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}

// Removes a tree whatever its attributes; only the fixture uses it.
void Remove_Tree(const std::string& path) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(Wide(path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = Narrow(found.cFileName);
            if (name == "." || name == "..") continue;
            const std::string child = path + "\\" + name;
            SetFileAttributesW(Wide(child).c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                Remove_Tree(child);
            else
                DeleteFileW(Wide(child).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(Wide(path).c_str());
}

// The names in a folder, in order, without "." and "..".
std::vector<std::string> Names_In(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(Wide(folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = Narrow(found.cFileName);
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// Makes a symbolic link, as an unprivileged user may where the system allows it.
bool Make_Link(const std::string& link, const std::string& target, bool folder) {
    constexpr DWORD allow_unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    const DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | allow_unprivileged;
    // Some systems (Wine 8) report success and make nothing: the link must be there.
    return CreateSymbolicLinkW(Wide(link).c_str(), Wide(target).c_str(), flags) != 0 &&
           GetFileAttributesW(Wide(link).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The failure's description, or "" when the call succeeded.
std::string Failure_Of(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "";
}

// The path a service failure is about, or "" when the call succeeded or failed otherwise.
std::string Failed_Path_Of(const std::function<void()>& call) {
    try {
        call();
    } catch (const Service_Error& failure) {
        return failure.path();
    } catch (const std::exception&) {
    }
    return "";
}

class Win32_File_System_Test : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = Temp_Folder() + "kelbrook-" + std::to_string(GetCurrentProcessId()) + "-" + test->name();
        Remove_Tree(root_);
        Make_Folder(root_);
        files_ = Create_File_System_Service();
    }
    void TearDown() override { Remove_Tree(root_); }
    std::string At(const std::string& relative) const { return root_ + "\\" + relative; }

    std::string root_;
    std::unique_ptr<File_System_Service> files_;
};

TEST_F(Win32_File_System_Test, Existence_Tests_Are_Case_Blind_And_Tell_Files_From_Folders) {
    Make_Folder(At("Debug Files"));
    Write(At("duvura-d-7-7.mdb"), "data");
    struct Case {
        std::string path;
        bool file, folder;
    };
    const std::vector<Case> cases = {
        {At("duvura-d-7-7.mdb"), true, false},  {At("DUVURA-D-7-7.MDB"), true, false},
        {At("Debug Files"), false, true},       {At("debug files"), false, true},
        {At("missing.mdb"), false, false},      {At("missing\\deeper.mdb"), false, false},
        {"Q:\\no\\such\\drive.mdb", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(files_->FileExists(c.path), c.file) << c.path;
        EXPECT_EQ(files_->FolderExists(c.path), c.folder) << c.path;
    }
}

TEST_F(Win32_File_System_Test, Failures_Carry_The_Texts_Windows_Users_Know) {
    Make_Folder(At("there"));
    Write(At("there\\a.txt"), "a");
    Write(At("b.txt"), "b");
    struct Case {
        const char* what;
        std::function<void()> call;
        std::string text;
        std::string path;  // the path the failure names
    };
    const std::vector<Case> cases = {
        {"create existing folder", [&] { files_->CreateFolder(At("there")); }, "File already exists", At("there")},
        {"create without parent", [&] { files_->CreateFolder(At("no\\child")); }, "Path not found",
         At("no\\child")},
        {"delete missing folder", [&] { files_->DeleteFolder(At("nothing"), false); }, "Path not found",
         At("nothing")},
        {"copy missing file", [&] { files_->CopyFile(At("none.txt"), At("there\\"), true); }, "File not found",
         At("none.txt")},
        {"copy into missing folder", [&] { files_->CopyFile(At("b.txt"), At("gone\\"), true); }, "Path not found",
         At("gone\\")},
        {"copy over without overwrite", [&] { files_->CopyFile(At("b.txt"), At("there\\a.txt"), false); },
         "File already exists", At("there\\a.txt")},
        {"copy missing folder", [&] { files_->CopyFolder(At("nothing"), At("there\\"), true); }, "Path not found",
         At("nothing")},
        {"copy folder into itself", [&] { files_->CopyFolder(At("there"), At("there\\"), true); },
         "Permission denied", At("there\\there")},
        {"delete missing file", [&] { files_->Delete_One_File(At("none.txt")); }, "File not found", At("none.txt")},
        {"plain copy of missing file", [&] { files_->Copy_One_File(At("none.txt"), At("x.txt")); },
         "File not found", At("none.txt")},
        {"plain copy into missing folder", [&] { files_->Copy_One_File(At("b.txt"), At("gone\\x.txt")); },
         "Path not found", At("gone\\x.txt")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Failure_Of(c.call), c.text) << c.what;
        EXPECT_EQ(Failed_Path_Of(c.call), c.path) << c.what;
    }
}

TEST_F(Win32_File_System_Test, Folders_Are_Made_And_Removed_With_Everything_In_Them) {
    files_->CreateFolder(At("2014-02-13 SUPPORT_FILES"));
    files_->CreateFolder(At("2014-02-13 SUPPORT_FILES\\Debug files"));
    Write(At("2014-02-13 SUPPORT_FILES\\duvura-d-7-7.mdb"), "data");
    Make_Folder(At("2014-02-13 SUPPORT_FILES\\Debug files\\Traces"));
    Write(At("2014-02-13 SUPPORT_FILES\\Debug files\\Traces\\t.trc"), "trace");
    ASSERT_TRUE(files_->FolderExists(At("2014-02-13 SUPPORT_FILES\\Debug files")));

    files_->DeleteFolder(At("2014-02-13 SUPPORT_FILES"), false);
    EXPECT_FALSE(Exists(At("2014-02-13 SUPPORT_FILES")));
}

TEST_F(Win32_File_System_Test, A_Read_Only_File_Stops_The_Delete_Unless_Forced) {
    Make_Folder(At("old"));
    Make_Folder(At("old\\inner"));
    Write(At("old\\inner\\locked.log"), "keep me");
    Set_Read_Only(At("old\\inner\\locked.log"), true);

    EXPECT_EQ(Failure_Of([&] { files_->DeleteFolder(At("old"), false); }), "Permission denied");
    EXPECT_EQ(Read(At("old\\inner\\locked.log")), "keep me");

    files_->DeleteFolder(At("old"), true);
    EXPECT_FALSE(Exists(At("old")));
}

TEST_F(Win32_File_System_Test, A_File_Copied_Into_A_Folder_Keeps_Its_Name_And_Replaces_One_There) {
    Make_Folder(At("out"));
    Write(At("duvura-h-7-7.mdb"), "new history");
    Write(At("out\\DUVURA-H-7-7.MDB"), "old history");

    files_->CopyFile(At("duvura-h-7-7.mdb"), At("out\\"), true);
    EXPECT_EQ(Read(At("out\\duvura-h-7-7.mdb")), "new history");
    EXPECT_EQ(Names_In(At("out")), std::vector<std::string>{"DUVURA-H-7-7.MDB"});  // the spelling it had

    // A destination without the trailing backslash is the file's new full name.
    files_->CopyFile(At("duvura-h-7-7.mdb"), At("out\\renamed.mdb"), true);
    EXPECT_EQ(Read(At("out\\renamed.mdb")), "new history");
}

TEST_F(Win32_File_System_Test, A_Folder_Copied_Into_A_Folder_Merges_Into_A_Subfolder_Of_Its_Name) {
    Make_Folder(At("data"));
    Make_Folder(At("data\\Debug Files"));
    Make_Folder(At("data\\Debug Files\\Traces"));
    Write(At("data\\Debug Files\\KT500.log"), "fresh log");
    Write(At("data\\Debug Files\\Traces\\run.trc"), "trace");
    Make_Folder(At("out"));
    Make_Folder(At("out\\Debug files"));  // other case, as the output folder spells it
    Write(At("out\\Debug files\\KT500.log"), "stale log");
    Write(At("out\\Debug files\\other.txt"), "left alone");

    files_->CopyFolder(At("data\\Debug Files"), At("out\\"), true);

    EXPECT_EQ(Read(At("out\\Debug files\\KT500.log")), "fresh log");
    EXPECT_EQ(Read(At("out\\Debug files\\Traces\\run.trc")), "trace");
    EXPECT_EQ(Read(At("out\\Debug files\\other.txt")), "left alone");
    // Still the one folder, with the spelling it had.
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(Wide(At("out\\debug*")).c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Narrow(found.cFileName), "Debug files");
    EXPECT_FALSE(FindNextFileW(search, &found));
    FindClose(search);

    EXPECT_EQ(Failure_Of([&] { files_->CopyFolder(At("data\\Debug Files"), At("out\\"), false); }),
              "File already exists");
}

TEST_F(Win32_File_System_Test, Plain_Copy_And_Delete_Of_One_File) {
    Write(At("live.mdb"), "live");
    Write(At("backup.mdb"), "old backup");
    files_->Copy_One_File(At("live.mdb"), At("backup.mdb"));
    EXPECT_EQ(Read(At("backup.mdb")), "live");

    // A file held open without sharing cannot be removed, and stays.
    HANDLE held = CreateFileW(Wide(At("live.mdb")).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Failure_Of([&] { files_->Delete_One_File(At("live.mdb")); }), "Permission denied");
    CloseHandle(held);
    EXPECT_TRUE(Exists(At("live.mdb")));

    files_->Delete_One_File(At("live.mdb"));
    EXPECT_FALSE(Exists(At("live.mdb")));
}

TEST_F(Win32_File_System_Test, A_Failed_Plain_Copy_Leaves_The_Destination_As_It_Was_And_No_Temporary) {
    Write(At("live.mdb"), std::string(200000, 'L'));
    Write(At("backup.mdb"), "the good backup");
    // Another program holds the backup open and lets nobody replace or remove it: the
    // copy is made, but cannot take the backup's name.
    HANDLE held = CreateFileW(Wide(At("backup.mdb")).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Failure_Of([&] { files_->Copy_One_File(At("live.mdb"), At("backup.mdb")); }), "Permission denied");
    EXPECT_EQ(Failure_Of([&] { files_->CopyFile(At("live.mdb"), At("backup.mdb"), true); }), "Permission denied");
    CloseHandle(held);
    EXPECT_EQ(Read(At("backup.mdb")), "the good backup");
    EXPECT_EQ(Names_In(root_), (std::vector<std::string>{"backup.mdb", "live.mdb"}));

    // Refused before any copy is made: a read-only backup, a folder in the way.
    Set_Read_Only(At("backup.mdb"), true);
    EXPECT_EQ(Failure_Of([&] { files_->Copy_One_File(At("live.mdb"), At("backup.mdb")); }), "Permission denied");
    Set_Read_Only(At("backup.mdb"), false);
    Make_Folder(At("folder.mdb"));
    EXPECT_EQ(Failure_Of([&] { files_->Copy_One_File(At("live.mdb"), At("folder.mdb")); }), "Permission denied");
    EXPECT_EQ(Failure_Of([&] { files_->CopyFile(At("live.mdb"), At("live.mdb"), true); }), "Permission denied");
    EXPECT_EQ(Read(At("backup.mdb")), "the good backup");
    EXPECT_EQ(Size(At("live.mdb")), 200000u);
    EXPECT_EQ(Names_In(root_), (std::vector<std::string>{"backup.mdb", "folder.mdb", "live.mdb"}));

    // Once free, the whole file replaces the backup; a read-only source is flushed too.
    Set_Read_Only(At("live.mdb"), true);
    files_->Copy_One_File(At("live.mdb"), At("backup.mdb"));
    Set_Read_Only(At("live.mdb"), false);
    EXPECT_TRUE(Read(At("backup.mdb")) == std::string(1 << 16, 'L'));
    EXPECT_EQ(Size(At("backup.mdb")), 200000u);
    EXPECT_EQ(Names_In(root_), (std::vector<std::string>{"backup.mdb", "folder.mdb", "live.mdb"}));
}

TEST_F(Win32_File_System_Test, Leftover_Temporaries_Go_And_Nothing_Else) {
    const std::vector<std::string> removed = {
        ".duvura-d-7-7.mdb.kelbrook-tmp-a1B2c3",
        ".DUVURA-D-7-7.MDB.KELBROOK-TMP-zz",  // names match without regard to case
        ".kelbrook-copy-Xy12Ab",              // what older builds named their copy temporaries
    };
    const std::vector<std::string> kept = {
        "duvura-d-7-7.mdb",
        "duvura-d-7-7.mdb.kelbrook-tmp-1",
        ".duvura-d-7-7.mdbx.kelbrook-tmp-1",
        ".duvura-h-7-7.mdb.kelbrook-tmp-1",
        ".duvura-d-7-7.mdb.kelbrook-tm",
    };
    for (const std::string& name : removed) Write(At(name), "leftover");
    for (const std::string& name : kept) Write(At(name), "keep");
    Set_Read_Only(At(removed[0]), true);  // a copy of a read-only source is read-only too
    Make_Folder(At(".duvura-d-7-7.mdb.kelbrook-tmp-dir"));
    Write(At(".duvura-d-7-7.mdb.kelbrook-tmp-dir\\inside.txt"), "keep");

    files_->Remove_Leftover_Temporaries(At("Duvura-D-7-7.mdb"));
    std::vector<std::string> expected = kept;
    expected.push_back(".duvura-d-7-7.mdb.kelbrook-tmp-dir");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names_In(root_), expected);
    EXPECT_EQ(Read(At(".duvura-d-7-7.mdb.kelbrook-tmp-dir\\inside.txt")), "keep");

    files_->Remove_Leftover_Temporaries(At("no such folder\\duvura-d-7-7.mdb"));  // not a failure
    EXPECT_EQ(Names_In(root_), expected);
}

TEST_F(Win32_File_System_Test, A_Copied_Folder_Leaves_Out_Links_That_Lead_Out_Of_It) {
    Make_Folder(At("Secrets"));
    Write(At("Secrets\\password.txt"), "secret");
    Make_Folder(At("Debug Files"));
    Make_Folder(At("Debug Files\\sub"));
    Write(At("Debug Files\\a.log"), "a");
    Write(At("Debug Files\\sub\\b.log"), "b");
    if (!Make_Link(At("Debug Files\\outside-file.txt"), At("Secrets\\password.txt"), false))
        GTEST_SKIP() << "this system makes no symbolic links; the host's own links are tried below";
    ASSERT_TRUE(Make_Link(At("Debug Files\\outside-folder"), At("Secrets"), true));
    ASSERT_TRUE(Make_Link(At("Debug Files\\inside-file.log"), At("Debug Files\\a.log"), false));
    ASSERT_TRUE(Make_Link(At("Debug Files\\parent"), root_, true));
    Make_Folder(At("out"));

    files_->CopyFolder(At("Debug Files"), At("out\\"), true);
    EXPECT_EQ(Names_In(At("out\\Debug Files")), (std::vector<std::string>{"a.log", "inside-file.log", "sub"}));
    EXPECT_EQ(Read(At("out\\Debug Files\\inside-file.log")), "a");
    EXPECT_EQ(Read(At("Secrets\\password.txt")), "secret");
}

// Links that a host made (under Wine, the Linux file system's own symbolic links, which
// Wine shows as a folder with a reparse point or as a plain file). The runner lays out,
// and names in KELBROOK_LINKED_TREE, a folder holding a.log, sub\b.log, inside-file.log
// (a link to a.log), outside-file.txt and outside-folder (links to secret.txt and dir in
// the folder named in KELBROOK_LINKED_OUTSIDE), parent (a link to its parent folder) and
// dangling (a link to nothing). The tree is used up: the test deletes it.
TEST_F(Win32_File_System_Test, Links_The_Host_Made_Are_Neither_Copied_Out_Of_Nor_Deleted_Through) {
    const char* tree_variable = std::getenv("KELBROOK_LINKED_TREE");
    const char* outside_variable = std::getenv("KELBROOK_LINKED_OUTSIDE");
    if (tree_variable == nullptr || *tree_variable == '\0' || outside_variable == nullptr || *outside_variable == '\0')
        GTEST_SKIP() << "KELBROOK_LINKED_TREE and KELBROOK_LINKED_OUTSIDE (host-made links) are not set";
    const std::string tree = tree_variable;
    const std::string outside = outside_variable;
    const std::string secret = Read(outside + "\\secret.txt");
    ASSERT_NE(secret, "<missing>");

    Make_Folder(At("out"));
    files_->CopyFolder(tree, At("out\\"), true);
    const std::string copy = At("out\\" + tree.substr(tree.find_last_of('\\') + 1));
    EXPECT_EQ(Names_In(copy), (std::vector<std::string>{"a.log", "inside-file.log", "sub"}));
    EXPECT_EQ(Names_In(copy + "\\sub"), std::vector<std::string>{"b.log"});
    EXPECT_EQ(Read(copy + "\\inside-file.log"), Read(tree + "\\a.log"));

    // Windows removes the links themselves; Wine cannot, and the deletion stops at the
    // first link. Either way nothing outside the tree goes.
    const std::string failure = Failure_Of([&] { files_->DeleteFolder(tree, true); });
    EXPECT_TRUE(failure.empty() || failure == "Permission denied") << failure;
    EXPECT_EQ(Read(outside + "\\secret.txt"), secret);
    EXPECT_TRUE(files_->FolderExists(outside + "\\dir"));
    files_->Remove_Leftover_Temporaries(tree + "\\outside-file.txt");
    EXPECT_EQ(Read(outside + "\\secret.txt"), secret);
}

TEST(Win32_Text, Malformed_Utf8_Is_Refused_And_Valid_Text_Round_Trips) {
    for (const std::string& bad : std::vector<std::string>{
             "ab\xC3", "\xC3" "A", "\xE2\x82", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
             "\xF4\x90\x80\x80", "\xFF"}) {
        EXPECT_THROW(Wide(bad), Service_Error) << Display_Text(std::wstring(bad.begin(), bad.end()));
    }
    EXPECT_THROW(Narrow(std::wstring(1, wchar_t(0xD800))), Service_Error);
    EXPECT_THROW(Narrow(L"a" + std::wstring(1, wchar_t(0xDC00))), Service_Error);
    EXPECT_EQ(Display_Text(L"a" + std::wstring(1, wchar_t(0xD800)) + L"b"), "a\xEF\xBF\xBD" "b");
    for (const std::string& good : std::vector<std::string>{
             "", "C:\\Tarvel\\KT500", "\xC3\x81rv\xC3\xADz", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x93\x81",
             "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBD"}) {
        EXPECT_EQ(Narrow(Wide(good)), good);
    }
    EXPECT_EQ(Wide("\xC3\x81"), std::wstring(1, wchar_t(0xC1)));
    // A message worded in the ANSI code page still shows, marked where it is not UTF-8.
    EXPECT_EQ(Display_Wide("Pr\xFC" "fung"), L"Pr\xFFFD" L"fung");
    // A malformed path names no file: the service refuses it and makes nothing.
    auto files = Create_File_System_Service();
    EXPECT_THROW(files->CreateFolder(Temp_Folder() + "kelbrook-\xC3" "A"), Service_Error);
    EXPECT_FALSE(Exists(Temp_Folder() + "kelbrook-\xC3\x81"));
}

TEST_F(Win32_File_System_Test, Names_Beyond_Ascii_Survive_The_Round_Trip) {
    const std::string folder = At("Pr\xC3\xBC" "fung \xE6\x97\xA5\xE6\x9C\xAC");  // "Prüfung 日本"
    files_->CreateFolder(folder);
    Write(folder + "\\\xC3\xA9t\xC3\xA9.log", "accents");
    EXPECT_TRUE(files_->FolderExists(folder));
    // Onto itself: refused, not looped.
    EXPECT_EQ(Failure_Of([&] { files_->CopyFolder(folder, At(""), true); }), "Permission denied");
    files_->CreateFolder(At("copy"));
    files_->CopyFolder(folder, At("copy\\"), true);
    EXPECT_EQ(Read(At("copy\\Pr\xC3\xBC" "fung \xE6\x97\xA5\xE6\x9C\xAC\\\xC3\xA9t\xC3\xA9.log")), "accents");
    EXPECT_EQ(Narrow(Wide("\xF0\x9F\x93\x81 x")), "\xF0\x9F\x93\x81 x");
}

TEST_F(Win32_File_System_Test, A_Started_Program_Runs_Without_Being_Waited_For) {
    const std::string marker = At("started.txt");
    Create_Process_Starter()->Start("c:\\windows\\system32\\cmd.exe /c echo started> \"" + marker + "\"", 3);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Read(marker).find("started") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(Read(marker).find("started"), std::string::npos);

    EXPECT_EQ(Failure_Of([] { Create_Process_Starter()->Start("c:\\windows\\no-such-program.exe", 3); }),
              "File not found");
}

// Our engine stands in where no JetEngine is registered (Wine, 64-bit Windows).
TEST_F(Win32_File_System_Test, The_Engine_Compacts_A_Corpus_Database_Keeping_Its_Password) {
    const char* corpus = std::getenv("KELBROOK_CORPUS_WIN");
    if (corpus == nullptr || *corpus == '\0') GTEST_SKIP() << "KELBROOK_CORPUS_WIN (the corpus as a Windows path) is not set";
    const std::string source = At("source.mdb");
    ASSERT_TRUE(CopyFileW(Wide(std::string(corpus) + "\\testV2000.mdb").c_str(), Wide(source).c_str(), FALSE))
        << "corpus not readable at " << corpus;
    Set_Read_Only(source, false);
    const std::string destination = At("destination.mdb");
    auto engine = Create_Database_Engine();
    engine->CompactDatabase("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + source + ";Jet OLEDB:Database Password=;",
                            "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;Data Source=" + destination +
                                ";Jet OLEDB:Database Password=wexo4m;");
    // About 740 pages of which some 50 are reachable.
    EXPECT_GT(Size(destination), 4096u);
    EXPECT_LT(Size(destination) * 4, Size(source));

    // The protected copy opens with its password only.
    const std::string again = At("again.mdb");
    const std::string wrong = Failure_Of([&] {
        engine->CompactDatabase("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + destination +
                                    ";Jet OLEDB:Database Password=;",
                                "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + again + ";");
    });
    EXPECT_EQ(wrong, "Not a valid password.");
    EXPECT_FALSE(Exists(again));
    engine->CompactDatabase("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + destination +
                                ";Jet OLEDB:Database Password=wexo4m;",
                            "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + again + ";Jet OLEDB:Database Password=;");
    EXPECT_TRUE(Exists(again));

    const std::string missing = Failure_Of([&] {
        engine->CompactDatabase("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + At("none.mdb") + ";",
                                "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + At("out.mdb") + ";");
    });
    EXPECT_NE(missing.find("none.mdb"), std::string::npos) << missing;
}

}  // namespace
