// Windows paths on drive C: as host paths: case-blind lookup, existing spelling wins,
// new names keep theirs, "." and ".." never climb above C:\, other drives refused.

#include "platform/Drive_Mapping.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/File_System_Service.h"
#include "support/Temp_Drive.h"

namespace kelbrook {
namespace {

using testing::Temp_Drive;

struct Mapping_Case {
    const char* path;
    const char* host;  // relative to drive C:'s folder
};
void PrintTo(const Mapping_Case& c, std::ostream* out) { *out << c.path; }

class Drive_Mapping_Lookup : public ::testing::TestWithParam<Mapping_Case> {};

TEST_P(Drive_Mapping_Lookup, ResolvesAgainstExistingEntries) {
    Temp_Drive drive;
    drive.Write("C:\\Tarvel\\KT500\\data\\Debug Files\\x.log", "x");
    drive.Make_Folder("C:\\Tarvel\\KT500\\Old Software");
    const std::string host = GetParam().host;
    EXPECT_EQ(platform::To_Host_Path(GetParam().path), host.empty() ? drive.Root() : drive.Root() / host);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Drive_Mapping_Lookup,
    ::testing::Values(Mapping_Case{"C:\\Tarvel\\KT500\\data", "Tarvel/KT500/data"},
                      Mapping_Case{"c:\\TARVEL\\kt500\\DATA\\debug files\\X.LOG", "Tarvel/KT500/data/Debug Files/x.log"},
                      Mapping_Case{"C:\\tarvel\\kt500\\New Folder\\Sub", "Tarvel/KT500/New Folder/Sub"},
                      Mapping_Case{"C:/Tarvel/KT500/", "Tarvel/KT500"},
                      Mapping_Case{"C:\\Tarvel\\\\KT500\\old software\\", "Tarvel/KT500/Old Software"},
                      Mapping_Case{"C:\\..\\..\\Tarvel\\.\\KT500\\..\\KT500", "Tarvel/KT500"},
                      Mapping_Case{"C:\\Tarvel\\KT500\\data. ", "Tarvel/KT500/data"},
                      Mapping_Case{"C:\\", ""}));

TEST(Drive_Mapping, RefusesPathsOffDriveC) {
    Temp_Drive drive;
    for (const char* path : {"", "C", "D:\\Tarvel", "Tarvel\\KT500", "\\\\server\\share\\x", "C:\\a*b", "C:\\a?b",
                             "C:\\data\\file.mdb:stream"}) {
        try {
            platform::To_Host_Path(path);
            ADD_FAILURE() << "no failure for \"" << path << "\"";
        } catch (const platform::Service_Error& failure) {
            EXPECT_STREQ(failure.what(), "Path not found") << path;
            EXPECT_EQ(failure.path(), path);
        }
    }
}

TEST(Drive_Mapping, ExactSpellingWinsWhenTheHostHoldsSeveral) {
    Temp_Drive drive;
    drive.Make_Folder("C:\\Out\\Debug Files");
    drive.Make_Folder("C:\\Out\\Debug files");
    EXPECT_EQ(platform::To_Host_Path("C:\\Out\\Debug files"), drive.Root() / "Out/Debug files");
    EXPECT_EQ(platform::To_Host_Path("C:\\Out\\Debug Files"), drive.Root() / "Out/Debug Files");
    // Neither spelled as given: the first in byte order, whatever the listing order.
    EXPECT_EQ(platform::To_Host_Path("C:\\Out\\DEBUG FILES"), drive.Root() / "Out/Debug Files");
}

TEST(Drive_Mapping, NamesMatchWithoutRegardToCase) {
    struct Pair {
        const char* a;
        const char* b;
        bool match;
    };
    const Pair pairs[] = {
        {"Debug Files", "debug files", true},
        {"duvura-d-7-7.mdb", "DUVURA-D-7-7.MDB", true},
        {"\xC3\x84rger", "\xC3\xA4RGER", true},                  // Ärger / äRGER
        {"\xD0\x9F\xD1\x80\xD0\xB8", "\xD0\xBF\xD0\xA0\xD0\x98", true},  // При / пРИ
        {"\xC5\x81\xC3\xB3" "d\xC5\xBA", "\xC5\x82\xC3\x93" "D\xC5\xB9", true},  // Łódź / łÓDŹ
        {"abc", "abd", false},
        {"abc", "abcd", false},
        {"stra\xC3\x9F" "e", "strasse", false},
        {"\xFF", "\xFE", false},  // bytes that are no UTF-8 match themselves only
        {"\xFF", "\xFF", true},
        {"", "", true},
    };
    for (const Pair& pair : pairs) {
        EXPECT_EQ(platform::Names_Match(pair.a, pair.b), pair.match) << pair.a << " / " << pair.b;
        EXPECT_EQ(platform::Names_Match(pair.b, pair.a), pair.match) << pair.b << " / " << pair.a;
    }
}

TEST(Drive_Mapping, NamePrefixesMatchWithoutRegardToCase) {
    struct Case {
        const char* name;
        const char* prefix;
        bool match;
    };
    const Case cases[] = {
        {".duvura-d-7-7.mdb.kelbrook-tmp-a1B2c3", ".DUVURA-D-7-7.MDB.kelbrook-tmp-", true},
        {".\xC3\x84rger.mdb.kelbrook-tmp-x", ".\xC3\xA4RGER.MDB.kelbrook-tmp-", true},  // Ärger / äRGER
        {".duvura-d-7-7.mdb.kelbrook-tmp-", ".duvura-d-7-7.mdb.kelbrook-tmp-", true},
        {".duvura-d-7-7.mdb.kelbrook-tm", ".duvura-d-7-7.mdb.kelbrook-tmp-", false},
        {".duvura-d-7-7.mdbx.kelbrook-tmp-1", ".duvura-d-7-7.mdb.kelbrook-tmp-", false},
        {"duvura-d-7-7.mdb.kelbrook-tmp-1", ".duvura-d-7-7.mdb.kelbrook-tmp-", false},
        {"\xC3\x84", "\xC3", false},  // half a character is no prefix of it
        {"anything", "", true},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::Name_Starts_With(c.name, c.prefix), c.match) << c.name << " / " << c.prefix;
}

TEST(Drive_Mapping, DefaultFollowsTheBuildOrWine) {
    platform::Set_Drive_C_Folder(std::nullopt);
    const std::string built_in = KELBROOK_TEST_DRIVE_C;
    const char* old_prefix = std::getenv("WINEPREFIX");
    const std::string saved = old_prefix != nullptr ? old_prefix : "";
    setenv("WINEPREFIX", "/tmp/some-prefix", 1);
    const std::filesystem::path with_prefix = platform::Drive_C_Folder();
    unsetenv("WINEPREFIX");
    const std::filesystem::path without_prefix = platform::Drive_C_Folder();
    if (old_prefix != nullptr) setenv("WINEPREFIX", saved.c_str(), 1);

    if (!built_in.empty()) {
        EXPECT_EQ(with_prefix, std::filesystem::path(built_in));
        EXPECT_EQ(without_prefix, std::filesystem::path(built_in));
    } else {
        EXPECT_EQ(with_prefix, std::filesystem::path("/tmp/some-prefix/drive_c"));
        EXPECT_EQ(without_prefix.filename(), "drive_c");
        EXPECT_EQ(without_prefix.parent_path().filename(), ".wine");
    }
}

}  // namespace
}  // namespace kelbrook
