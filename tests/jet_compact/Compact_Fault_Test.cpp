// CompactDatabase when things go wrong: each failure gives its message, leaves neither a
// destination nor a temporary file behind, and never changes the source.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <optional>
#include <iostream>

#include "Compact_Test_Support.h"
#include "jet/engine/Compactor.h"
#include "jet/row/Data_Page.h"
#include "jet/engine/Database.h"
#include "jet/util/Error.h"
#include "jet/file/File_Output.h"
#include "support/Faulty_Files.h"
#include "jet/generator/Generator.h"

namespace kelbrook::jet {
namespace {

using test::fs::path;

class Compaction_Fault : public test::Scratch_Test {
protected:
    // Runs a compaction that must fail; returns its message and checks what is left.
    std::string Expect_Failure(const path& source, const std::string& source_string,
                               const std::string& destination_string,
                               const std::vector<std::string>& files_after, const Compact_Options& options = {}) {
        std::vector<std::uint8_t> before;
        if (test::fs::exists(source)) before = test::Read_All(source);
        std::string message;
        try {
            CompactDatabase(source_string, destination_string, options);
            ADD_FAILURE() << "compaction succeeded";
        } catch (const Error& e) {
            message = e.what();
        }
        EXPECT_EQ(Files(), files_after);
        if (test::fs::exists(source)) {
            EXPECT_EQ(test::Read_All(source), before) << "the source changed";
        }
        return message;
    }

    // An instrument-history database of `rows` rows, none deleted.
    static void Make_History(const path& at, std::uint32_t rows) {
        Generate_Options options;
        options.profile = "instrument-history";
        options.rows = rows;
        options.deleted_fraction = 0;
        Generate_Database(options, at);
    }

