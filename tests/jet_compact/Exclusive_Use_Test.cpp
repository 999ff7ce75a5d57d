// Exclusive use of a database against other processes that use it the way Jet under Wine
// does (a 1-byte user lock on the .ldb beside it, the .mdb open for reading and writing),
// and the compactor's refusal to overwrite a destination.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Compact_Test_Support.h"
#include "support/Temp_Drive.h"
#include "jet/engine/Compactor.h"
#include "jet/util/Error.h"
#include "jet/file/Exclusive_Use.h"
#include "jet/file/File_Output.h"
#include "jet/file/Format.h"
#include "jet/generator/Generator.h"
#include "platform/Our_Database_Engine.h"

namespace kelbrook {
namespace {

namespace fs = std::filesystem;
namespace f = jet::format;

// Another process that opens a database as Jet does in shared mode: the .mdb read-write,
// the lock file opened (made when missing) and one byte locked without waiting. It keeps
// both until the object goes.
class Jet_User {
public:
    Jet_User(const fs::path& database, const fs::path& lock_file, std::uint64_t byte) {
        int ready[2], stop[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(stop, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        const std::string mdb = database.string(), ldb = lock_file.string();
        child_ = ::fork();
        if (child_ < 0) throw std::runtime_error("fork");
        if (child_ == 0) {  // only async-signal-safe calls from here on
            ::close(ready[0]);
            ::close(stop[1]);
            const int data = ::open(mdb.c_str(), O_RDWR);
            const int lock = ::open(ldb.c_str(), O_RDWR | O_CREAT, 0666);
            struct flock range {};
            range.l_type = F_WRLCK;
            range.l_whence = SEEK_SET;
            range.l_start = static_cast<off_t>(byte);
            range.l_len = 1;
            const char got = data >= 0 && lock >= 0 && ::fcntl(lock, F_SETLK, &range) == 0 ? 'L' : 'F';
            if (::write(ready[1], &got, 1) != 1) ::_exit(2);
            char ignored;
            while (::read(stop[0], &ignored, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(stop[0]);
        stop_ = stop[1];
        char got = 'F';
        if (::read(ready[0], &got, 1) != 1) got = 'F';
        ::close(ready[0]);
        locked_ = got == 'L';
    }
    ~Jet_User() {
        ::close(stop_);
        int status = 0;
        ::waitpid(child_, &status, 0);
    }
    Jet_User(const Jet_User&) = delete;
    Jet_User& operator=(const Jet_User&) = delete;

    bool Locked() const { return locked_; }

private:
    pid_t child_ = -1;
    int stop_ = -1;
    bool locked_ = false;
};

int Open_Descriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// A small database made by our generator, once for all tests (each copies it); removed
// when the test program ends.
const fs::path& Sample_Database() {
    struct Sample {
        fs::path path = fs::temp_directory_path() / ("kelbrook_exclusive_sample_" + std::to_string(::getpid()) + ".mdb");
        Sample() {
            fs::remove(path);
            jet::Generate_Options options;
            options.rows = 40;
            jet::Generate_Database(options, path);
        }
        ~Sample() {
            std::error_code ignored;
            fs::remove(path, ignored);
        }
    };
    static const Sample sample;
    return sample.path;
}

class Exclusive_Use_Test : public test::Scratch_Test {
protected:
    void SetUp() override {
        Scratch_Test::SetUp();
        database = dir / "data.mdb";
        lock_file = dir / "data.ldb";
        destination = dir / "compacted.mdb";
        fs::copy_file(Sample_Database(), database);
        original = test::Read_All(database);
    }

    jet::Compact_Result Compact(const jet::Compact_Options& options = {}) {
        return jet::CompactDatabase(test::Source_String(database), test::Destination_String(destination), options);
    }
    // The error CompactDatabase throws, or nothing.
    std::optional<jet::Error> Compact_Error(const jet::Compact_Options& options = {}) {
        try {
            Compact(options);
        } catch (const jet::Error& e) {
            return e;
        }
        return std::nullopt;
    }
    // Whether another process could take Jet's user lock at `byte` now.
    bool Jet_Could_Lock(std::uint64_t byte) { return Jet_User(database, lock_file, byte).Locked(); }
    std::string In_Use_Text() const { return "Could not use '" + database.string() + "'; file already in use."; }
    bool Has_Temporaries() const {
        for (const auto& name : Files())
            if (name.find(jet::Temporary_Infix) != std::string::npos) return true;
        return false;
    }

    fs::path database, lock_file, destination;
    std::vector<std::uint8_t> original;
};

// ---- A Jet user's lock refuses compaction ---------------------------------------------

class Held_Byte_Test : public Exclusive_Use_Test, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(Held_Byte_Test, CompactionRefusesAndWritesNothing) {
    Jet_User user(database, lock_file, GetParam());
    ASSERT_TRUE(user.Locked());
    const auto error = Compact_Error();
    ASSERT_TRUE(error.has_value()) << "compacted a database another process holds";
    EXPECT_EQ(error->kind(), jet::Error_Kind::In_Use);
    EXPECT_EQ(std::string(error->what()), In_Use_Text());
    EXPECT_EQ(Files(), (std::vector<std::string>{"data.ldb", "data.mdb"}));  // no destination, no temporary
    EXPECT_EQ(test::Read_All(database), original);
}

INSTANTIATE_TEST_SUITE_P(UserLocks, Held_Byte_Test,
                         ::testing::Values(f::Lock_First_User_Byte,       // the first shared user
                                           f::Lock_First_User_Byte + 1,   // the second
                                           f::Lock_First_User_Byte + 63,  // the 64th
                                           f::Lock_Exclusive_Byte + f::Lock_User_Slots,  // the last slot
                                           f::Lock_Exclusive_Byte));      // an exclusive opener

TEST_F(Exclusive_Use_Test, LockFileSpelledInOtherCaseIsTheLockFile) {
    Jet_User user(database, dir / "DATA.LDB", f::Lock_First_User_Byte);
    ASSERT_TRUE(user.Locked());
    const auto error = Compact_Error();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), jet::Error_Kind::In_Use);
    EXPECT_EQ(Files(), (std::vector<std::string>{"DATA.LDB", "data.mdb"}));
}

// Locks beside the user-lock range are not users (Jet takes its other locks only with a
// user lock held).
TEST_F(Exclusive_Use_Test, LocksOutsideTheUserRangeDoNotStopCompaction) {
    for (const std::uint64_t byte : {f::Lock_Exclusive_Byte - 1, f::Lock_Exclusive_Byte + f::Lock_User_Range}) {
        fs::remove(destination);
        Jet_User other(database, lock_file, byte);
        ASSERT_TRUE(other.Locked());
        EXPECT_NO_THROW(Compact()) << std::hex << byte;
        EXPECT_TRUE(fs::exists(lock_file));  // not ours to remove
    }
}

// ---- Lock files -----------------------------------------------------------------------

TEST_F(Exclusive_Use_Test, StaleLockFileIsUsedAndLeftAsFound) {
    std::vector<std::uint8_t> record(f::Lock_Record_Size, 0);
    const std::string computer = "LAB-PC", user = "Admin";
    std::copy(computer.begin(), computer.end(), record.begin());
    std::copy(user.begin(), user.end(), record.begin() + f::Lock_Record_Name_Size);
    test::Write_All(lock_file, record);
    EXPECT_NO_THROW(Compact());
    EXPECT_TRUE(fs::exists(destination));
    EXPECT_EQ(test::Read_All(lock_file), record);
}

TEST_F(Exclusive_Use_Test, LockFileWeMadeIsRemovedAndHeldMeanwhile) {
    bool held_during = false, blocked_during = false;
    jet::Compact_Options options;
    options.progress = [&](double share) {
        if (share > 0.5 && !held_during) {
            held_during = fs::exists(lock_file);
            blocked_during = !Jet_Could_Lock(f::Lock_First_User_Byte);
        }
    };
    EXPECT_NO_THROW(Compact(options));
    EXPECT_TRUE(held_during);
    EXPECT_TRUE(blocked_during);
    EXPECT_FALSE(fs::exists(lock_file));
    EXPECT_TRUE(Jet_Could_Lock(f::Lock_First_User_Byte));
}

// ---- Our hold keeps Jet users out -----------------------------------------------------

TEST_F(Exclusive_Use_Test, HoldKeepsJetUsersOutUntilReleased) {
    {
        jet::Exclusive_Use hold(database, "C:\\data\\data.mdb");
        EXPECT_EQ(hold.Lock_File(), lock_file);
        EXPECT_TRUE(hold.Made_Lock_File());
        EXPECT_FALSE(Jet_Could_Lock(f::Lock_First_User_Byte));
        EXPECT_FALSE(Jet_Could_Lock(f::Lock_Exclusive_Byte));
        hold.Release_File();  // the lock file's locks stay
        EXPECT_FALSE(Jet_Could_Lock(f::Lock_Exclusive_Byte + f::Lock_User_Slots));
    }
    EXPECT_TRUE(Jet_Could_Lock(f::Lock_First_User_Byte));
}

// A second hold in the same process shares the first: letting it go (and with it any
// descriptor it had) must not drop the locks the first still needs.
TEST_F(Exclusive_Use_Test, SecondHoldInProcessSharesTheFirst) {
    jet::Exclusive_Use outer(database, database.string());
    {
        jet::Exclusive_Use inner(database, database.string());
        EXPECT_FALSE(Jet_Could_Lock(f::Lock_First_User_Byte));
    }
    EXPECT_FALSE(Jet_Could_Lock(f::Lock_First_User_Byte));
    EXPECT_NO_THROW(Compact());  // the compactor's own hold shares it too
    EXPECT_FALSE(Jet_Could_Lock(f::Lock_First_User_Byte));
    EXPECT_TRUE(fs::exists(lock_file));  // still the outer hold's
}

TEST_F(Exclusive_Use_Test, MissingDatabaseIsNotFound) {
    try {
        jet::Exclusive_Use hold(dir / "absent.mdb", "C:\\absent.mdb");
        FAIL() << "held a database that is not there";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::Error_Kind::Not_Found);
        EXPECT_EQ(std::string(e.what()), "Could not find file 'C:\\absent.mdb'.");
    }
    EXPECT_FALSE(fs::exists(dir / "absent.ldb"));
}

// A lock file name that can be neither opened nor made ends in an error, not a loop.
TEST_F(Exclusive_Use_Test, DanglingLinkAsLockFileIsAnErrorNotAHang) {
    fs::create_symlink(dir / "nowhere" / "data.ldb", lock_file);
    try {
        jet::Exclusive_Use hold(database, "C:\\data.mdb");
        FAIL() << "held a database whose lock file cannot be made";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::Error_Kind::IO);
        EXPECT_NE(std::string(e.what()).find("data.ldb"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(fs::is_symlink(lock_file));
}

TEST_F(Exclusive_Use_Test, FailedHoldsLeakNoDescriptors) {
    Jet_User user(database, lock_file, f::Lock_First_User_Byte);
    ASSERT_TRUE(user.Locked());
    const int before = Open_Descriptors();
    for (int i = 0; i < 200; ++i) {
        EXPECT_THROW(jet::Exclusive_Use(database, "x"), jet::Error);
        EXPECT_THROW(Compact(), jet::Error);
        EXPECT_THROW(jet::Exclusive_Use(dir / "absent" / "x.mdb", "y"), jet::Error);
    }
    EXPECT_EQ(Open_Descriptors(), before);
    EXPECT_FALSE(Has_Temporaries());
}

// ---- The destination is never overwritten ---------------------------------------------

TEST_F(Exclusive_Use_Test, ExistingDestinationIsLeftAlone) {
    test::Write_All(destination, {'k', 'e', 'e', 'p'});
    const auto error = Compact_Error();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), jet::Error_Kind::Exists);
    EXPECT_EQ(std::string(error->what()), "Database already exists.");
    EXPECT_EQ(test::Read_All(destination), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(Files(), (std::vector<std::string>{"compacted.mdb", "data.mdb"}));
}

TEST_F(Exclusive_Use_Test, DestinationAppearingDuringCompactionIsNeverReplaced) {
    jet::Compact_Options options;
    bool written = false;
    options.progress = [&](double share) {
        if (share >= 0.95 && !written) {  // after the check, right before the rename
            test::Write_All(destination, {'n', 'e', 'w'});
            written = true;
        }
    };
    const auto error = Compact_Error(options);
    ASSERT_TRUE(written);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), jet::Error_Kind::Exists);
    EXPECT_EQ(test::Read_All(destination), (std::vector<std::uint8_t>{'n', 'e', 'w'}));
    EXPECT_EQ(Files(), (std::vector<std::string>{"compacted.mdb", "data.mdb"}));  // no temporary, no lock file
}

struct Rename_Case {
    const char* name;
    bool destination_exists;
};

class Rename_Test : public test::Scratch_Test, public ::testing::WithParamInterface<Rename_Case> {};

TEST_P(Rename_Test, RenamesOnlyOntoNothing) {
    const fs::path from = dir / ".to.mdb.kelbrook-tmp-1", to = dir / "to.mdb";
    test::Write_All(from, {'a'});
    if (GetParam().destination_exists) test::Write_All(to, {'b'});
    try {
        jet::Rename_Without_Replacing(from, to);
        EXPECT_FALSE(GetParam().destination_exists);
        EXPECT_FALSE(fs::exists(from));
        EXPECT_EQ(test::Read_All(to), std::vector<std::uint8_t>{'a'});
    } catch (const jet::Error& e) {
        EXPECT_TRUE(GetParam().destination_exists) << e.what();
        EXPECT_EQ(e.kind(), jet::Error_Kind::Exists);
        EXPECT_EQ(test::Read_All(from), std::vector<std::uint8_t>{'a'});
        EXPECT_EQ(test::Read_All(to), std::vector<std::uint8_t>{'b'});
    }
}

INSTANTIATE_TEST_SUITE_P(Destinations, Rename_Test,
                         ::testing::Values(Rename_Case{"Absent", false}, Rename_Case{"Present", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Temporary_Name, IsHiddenBesideTheDestinationAndUnique) {
    const fs::path destination = "/some/folder/duvura-d-7-7new.mdb";
    const fs::path a = jet::Temporary_Path_For(destination), b = jet::Temporary_Path_For(destination);
    EXPECT_EQ(a.parent_path(), destination.parent_path());
    EXPECT_EQ(a.filename().string().rfind(".duvura-d-7-7new.mdb" + std::string(jet::Temporary_Infix), 0), 0u);
    EXPECT_NE(a, b);
}

// ---- Our engine behind the platform's interface ---------------------------------------

class Engine_Hold_Test : public ::testing::Test {
protected:
    void SetUp() override {
        drive.Make_Folder("C:\\Tarvel\\data");
        fs::copy_file(Sample_Database(), drive.Host(Data_Source));
    }
    static constexpr const char* Data_Source = "C:\\Tarvel\\data\\duvura-d-7-7.mdb";
    std::string Connection() const { return std::string("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=") + Data_Source + ";"; }
    fs::path Host() const { return drive.Host(Data_Source); }
    fs::path Lock() const { return drive.Host("C:\\Tarvel\\data\\duvura-d-7-7.ldb"); }

    testing::Temp_Drive drive;
    platform::Our_Database_Engine engine;
};

TEST_F(Engine_Hold_Test, RefusedWithJetsTextWhileTheInstrumentHasItOpen) {
    Jet_User instrument(Host(), Lock(), f::Lock_First_User_Byte);
    ASSERT_TRUE(instrument.Locked());
    try {
        engine.Hold_Exclusive(Connection());
        FAIL() << "held a database the instrument has open";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::Error_Kind::In_Use);
        EXPECT_EQ(std::string(e.what()), std::string("Could not use '") + Data_Source + "'; file already in use.");
    }
}

TEST_F(Engine_Hold_Test, HoldKeepsTheInstrumentOutAndCompactionStillWorks) {
    auto hold = engine.Hold_Exclusive(Connection());
    EXPECT_FALSE(Jet_User(Host(), Lock(), f::Lock_First_User_Byte).Locked());
    engine.CompactDatabase(Connection(), "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\Tarvel\\data\\duvura-d-7-7new.mdb;");
    EXPECT_NO_THROW(engine.Verify_Database("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\Tarvel\\data\\duvura-d-7-7new.mdb;"));
    hold->Release_File();
    EXPECT_FALSE(Jet_User(Host(), Lock(), f::Lock_First_User_Byte).Locked());
    hold.reset();
    EXPECT_FALSE(fs::exists(Lock()));
    EXPECT_TRUE(Jet_User(Host(), Lock(), f::Lock_First_User_Byte).Locked());
}

TEST_F(Engine_Hold_Test, VerifyRejectsADamagedDatabase) {
    // The last page cut off: whatever referred to it now points past the end.
    const auto size = fs::file_size(Host());
    fs::resize_file(Host(), size - f::Page_Size);
    try {
        engine.Verify_Database(Connection());
        FAIL() << "a damaged database passed";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::Error_Kind::Corrupt);
        EXPECT_NE(std::string(e.what()), "");
    }
    try {
        engine.Verify_Database("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\Tarvel\\data\\absent.mdb;");
        FAIL() << "a missing database passed";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::Error_Kind::Not_Found);
    }
}

}  // namespace
}  // namespace kelbrook
