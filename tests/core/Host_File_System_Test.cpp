// The host file-system service on a real folder standing for drive C:.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/File_System_Service.h"
#include "support/Temp_Drive.h"

// Fault injection: the service's unlinkat comes here first, so that a test can change the
// tree half-way through a removal, as another process might.
namespace {
std::function<void()> before_next_unlinkat;
}  // namespace

extern "C" int unlinkat(int folder, const char* name, int flags) noexcept {
    if (before_next_unlinkat) {
        const std::function<void()> hook = std::move(before_next_unlinkat);
        before_next_unlinkat = nullptr;
        hook();
    }
    return static_cast<int>(::syscall(SYS_unlinkat, folder, name, flags));
}

namespace kelbrook {
namespace {

namespace fs = std::filesystem;
using platform::File_System_Service;
using testing::Temp_Drive;

void Make_Read_Only(const fs::path& path) { fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write, fs::perm_options::remove); }

std::vector<std::string> Entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        names.push_back(fs::relative(entry.path(), folder).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Host_File_System : public ::testing::Test {
protected:
    Temp_Drive drive;
    std::unique_ptr<File_System_Service> files = platform::Create_File_System_Service();
};

// ---- failures: each with the description Windows users know, and nothing changed ----

struct Failure_Case {
    const char* name;
    std::function<void(Temp_Drive&)> setup;
    std::function<void(File_System_Service&)> call;
    const char* description;
};
void PrintTo(const Failure_Case& c, std::ostream* out) { *out << c.name; }

class Host_File_System_Failure : public ::testing::TestWithParam<Failure_Case> {};

TEST_P(Host_File_System_Failure, RaisesTheKnownDescription) {
    Temp_Drive drive;
    drive.Write("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", "live");
    drive.Write("C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb", "backup");
    drive.Make_Folder("C:\\Tarvel\\KT500\\Out");
    if (GetParam().setup) GetParam().setup(drive);
    std::vector<std::string> before = Entries(drive.Root());
    auto files = platform::Create_File_System_Service();
    try {
        GetParam().call(*files);
        ADD_FAILURE() << "no failure";
    } catch (const platform::Service_Error& failure) {
        EXPECT_STREQ(failure.what(), GetParam().description);
        EXPECT_FALSE(failure.path().empty());
    }
    EXPECT_EQ(Entries(drive.Root()), before) << "a failed call changed the drive";
    EXPECT_EQ(drive.Read("C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb"), "backup");
}

const Failure_Case failure_cases[] = {
    {"CreateFolderThatExistsInAnotherCase", {},
     [](File_System_Service& f) { f.CreateFolder("C:\\TARVEL\\kt500\\out"); }, "File already exists"},
    {"CreateFolderWithoutParent", {},
     [](File_System_Service& f) { f.CreateFolder("C:\\Tarvel\\KT500\\No Such\\Folder"); }, "Path not found"},
    {"CreateFolderOffDriveC", {}, [](File_System_Service& f) { f.CreateFolder("D:\\Out"); }, "Path not found"},
    {"DeleteMissingFolder", {}, [](File_System_Service& f) { f.DeleteFolder("C:\\Tarvel\\Gone", false); },
     "Path not found"},
    {"DeleteFolderThatIsAFile", {},
     [](File_System_Service& f) { f.DeleteFolder("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", true); },
     "Path not found"},
    {"DeleteDriveRoot", {}, [](File_System_Service& f) { f.DeleteFolder("C:\\", true); }, "Permission denied"},
    {"CopyFileMissingSource", {},
     [](File_System_Service& f) { f.CopyFile("C:\\Tarvel\\KT500\\data\\none.mdb", "C:\\Tarvel\\KT500\\Out\\", true); },
     "File not found"},
    {"CopyFileIntoMissingFolder", {},
     [](File_System_Service& f) {
         f.CopyFile("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", "C:\\Tarvel\\KT500\\Nowhere\\", true);
     },
     "Path not found"},
    {"CopyFileWithoutOverwrite", {},
     [](File_System_Service& f) {
         f.CopyFile("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", "C:\\Tarvel\\KT500\\old software\\", false);
     },
     "File already exists"},
    {"CopyFileOverReadOnlyFile",
     [](Temp_Drive& d) { Make_Read_Only(d.Host("C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb")); },
     [](File_System_Service& f) {
         f.CopyFile("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", "C:\\Tarvel\\KT500\\Old Software\\", true);
     },
     "Permission denied"},
    {"CopyFileOntoItself", {},
     [](File_System_Service& f) {
         f.CopyFile("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", "C:\\Tarvel\\KT500\\DATA\\", true);
     },
     "Permission denied"},
    {"CopyFileFromAPipe", [](Temp_Drive& d) { ::mkfifo(d.Host("C:\\Tarvel\\pipe").c_str(), 0666); },
     [](File_System_Service& f) { f.CopyFile("C:\\Tarvel\\pipe", "C:\\Tarvel\\KT500\\Out\\", true); },
     "Path/File access error"},
    {"CopyFolderMissingSource", {},
     [](File_System_Service& f) {
         f.CopyFolder("C:\\Tarvel\\KT500\\data\\Debug Files", "C:\\Tarvel\\KT500\\Out\\", true);
     },
     "Path not found"},
    {"CopyFolderIntoItself", {},
     [](File_System_Service& f) { f.CopyFolder("C:\\Tarvel\\KT500", "C:\\Tarvel\\KT500\\Out\\", true); },
     "Permission denied"},
    {"CopyOneFileMissingSource", {},
     [](File_System_Service& f) {
         f.Copy_One_File("C:\\Tarvel\\KT500\\data\\none.mdb", "C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb");
     },
     "File not found"},
    {"CopyOneFileIntoMissingFolder", {},
     [](File_System_Service& f) {
         f.Copy_One_File("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", "C:\\Tarvel\\Gone\\duvura-d-7-7.mdb");
     },
     "Path not found"},
    {"CopyOneFileOverReadOnlyFile",
     [](Temp_Drive& d) { Make_Read_Only(d.Host("C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb")); },
     [](File_System_Service& f) {
         f.Copy_One_File("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb",
                         "C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb");
     },
     "Permission denied"},
    {"CopyOneFileOverAFolder", {},
     [](File_System_Service& f) { f.Copy_One_File("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", "C:\\Tarvel\\KT500\\Out"); },
     "Permission denied"},
    {"DeleteMissingFile", {}, [](File_System_Service& f) { f.Delete_One_File("C:\\Tarvel\\KT500\\data\\gone.mdb"); },
     "File not found"},
    {"DeleteFileInMissingFolder", {},
     [](File_System_Service& f) { f.Delete_One_File("C:\\Tarvel\\Gone\\gone.mdb"); }, "File not found"},
    {"DeleteReadOnlyFile",
     [](Temp_Drive& d) { Make_Read_Only(d.Host("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb")); },
     [](File_System_Service& f) { f.Delete_One_File("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb"); },
     "Permission denied"},
    {"DeleteFileThatIsAFolder", {}, [](File_System_Service& f) { f.Delete_One_File("C:\\Tarvel\\KT500\\Out"); },
     "Permission denied"},
};

INSTANTIATE_TEST_SUITE_P(Operations, Host_File_System_Failure, ::testing::ValuesIn(failure_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- what succeeds ----

TEST_F(Host_File_System, ExistenceTestsAreCaseBlindAndTellFilesFromFolders) {
    drive.Write("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", "x");
    struct Probe {
        const char* path;
        bool file;
        bool folder;
    };
    const Probe probes[] = {
        {"C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", true, false},
        {"c:\\tarvel\\kt500\\DATA\\DUVURA-D-7-7.MDB", true, false},
        {"C:\\Tarvel\\KT500\\data", false, true},
        {"C:\\TARVEL\\KT500", false, true},
        {"C:\\", false, true},
        {"C:\\Tarvel\\KT500\\data\\duvura-d-7-7new.mdb", false, false},
        {"C:\\Tarvel\\KT500\\history\\duvura-h-7-7.mdb", false, false},
        {"D:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", false, false},
        {"C:\\Tarvel\\KT500\\data\\*.mdb", false, false},
    };
    for (const Probe& probe : probes) {
        EXPECT_EQ(files->FileExists(probe.path), probe.file) << probe.path;
        EXPECT_EQ(files->FolderExists(probe.path), probe.folder) << probe.path;
    }
}

TEST_F(Host_File_System, CreateFolderKeepsTheGivenSpellingUnderExistingOnes) {
    drive.Make_Folder("C:\\Tarvel\\KT500");
    files->CreateFolder("C:\\TARVEL\\kt500\\2014-02-13 SUPPORT_FILES");
    files->CreateFolder("C:\\Tarvel\\KT500\\2014-02-13 support_files\\Debug files\\");
    EXPECT_EQ(Entries(drive.Root()), (std::vector<std::string>{"Tarvel", "Tarvel/KT500", "Tarvel/KT500/2014-02-13 SUPPORT_FILES",
                                                              "Tarvel/KT500/2014-02-13 SUPPORT_FILES/Debug files"}));
}

TEST_F(Host_File_System, DeleteFolderRemovesEverythingInIt) {
    drive.Write("C:\\Out\\a.txt", "a");
    drive.Write("C:\\Out\\Debug files\\deep\\b.log", "b");
    drive.Make_Folder("C:\\Out\\empty");
    drive.Write("C:\\Keep\\c.txt", "c");
    files->DeleteFolder("C:\\out", false);
    EXPECT_EQ(Entries(drive.Root()), (std::vector<std::string>{"Keep", "Keep/c.txt"}));
}

TEST_F(Host_File_System, ReadOnlyFileStopsDeleteFolderHalfWay) {
    // Files go first, in name order, then subfolders: a.txt goes, m.txt stops the call.
    drive.Write("C:\\Out\\a.txt", "a");
    drive.Write("C:\\Out\\m.txt", "m");
    drive.Write("C:\\Out\\z.txt", "z");
    drive.Write("C:\\Out\\sub\\b.txt", "b");
    Make_Read_Only(drive.Host("C:\\Out\\m.txt"));
    try {
        files->DeleteFolder("C:\\Out", false);
        ADD_FAILURE() << "a read-only file did not stop DeleteFolder";
    } catch (const platform::Service_Error& failure) {
        EXPECT_STREQ(failure.what(), "Permission denied");
        EXPECT_EQ(failure.path(), "C:\\Out\\m.txt");
    }
    EXPECT_EQ(Entries(drive.Host("C:\\Out")), (std::vector<std::string>{"m.txt", "sub", "sub/b.txt", "z.txt"}));

    // Deeper down, the files above and in earlier subfolders are gone already.
    drive.Write("C:\\Deep\\a.txt", "a");
    drive.Write("C:\\Deep\\one\\x.txt", "x");
    drive.Write("C:\\Deep\\two\\r.txt", "r");
    drive.Write("C:\\Deep\\two\\s.txt", "s");
    Make_Read_Only(drive.Host("C:\\Deep\\two\\r.txt"));
    EXPECT_THROW(files->DeleteFolder("C:\\Deep", false), platform::Service_Error);
    EXPECT_EQ(Entries(drive.Host("C:\\Deep")), (std::vector<std::string>{"two", "two/r.txt", "two/s.txt"}));

    // With force the read-only file goes too.
    files->DeleteFolder("C:\\Out", true);
    EXPECT_FALSE(drive.Exists("C:\\Out"));
}

TEST_F(Host_File_System, DeleteFolderTakesLinksNotWhatTheyPointAt) {
    drive.Write("C:\\Outside\\precious.txt", "keep");
    drive.Make_Folder("C:\\Out");
    fs::create_directory_symlink(drive.Host("C:\\Outside"), drive.Host("C:\\Out\\link"));
    files->DeleteFolder("C:\\Out", false);
    EXPECT_FALSE(drive.Exists("C:\\Out"));
    EXPECT_EQ(drive.Read("C:\\Outside\\precious.txt"), "keep");
}

TEST_F(Host_File_System, CopyFileLandsInTheFolderUnderItsOwnName) {
    drive.Write("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", "new content");
    drive.Write("C:\\Out\\DUVURA-D-7-7.MDB", "old content");
    files->CopyFile("C:\\tarvel\\KT500\\data\\duvura-d-7-7.mdb", "C:\\out\\", true);
    // The existing entry's spelling wins; no second file appears.
    EXPECT_EQ(Entries(drive.Host("C:\\Out")), std::vector<std::string>{"DUVURA-D-7-7.MDB"});
    EXPECT_EQ(drive.Read("C:\\Out\\DUVURA-D-7-7.MDB"), "new content");

    EXPECT_THROW(files->CopyFile("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", "C:\\Other\\", true),
                 platform::Service_Error);  // no such folder
    EXPECT_FALSE(drive.Exists("C:\\Other"));
}

TEST_F(Host_File_System, CopyFolderFillsAFolderOfTheSameNameInAnotherCase) {
    drive.Write("C:\\Tarvel\\KT500\\data\\Debug Files\\trace.log", "trace");
    drive.Write("C:\\Tarvel\\KT500\\data\\Debug Files\\Sub\\inner.log", "inner");
    drive.Write("C:\\Tarvel\\KT500\\data\\Debug Files\\same.txt", "fresh");
    drive.Make_Folder("C:\\Tarvel\\KT500\\Day\\Debug files");
    drive.Write("C:\\Tarvel\\KT500\\Day\\Debug files\\SAME.TXT", "stale");
    files->CopyFolder("C:\\Tarvel\\KT500\\data\\Debug Files", "C:\\Tarvel\\KT500\\Day\\", true);
    EXPECT_EQ(Entries(drive.Host("C:\\Tarvel\\KT500\\Day")),
              (std::vector<std::string>{"Debug files", "Debug files/SAME.TXT", "Debug files/Sub", "Debug files/Sub/inner.log",
                                        "Debug files/trace.log"}));
    EXPECT_EQ(drive.Read("C:\\Tarvel\\KT500\\Day\\Debug files\\SAME.TXT"), "fresh");
    EXPECT_EQ(drive.Read("C:\\Tarvel\\KT500\\Day\\Debug files\\Sub\\inner.log"), "inner");

    // Into a folder that has none yet: the source's own name.
    drive.Make_Folder("C:\\Tarvel\\KT500\\Other Day");
    files->CopyFolder("C:\\TARVEL\\KT500\\DATA\\debug files", "C:\\Tarvel\\KT500\\Other Day\\", true);
    EXPECT_EQ(drive.Read("C:\\Tarvel\\KT500\\Other Day\\Debug Files\\trace.log"), "trace");
}

TEST_F(Host_File_System, CopiesKeepPermissionsAndReplaceWholeFiles) {
    drive.Write("C:\\d\\live.mdb", std::string(300000, 'L'));
    drive.Write("C:\\b\\backup.mdb", std::string(500000, 'B'));
    files->Copy_One_File("C:\\D\\LIVE.MDB", "C:\\b\\backup.mdb");
    EXPECT_EQ(drive.Read("C:\\b\\backup.mdb"), std::string(300000, 'L'));
    files->Copy_One_File("C:\\d\\live.mdb", "C:\\b\\New Name.mdb");
    EXPECT_EQ(drive.Read("C:\\b\\New Name.mdb"), std::string(300000, 'L'));
    // No temporary files stay behind.
    EXPECT_EQ(Entries(drive.Host("C:\\b")), (std::vector<std::string>{"New Name.mdb", "backup.mdb"}));
}

TEST_F(Host_File_System, CopyThatRunsOutOfSpaceLeavesTheDestinationAsItWas) {
    // The process may write no file larger than 64 KiB: every copy of the 1 MiB source
    // runs out of room half-way, as on a full disk.
    drive.Write("C:\\d\\live.mdb", std::string(1 << 20, 'L'));
    drive.Write("C:\\b\\backup.mdb", "the good backup");
    drive.Make_Folder("C:\\Out");
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    std::vector<std::string> failures;
    for (const auto& copy : std::vector<std::function<void()>>{
             [&] { files->Copy_One_File("C:\\d\\live.mdb", "C:\\b\\backup.mdb"); },
             [&] { files->CopyFile("C:\\d\\live.mdb", "C:\\b\\", true); },
             [&] { files->CopyFolder("C:\\d", "C:\\Out\\", true); }}) {
        try {
            copy();
            failures.push_back("no failure");
        } catch (const platform::Service_Error& failure) {
            failures.push_back(failure.what());
        }
    }
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(failures, (std::vector<std::string>(3, "Disk full")));
    EXPECT_EQ(drive.Read("C:\\b\\backup.mdb"), "the good backup");
    EXPECT_EQ(Entries(drive.Host("C:\\b")), std::vector<std::string>{"backup.mdb"});
    EXPECT_EQ(Entries(drive.Host("C:\\Out")), std::vector<std::string>{"d"});
}

// The lowest descriptor number that is free now: opening one more file takes it.
int Lowest_Free_Descriptor() {
    const int probe = ::dup(0);
    ::close(probe);
    return probe;
}

// A resource limit lowered for as long as the object lives.
class Lowered_Limit {
public:
    Lowered_Limit(int resource, rlim_t value) : resource_(resource) {
        getrlimit(resource_, &old_);
        rlimit lowered = old_;
        lowered.rlim_cur = value;
        setrlimit(resource_, &lowered);
    }
    ~Lowered_Limit() { setrlimit(resource_, &old_); }
    Lowered_Limit(const Lowered_Limit&) = delete;
    Lowered_Limit& operator=(const Lowered_Limit&) = delete;

private:
    int resource_;
    rlimit old_{};
};

TEST_F(Host_File_System, CopyThatCannotMakeItsTemporaryLeavesTheDestinationAsItWas) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' runtime opens descriptors of its own, so a limit on them cannot be aimed";
#endif
    // The source opens, the temporary beside the destination does not: no descriptor is
    // left for it.
    drive.Write("C:\\d\\live.mdb", std::string(100000, 'L'));
    drive.Write("C:\\b\\backup.mdb", "the good backup");
    std::vector<std::string> failures;
    for (const auto& copy : std::vector<std::function<void()>>{
             [&] { files->Copy_One_File("C:\\d\\live.mdb", "C:\\b\\backup.mdb"); },
             [&] { files->CopyFile("C:\\d\\live.mdb", "C:\\b\\BACKUP.MDB", true); },
             [&] { files->Copy_One_File("C:\\d\\live.mdb", "C:\\b\\new.mdb"); }}) {
        try {
            const Lowered_Limit limit(RLIMIT_NOFILE, static_cast<rlim_t>(Lowest_Free_Descriptor() + 1));
            copy();
            failures.push_back("no failure");
        } catch (const platform::Service_Error& failure) {
            failures.push_back(failure.what());
        }
    }
    EXPECT_EQ(failures, (std::vector<std::string>(3, "Path/File access error")));
    EXPECT_EQ(drive.Read("C:\\b\\backup.mdb"), "the good backup");
    EXPECT_EQ(Entries(drive.Host("C:\\b")), std::vector<std::string>{"backup.mdb"});
}

TEST_F(Host_File_System, ACopyKilledHalfWayLeavesATemporaryThatTheNextRunRemoves) {
    drive.Write("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb", std::string(1 << 20, 'L'));
    drive.Write("C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb", "the good backup");
    // A child process copies under a 64 KiB file size limit and is killed by the signal
    // that the limit raises, half-way through writing the temporary.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_DFL);
        rlimit small{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &small);
        try {
            files->Copy_One_File("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb",
                                 "C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb");
        } catch (...) {
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "the copy was not killed half-way";

    const std::vector<std::string> left = Entries(drive.Host("C:\\Tarvel\\KT500\\Old Software"));
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].rfind(".duvura-d-7-7.mdb.kelbrook-tmp-", 0), 0u) << left[0];
    EXPECT_EQ(left[1], "duvura-d-7-7.mdb");
    EXPECT_EQ(drive.Read("C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb"), "the good backup");

    files->Remove_Leftover_Temporaries("C:\\TARVEL\\KT500\\old software\\DUVURA-D-7-7.MDB");
    EXPECT_EQ(Entries(drive.Host("C:\\Tarvel\\KT500\\Old Software")), std::vector<std::string>{"duvura-d-7-7.mdb"});
    EXPECT_EQ(drive.Read("C:\\Tarvel\\KT500\\Old Software\\duvura-d-7-7.mdb"), "the good backup");
}

TEST_F(Host_File_System, LeftoverRemovalTakesOnlyTheFilesTemporariesAndLegacyOnes) {
    const std::string folder = "C:\\Tarvel\\KT500\\data\\";
    const std::vector<std::string> removed = {
        ".duvura-d-7-7.mdb.kelbrook-tmp-a1B2c3",
        ".DUVURA-D-7-7.MDB.KELBROOK-TMP-zz",  // names match without regard to case
        ".duvura-d-7-7.mdb.kelbrook-tmp-",
        ".kelbrook-copy-Xy12Ab",  // what older builds named their copy temporaries
        "DUVURA-D-7-7.mdb.compacting",  // what older builds' compactor named its output
    };
    const std::vector<std::string> kept_files = {
        "duvura-d-7-7.mdb",
        "duvura-d-7-7.mdb.kelbrook-tmp-1",       // no leading dot
        ".duvura-d-7-7.mdbx.kelbrook-tmp-1",     // another file's
        ".duvura-h-7-7.mdb.kelbrook-tmp-1",      // another file's
        ".duvura-d-7-7.mdb.kelbrook-tm",         // not the whole infix
        "kelbrook-copy-Xy12Ab",
        "duvura-d-7-7.mdb.compacting.old",       // not the compactor's name
        "x-duvura-d-7-7.mdb.compacting",         // another file's
    };
    for (const std::string& name : removed) drive.Write(folder + name, "leftover");
    for (const std::string& name : kept_files) drive.Write(folder + name, "keep");
    // A folder and a link of a temporary's name are no leftovers of ours.
    drive.Write(folder + ".duvura-d-7-7.mdb.kelbrook-tmp-dir\\inside.txt", "keep");
    drive.Write("C:\\Outside\\precious.mdb", "keep");
    fs::create_symlink(drive.Host("C:\\Outside\\precious.mdb"), drive.Host(folder + ".duvura-d-7-7.mdb.kelbrook-tmp-link"));
    fs::create_symlink(drive.Host("C:\\Outside\\precious.mdb"), drive.Host(folder + ".kelbrook-copy-link"));
    const std::vector<std::string> before = Entries(drive.Root());

    files->Remove_Leftover_Temporaries(folder + "Duvura-D-7-7.mdb");

    std::vector<std::string> expected;
    for (const std::string& entry : before) {
        const bool gone = std::any_of(removed.begin(), removed.end(),
                                      [&](const std::string& name) { return entry == "Tarvel/KT500/data/" + name; });
        if (!gone) expected.push_back(entry);
    }
    EXPECT_EQ(Entries(drive.Root()), expected);
    EXPECT_EQ(drive.Read("C:\\Outside\\precious.mdb"), "keep");

    // Nothing to remove, and no folder at all: neither is a failure.
    files->Remove_Leftover_Temporaries(folder + "duvura-d-7-7.mdb");
    files->Remove_Leftover_Temporaries("C:\\Tarvel\\No Such Folder\\duvura-d-7-7.mdb");
    files->Remove_Leftover_Temporaries("C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb\\below-a-file.mdb");
    EXPECT_EQ(Entries(drive.Root()), expected);
}

TEST_F(Host_File_System, CopyFolderLeavesOutLinksThatLeadOutOfIt) {
    const std::string source = "C:\\Tarvel\\KT500\\Debug Files\\";
    drive.Write(source + "a.log", "a");
    drive.Write(source + "sub\\b.log", "b");
    drive.Write("C:\\Tarvel\\Secrets\\password.txt", "secret");
    const auto link = [&](const fs::path& target, const std::string& name, bool folder) {
        if (folder)
            fs::create_directory_symlink(target, drive.Host(source + name));
        else
            fs::create_symlink(target, drive.Host(source + name));
    };
    link(drive.Host("C:\\Tarvel\\Secrets\\password.txt"), "outside-file.txt", false);
    link(drive.Host("C:\\Tarvel\\Secrets"), "outside-folder", true);
    link("../../Secrets/password.txt", "relative-outside.txt", false);
    link("/etc/passwd", "system-file", false);
    link("a.log", "inside-file.log", false);         // copied as the file it names
    link("sub", "inside-folder", true);               // the folder is copied under its own name
    link("..", "parent", true);                       // would copy without end
    link(".", "self", true);
    link("no-such-file", "dangling", false);
    link("sub/../../Debug Files/sub/b.log", "winding.log", false);

    drive.Make_Folder("C:\\Out");
    files->CopyFolder(source, "C:\\Out\\", true);
    EXPECT_EQ(Entries(drive.Host("C:\\Out")),
              (std::vector<std::string>{"Debug Files", "Debug Files/a.log", "Debug Files/inside-file.log", "Debug Files/sub",
                                        "Debug Files/sub/b.log", "Debug Files/winding.log"}));
    EXPECT_EQ(drive.Read("C:\\Out\\Debug Files\\inside-file.log"), "a");
    EXPECT_FALSE(fs::is_symlink(drive.Host("C:\\Out\\Debug Files\\inside-file.log")));
    EXPECT_EQ(drive.Read("C:\\Out\\Debug Files\\winding.log"), "b");

    // A link in the target where the copy's folder would go is not written through.
    drive.Make_Folder("C:\\Elsewhere");
    drive.Make_Folder("C:\\Out2");
    fs::create_directory_symlink(drive.Host("C:\\Elsewhere"), drive.Host("C:\\Out2\\Debug Files"));
    EXPECT_THROW(files->CopyFolder(source, "C:\\Out2\\", true), platform::Service_Error);
    EXPECT_EQ(Entries(drive.Host("C:\\Elsewhere")), std::vector<std::string>{});
}

TEST_F(Host_File_System, DeleteFolderRemovesLinksDeepInTheTreeAndNotWhatTheyPointAt) {
    drive.Write("C:\\Outside\\precious.txt", "keep");
    drive.Write("C:\\Outside\\deeper\\more.txt", "keep too");
    drive.Write("C:\\Out\\one\\two\\file.txt", "x");
    fs::create_directory_symlink(drive.Host("C:\\Outside"), drive.Host("C:\\Out\\one\\two\\to-folder"));
    fs::create_symlink(drive.Host("C:\\Outside\\precious.txt"), drive.Host("C:\\Out\\one\\to-file"));
    fs::create_directory_symlink(drive.Host("C:\\Out"), drive.Host("C:\\Out\\one\\two\\loop"));
    Make_Read_Only(drive.Host("C:\\Outside\\precious.txt"));
    // A read-only file outside the tree does not stop the removal: only the link goes.
    files->DeleteFolder("C:\\Out", false);
    EXPECT_FALSE(drive.Exists("C:\\Out"));
    EXPECT_EQ(Entries(drive.Host("C:\\Outside")), (std::vector<std::string>{"deeper", "deeper/more.txt", "precious.txt"}));
    EXPECT_EQ(drive.Read("C:\\Outside\\precious.txt"), "keep");
}

TEST_F(Host_File_System, AFolderSwappedForALinkDuringDeleteFolderIsNotFollowed) {
    drive.Write("C:\\Out\\sub\\inner.txt", "inner");
    drive.Write("C:\\Out\\z.txt", "z");
    drive.Write("C:\\Outside\\precious.txt", "keep");
    drive.Write("C:\\Outside\\deeper\\more.txt", "keep too");
    // Once the removal has looked at sub and taken it for a folder (and goes on to remove
    // z.txt), sub becomes a link to Outside: the removal must not go through it.
    before_next_unlinkat = [&] {
        fs::rename(drive.Host("C:\\Out\\sub"), drive.Host("C:\\Parked"));
        fs::create_directory_symlink(drive.Host("C:\\Outside"), drive.Host("C:\\Out\\sub"));
    };
    try {
        files->DeleteFolder("C:\\Out", true);
        ADD_FAILURE() << "the swapped folder went unnoticed";
    } catch (const platform::Service_Error& failure) {
        EXPECT_STREQ(failure.what(), "Path not found");
        EXPECT_EQ(failure.path(), "C:\\Out\\sub");
    }
    EXPECT_FALSE(before_next_unlinkat) << "the removal never unlinked anything";
    EXPECT_EQ(Entries(drive.Host("C:\\Outside")), (std::vector<std::string>{"deeper", "deeper/more.txt", "precious.txt"}));
    EXPECT_TRUE(fs::is_symlink(drive.Host("C:\\Out\\sub")));
}

TEST_F(Host_File_System, AFolderMountedInsideItselfStopsTheCopyInsteadOfLooping) {
    drive.Write("C:\\Tree\\a.txt", "a");
    drive.Make_Folder("C:\\Tree\\mirror");
    drive.Make_Folder("C:\\Out");
    // In a child with mounts of its own, Tree is mounted again at Tree\mirror: no link,
    // a real folder that contains itself.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(drive.Host("C:\\Tree").c_str(), drive.Host("C:\\Tree\\mirror").c_str(), nullptr, MS_BIND, nullptr) != 0)
            ::_exit(77);
        try {
            files->CopyFolder("C:\\Tree", "C:\\Out\\", true);
        } catch (const platform::Service_Error& failure) {
            const bool expected = std::string(failure.what()) == "Path/File access error" && failure.path() == "C:\\Tree\\mirror";
            if (!expected) std::fprintf(stderr, "%s: %s\n", failure.path().c_str(), failure.what());
            ::_exit(expected ? 0 : 2);
        }
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "this process may not mount folders (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the copy ended without failing, 2: it failed otherwise";
}

std::size_t Open_Descriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

TEST_F(Host_File_System, NoDescriptorOutlivesACallThatWorkedOrFailed) {
    drive.Write("C:\\Tree\\a.txt", "a");
    drive.Write("C:\\Tree\\one\\two\\b.txt", "b");
    drive.Write("C:\\Tree\\one\\locked.txt", "locked");
    Make_Read_Only(drive.Host("C:\\Tree\\one\\locked.txt"));
    fs::create_symlink(drive.Host("C:\\Tree\\a.txt"), drive.Host("C:\\Tree\\one\\link.txt"));
    drive.Make_Folder("C:\\Out");
    const std::size_t before = Open_Descriptors();
    const std::vector<std::function<void()>> calls = {
        [&] { files->CopyFolder("C:\\Tree", "C:\\Out\\", true); },
        [&] { files->CopyFolder("C:\\Tree", "C:\\Out\\", false); },  // fails: files there
        [&] { files->Copy_One_File("C:\\Tree\\a.txt", "C:\\Out\\a.txt"); },
        [&] { files->Copy_One_File("C:\\Tree\\none.txt", "C:\\Out\\a.txt"); },
        [&] { files->Remove_Leftover_Temporaries("C:\\Out\\a.txt"); },
        [&] { files->DeleteFolder("C:\\Tree", false); },  // fails deep down at locked.txt
        [&] { files->DeleteFolder("C:\\Tree", true); },
    };
    for (const auto& call : calls) {
        try {
            call();
        } catch (const platform::Service_Error&) {
        }
        EXPECT_EQ(Open_Descriptors(), before);
    }
    EXPECT_FALSE(drive.Exists("C:\\Tree"));
}

TEST_F(Host_File_System, DeleteOneFileIsCaseBlind) {
    drive.Write("C:\\Tarvel\\KT500\\data\\duvura-d-7-7new.mdb", "n");
    files->Delete_One_File("C:\\TARVEL\\KT500\\DATA\\DUVURA-D-7-7NEW.MDB");
    EXPECT_FALSE(drive.Exists("C:\\Tarvel\\KT500\\data\\duvura-d-7-7new.mdb"));
    EXPECT_TRUE(drive.Exists("C:\\Tarvel\\KT500\\data"));
}

}  // namespace
}  // namespace kelbrook
