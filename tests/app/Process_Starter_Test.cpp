// Starting the file manager on Linux: the Windows command line read as the file manager
// reads it, mapped to the desktop's opener and the host's folder, started detached.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/Drive_Mapping.h"
#include "platform/File_System_Service.h"
#include "platform/Process_Starter.h"
#include "platform/posix/Process_Starter_Posix.h"

namespace kelbrook::platform {
namespace {

namespace fs = std::filesystem;
using Arguments = std::vector<std::string>;

struct Split_Case {
    std::string Command_Line;
    Arguments Expected;
};

TEST(Split_Command_Line, ReadsAsTheFileManagerDoes) {
    const std::vector<Split_Case> cases{
        {"c:\\windows\\explorer.exe \"C:\\Tarvel\\KT500\\\"", {"c:\\windows\\explorer.exe", "C:\\Tarvel\\KT500\\"}},
        {"\"C:\\Program Files\\x.exe\"  /n,  \"C:\\a b\\\"", {"C:\\Program Files\\x.exe", "/n,", "C:\\a b\\"}},
        {"  one\ttwo  ", {"one", "two"}},
        {"\"\" x", {"", "x"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"unterminated quote", {"unterminated quote"}},
        {"", {}},
        {"   ", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(Split_Command_Line(c.Command_Line), c.Expected) << c.Command_Line;
}

class Starting : public ::testing::Test {
protected:
    fs::path Folder;
    std::string Old_Path;

    void SetUp() override {
        std::random_device random;
        Folder = fs::temp_directory_path() / ("kelbrook-start-" + std::to_string(random()));
        fs::create_directories(Folder / "drive_c" / "Tarvel" / "KT500");
        fs::create_directories(Folder / "bin");
        Set_Drive_C_Folder(Folder / "drive_c");
        Old_Path = std::getenv("PATH") ? std::getenv("PATH") : "";
    }
    void TearDown() override {
        ::setenv("PATH", Old_Path.c_str(), 1);
        Set_Drive_C_Folder(std::nullopt);
        fs::remove_all(Folder);
    }

    // A stand-in opener on PATH that records its arguments and its session.
    void Install_Opener(bool executable = true) {
        const fs::path opener = Folder / "bin" / "xdg-open";
        std::ofstream(opener) << "#!/bin/sh\n"
                                 "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '"
                              << (Folder / "args.tmp").string() << "'\n"
                              << "cut -d' ' -f6 /proc/$$/stat >> '" << (Folder / "args.tmp").string() << "'\n"
                              << "mv '" << (Folder / "args.tmp").string() << "' '" << (Folder / "args").string()
                              << "'\n";
        fs::permissions(opener, executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
        ::setenv("PATH", ((Folder / "bin").string() + ":/usr/bin:/bin").c_str(), 1);
    }

    std::vector<std::string> Recorded() {
        const fs::path file = Folder / "args";
        for (int i = 0; i < 500 && !fs::exists(file); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(file);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

TEST_F(Starting, FileManagerBecomesTheOpenerOnTheHostFolder) {
    const Arguments host = Host_Command({"C:\\WINDOWS\\Explorer.EXE", "C:\\Tarvel\\KT500\\", "/e"});
    EXPECT_EQ(host, (Arguments{"xdg-open", (Folder / "drive_c" / "Tarvel" / "KT500").string() + "/", "/e"}));
}

TEST_F(Starting, StartsDetachedWithoutWaiting) {
    Install_Opener();
    Create_Process_Starter()->Start("c:\\windows\\explorer.exe \"C:\\Tarvel\\KT500\\\"", Show_Maximized);
    const std::vector<std::string> lines = Recorded();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], (Folder / "drive_c" / "Tarvel" / "KT500").string() + "/");
    EXPECT_NE(lines[1], std::to_string(::getsid(0))) << "the opener runs in a session of its own";
}

TEST_F(Starting, AMissingOrUnusableOpenerIsAFailureNamingIt) {
    ::setenv("PATH", (Folder / "bin").string().c_str(), 1);
    auto starter = Create_Process_Starter();
    for (bool installed : {false, true}) {
        if (installed) Install_Opener(false);
        try {
            starter->Start("c:\\windows\\explorer.exe \"C:\\Tarvel\\KT500\\\"", Show_Maximized);
            ADD_FAILURE() << "started an opener that cannot run";
        } catch (const Service_Error& error) {
            EXPECT_NE(std::string(error.what()).find("xdg-open"), std::string::npos) << error.what();
        }
    }
    EXPECT_THROW(starter->Start("", Show_Maximized), Service_Error);
    EXPECT_THROW(starter->Start("\"C:\\Tarvel\\KT500\\no such program\"", Show_Maximized), Service_Error);
}

}  // namespace
}  // namespace kelbrook::platform