    // The last page of the last long value of table RunEvents (one of its last rows').
    static std::uint32_t Last_Value_Page(const path& file) {
        std::uint32_t page = 0;
        Database db(file);
        db.Rows(db.Definition(db.Find_Table("RunEvents")), [&](const Live_Row& row) {
            for (const auto& lv : row.long_values)
                if (!lv.pages.empty()) page = lv.pages.back();
        });
        return page;
    }
};

TEST_F(Compaction_Fault, MissingSource) {
    const path source = dir / "nothing.mdb";
    const auto m = Expect_Failure(source, test::Source_String(source), test::Destination_String(dir / "out.mdb"), {});
    EXPECT_EQ(m, "Could not find file '" + source.string() + "'.");
}

TEST_F(Compaction_Fault, DestinationAlreadyExists) {
    KELBROOK_NEED_CORPUS();
    const path source = dir / "source.mdb";
    test::fs::copy_file(test::Corpus() / "emptyJet4.mdb", source);
    test::Write_All(dir / "out.mdb", {'k', 'e', 'e', 'p'});
    const auto m = Expect_Failure(source, test::Source_String(source), test::Destination_String(dir / "out.mdb"),
                                  {"out.mdb", "source.mdb"});
    EXPECT_EQ(m, "Database already exists.");
    EXPECT_EQ(test::Read_All(dir / "out.mdb"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
}

TEST_F(Compaction_Fault, DestinationFolderMissing) {
    KELBROOK_NEED_CORPUS();
    const path source = dir / "source.mdb";
    test::fs::copy_file(test::Corpus() / "emptyJet4.mdb", source);
    auto m = Expect_Failure(source, test::Source_String(source), test::Destination_String(dir / "no" / "out.mdb"),
                            {"source.mdb"});
    EXPECT_NE(m.find("is not a valid path"), std::string::npos) << m;

    test::Write_All(dir / "plain-file", {1});
    m = Expect_Failure(source, test::Source_String(source), test::Destination_String(dir / "plain-file" / "out.mdb"),
                       {"plain-file", "source.mdb"});
    EXPECT_NE(m.find("is not a valid path"), std::string::npos) << m;
}

TEST_F(Compaction_Fault, DestinationFolderUnwritable) {
    KELBROOK_NEED_CORPUS();
    const path source = dir / "source.mdb";
    test::fs::copy_file(test::Corpus() / "emptyJet4.mdb", source);
    // Folder permissions do not stop root; sysfs refuses new files even to root.
    path locked = dir / "locked";
    std::vector<std::string> after = {"locked", "source.mdb"};
    if (::geteuid() == 0) {
        if (!test::fs::is_directory("/sys")) GTEST_SKIP() << "running as root and no /sys to stand for a locked folder";
        locked = "/sys";
        after = {"source.mdb"};
    } else {
        test::fs::create_directory(locked);
        test::fs::permissions(locked, test::fs::perms::owner_read | test::fs::perms::owner_exec);
    }
    const path destination = locked / "kelbrook-compact-test.mdb";
    const auto m = Expect_Failure(source, test::Source_String(source), test::Destination_String(destination), after);
    EXPECT_NE(m.find("Could not create"), std::string::npos) << m;
    EXPECT_FALSE(test::fs::exists(destination));
    std::error_code ec;
    for (const auto& entry : test::fs::directory_iterator(destination.parent_path(), ec)) {
        EXPECT_EQ(entry.path().filename().string().find(".kelbrook-tmp-"), std::string::npos) << entry.path();
    }
}

TEST_F(Compaction_Fault, RefusedOptionsLeaveNothing) {
    KELBROOK_NEED_CORPUS();
    const path source = dir / "source.mdb";
    test::fs::copy_file(test::Corpus() / "emptyJet4.mdb", source);
    const std::string out = (dir / "out.mdb").string();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Data Source=" + out + ";Jet OLEDB:Engine Type=4", "Engine type 4"},
        {"Data Source=" + out + ";Locale Identifier=1036", "Locale Identifier 1036"},
        {"Data Source=" + out + ";User ID=Operator", "User-level security"},
        {"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + out, "not supported"},
    };
    for (const auto& [destination, part] : cases) {
        SCOPED_TRACE(destination);
        const auto m = Expect_Failure(source, test::Source_String(source), destination, {"source.mdb"});
        EXPECT_NE(m.find(part), std::string::npos) << m;
    }
}

// A large table is read on one thread while the output is written on another: a failure
// on either side, late in the table, stops both with its own message and leaves nothing.
TEST_F(Compaction_Fault, FailuresLateInALargeTableStopCleanly) {
    const path model = dir / "model.mdb";
    Make_History(model, 6000);
    // A long-value page used by one of the last rows of the largest table.
    const std::uint32_t late_value_page = Last_Value_Page(model);
    ASSERT_NE(late_value_page, 0u);
    const auto model_bytes = test::Read_All(model);
    test::fs::remove(model);
    const path source = dir / "source.mdb";
    // What a whole compaction reads of the source, to fail a read late in it.
    std::uint64_t source_reads = 0;
    {
        test::Write_All(source, model_bytes);
        test::Faulty_Files counting(test::File_Fault{test::File_Fault::Read_Error, UINT64_MAX, "source.mdb"});
        Compact_Options options;
        options.files = &counting;
        CompactDatabase(test::Source_String(source), test::Destination_String(dir / "out.mdb"), options);
        source_reads = counting.Bytes_Read();
        test::fs::remove(dir / "out.mdb");
        test::fs::remove(source);
    }
    ASSERT_GT(source_reads, model_bytes.size());

    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string message_part;
        std::optional<test::File_Fault> fault;
    };
    const std::vector<Case> cases = {
        // (A damaged page is repaired, not a failure: tests/jet_repair.)
        {"source unreadable late",
         [&] {
             test::Write_All(source, model_bytes);
         },
         "cannot read",
         test::File_Fault{test::File_Fault::Read_Error, source_reads * 9 / 10, "source.mdb"}},
        {"disk full half-way",
         [&] {
             test::Write_All(source, model_bytes);
         },
         "the disk is full",
         test::File_Fault{test::File_Fault::Full_Disk, model_bytes.size() / 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        std::optional<test::Faulty_Files> files;
        Compact_Options options;
        if (c.fault) options.files = &files.emplace(*c.fault);
        const auto m = Expect_Failure(source, test::Source_String(source), test::Destination_String(dir / "out.mdb"),
                                      {"source.mdb"}, options);
        EXPECT_NE(m.find(c.message_part), std::string::npos) << m;
        test::fs::remove(source);
    }
}

// A byte of a long value that reaches the disk changed (a fault no structure shows) is
// caught by comparing the written rows with the source's, and nothing is left behind.
TEST_F(Compaction_Fault, ALongValueChangedOnItsWayToTheDiskIsCaught) {
    const path source = dir / "source.mdb";
    Make_History(source, 3000);
    // Where a long value's last byte lands in the output: the end of its page (rows are
    // stored from the end of a page), as a first compaction lays it out.
    const path first = dir / "first.mdb";
    CompactDatabase(test::Source_String(source), test::Destination_String(first));
    const std::uint32_t page = Last_Value_Page(first);
    test::fs::remove(first);
    ASSERT_NE(page, 0u);
    const std::uint64_t value_byte = (std::uint64_t{page} + 1) * 4096 - 1;
    test::Faulty_Files files({test::File_Fault::Flipped_Byte, value_byte, "out.mdb"});
    Compact_Options faulty;
    faulty.files = &files;
    const auto m = Expect_Failure(source, test::Source_String(source), test::Destination_String(dir / "out.mdb"),
                                  {"source.mdb"}, faulty);
    EXPECT_TRUE(files.Struck());
    EXPECT_NE(m.find("did not read back the same"), std::string::npos) << m;
    EXPECT_NE(m.find("holds different values"), std::string::npos) << m;
}

struct Corruption {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> spoil;
    std::string message_part;
};

TEST_F(Compaction_Fault, CorruptSourcesFailWithTheirMessage) {
    KELBROOK_NEED_CORPUS();
    const path model = test::Corpus() / "indexTestV2000.mdb";
    auto page = [](std::vector<std::uint8_t>& b, std::uint32_t n) { return b.begin() + static_cast<std::ptrdiff_t>(n) * 4096; };
    const std::vector<Corruption> cases = {
        {"empty file", [](auto& b) { b.clear(); }, "Unrecognized database format"},
        {"text file", [](auto& b) { b.assign(5000, 'x'); }, "Unrecognized database format"},
        {"cut inside a page", [](auto& b) { b.erase(b.end() - 100, b.end()); }, "Unrecognized database format"},
        {"Jet 3 header", [](auto& b) { b[0x14] = 0; }, "Unrecognized database format"},
        {"cut to three pages", [](auto& b) { b.resize(3 * 4096); }, "page"},
        {"catalogue definition overwritten", [&](auto& b) { std::fill_n(page(b, 2), 4096, 0xFF); }, "page 2"},
        // A damaged data page or index inside a table is repaired instead (tests/jet_repair).
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const path source = dir / "source.mdb";
        auto bytes = test::Read_All(model);
        c.spoil(bytes);
        test::Write_All(source, bytes);
        const auto m = Expect_Failure(source, test::Source_String(source), test::Destination_String(dir / "out.mdb"),
                                      {"source.mdb"});
        EXPECT_NE(m.find(c.message_part), std::string::npos) << m;
        test::fs::remove(source);
    }
}

// Damage at random places (a fixed seed, so every run tries the same files): compaction
// either succeeds with an output that passed its own checks, or fails with a message and
// leaves nothing; it never crashes or hangs, and the source is never touched.
TEST_F(Compaction_Fault, RandomDamageFailsCleanlyOrCompacts) {
    KELBROOK_NEED_CORPUS();
    const auto model = test::Read_All(test::Corpus() / "indexTestV2000.mdb");
    const std::uint32_t pages = static_cast<std::uint32_t>(model.size() / 4096);
    std::uint64_t state = 0x4B454C42524F4F4Bull;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    int failed = 0, compacted = 0;
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        auto bytes = model;
        // Pages 1.. only: page 0 damage is covered above.
        const std::uint32_t page = 1 + static_cast<std::uint32_t>(next() % (pages - 1));
        const int flips = 1 + static_cast<int>(next() % 16);
        for (int k = 0; k < flips; ++k) {
            const std::size_t at = page * std::size_t{4096} + next() % 4096;
            bytes[at] = static_cast<std::uint8_t>(next());
        }
        const path source = dir / "source.mdb";
        test::Write_All(source, bytes);
        try {
            CompactDatabase(test::Source_String(source), test::Destination_String(dir / "out.mdb"));
            ++compacted;
            EXPECT_EQ(Files(), (std::vector<std::string>{"out.mdb", "source.mdb"}));
        } catch (const Error& e) {
            ++failed;
            EXPECT_FALSE(std::string(e.what()).empty());
            EXPECT_EQ(Files(), std::vector<std::string>{"source.mdb"});
        }
        EXPECT_EQ(test::Read_All(source), bytes);
        test::fs::remove(dir / "out.mdb");
        test::fs::remove(source);
    }
    EXPECT_GT(failed, 0);
    EXPECT_GT(compacted, 0);
    std::cout << "damaged sources: " << failed << " refused, " << compacted << " compacted\n";
}

}  // namespace
}  // namespace kelbrook::jet
