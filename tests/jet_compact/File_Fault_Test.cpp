// CompactDatabase when the host fails it: every fault of the file interface (read error,
// short read, full disk, failing flush), early, half-way and late in a compaction of a
// corpus file, read mapped and read with pread. Each gives an Error of kind IO naming
// the file it struck, leaves neither output nor temporary, and never touches the source.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "Compact_Test_Support.h"
#include "support/Faulty_Files.h"
#include "jet/engine/Compactor.h"
#include "jet/engine/Database.h"
#include "jet/engine/Writer.h"
#include "jet/generator/Generator.h"
#include "jet/file/File_Output.h"
#include "jet/util/Error.h"

namespace kelbrook::jet {
namespace {

using test::fs::path;
using test::File_Fault;

struct Traffic {
    std::uint64_t source_read = 0;
    std::uint64_t output_read = 0;  // the temporary, read back to verify it
    std::uint64_t written = 0;
};

class File_Fault_Test : public test::Scratch_Test {
protected:
    path source, destination;
    bool beside = false;  // every table checked on a second thread, through a second handle

    void Lay_Out(const std::string& corpus_file) {
        source = dir / "source.mdb";
        destination = dir / "out.mdb";
        test::fs::copy_file(test::Corpus() / corpus_file, source);
    }

    // How much a whole compaction reads and writes, through `inner`.
    Traffic Measure(const File_System& inner) {
        test::Faulty_Files source_files({File_Fault::Read_Error, UINT64_MAX, "source.mdb"}, inner);
        test::Faulty_Files output_files({File_Fault::Full_Disk, UINT64_MAX, Temporary_Infix}, inner);
        Traffic t;
        for (auto* files : {&source_files, &output_files}) {
            Compact_Options options;
            options.files = files;
            if (beside) options.rows_checked_beside = 0;
            CompactDatabase(test::Source_String(source), test::Destination_String(destination), options);
            test::fs::remove(destination);
        }
        t.source_read = source_files.Bytes_Read();
        t.output_read = output_files.Bytes_Read();
        t.written = output_files.Bytes_Written();
        return t;
    }

    // One compaction that `fault` must stop.
    void Expect_Clean_Failure(const File_Fault& fault, const File_System& inner, const std::string& names) {
        const auto before = test::Read_All(source);
        test::Faulty_Files files(fault, inner);
        Compact_Options options;
        options.files = &files;
        if (beside) options.rows_checked_beside = 0;
        try {
            CompactDatabase(test::Source_String(source), test::Destination_String(destination), options);
            ADD_FAILURE() << "compaction succeeded";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), Error_Kind::IO) << e.what();
            EXPECT_NE(std::string(e.what()).find(names), std::string::npos) << e.what();
        }
        EXPECT_TRUE(files.Struck());
        EXPECT_EQ(Files(), std::vector<std::string>{"source.mdb"});
        EXPECT_EQ(test::Read_All(source), before) << "the source changed";
    }
};

TEST_F(File_Fault_Test, EveryFaultAtSeveralPointsLeavesNothing) {
    KELBROOK_NEED_CORPUS();
    for (const char* corpus_file : {"indexTestV2000.mdb", "encodedV2000.mdb"}) {
        for (const File_System* inner : {&Host_Files_Mapped(), &Host_Files_Unmapped()}) {
            // Mapped, tables are also checked on a second thread (a second handle reads).
            beside = inner == &Host_Files_Mapped();
            SCOPED_TRACE(std::string(corpus_file) + (beside ? ", mapped, checked beside" : ", read"));
            Lay_Out(corpus_file);
            const Traffic t = Measure(*inner);
            ASSERT_GT(t.source_read, 8192u);
            ASSERT_GT(t.output_read, 8192u);
            ASSERT_GT(t.written, 8192u);
            const std::string source_name = Path_Text(source);
            const std::string temporary_name = Path_Text(dir / ".out.mdb") + Temporary_Infix;
            struct Case {
                File_Fault fault;
                std::string names;  // the file the message must name
            };
            std::vector<Case> cases;
            for (auto kind : {File_Fault::Read_Error, File_Fault::Short_Read}) {
                for (std::uint64_t after : {std::uint64_t{0}, std::uint64_t{4096}, t.source_read / 2, t.source_read - 1})
                    cases.push_back({{kind, after, "source.mdb"}, source_name});
                for (std::uint64_t after : {std::uint64_t{0}, t.output_read / 2, t.output_read - 1})
                    cases.push_back({{kind, after, Temporary_Infix}, temporary_name});
            }
            for (std::uint64_t after : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{4096}, t.written / 2, t.written - 1})
                cases.push_back({{File_Fault::Full_Disk, after, Temporary_Infix}, temporary_name});
            cases.push_back({{File_Fault::Flush_Fails, 0, Temporary_Infix}, temporary_name});
            for (const auto& c : cases) {
                SCOPED_TRACE(std::string(test::Fault_Name(c.fault.kind)) + " of " + c.fault.only_in + " after " +
                             std::to_string(c.fault.after));
                Expect_Clean_Failure(c.fault, *inner, c.names);
            }
            test::fs::remove(source);
        }
    }
}

#ifndef _WIN32
// The long values go to the writer as pieces of the source's mapped pages, and the last
// rows' are copied after the walk has read the file for the last time. A source cut short
// by another program just then (its lost pages reading as zeros) must fail the writing,
// not be written as zeros.
TEST_F(File_Fault_Test, SourceCutShortAfterItsLastReadIsNotWrittenAsZeros) {
    std::size_t struck = 0;
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        source = dir / "source.mdb";
        destination = dir / "out.mdb";
        test::fs::remove(source);
        Generate_Options options;  // its last table, AllTypes, holds memo/OLE values
        options.profile = "every-type";
        options.rows = 60;
        options.password = "";
        options.seed = seed;
        Generate_Database(options, source);
        std::optional<Database> db;
        try {
            db.emplace(source, std::string(), Host_Files_Mapped());
        } catch (const Error&) {
            continue;  // one with a password
        }
        if (!db->File().Pages_In_Place()) continue;
        Database_Image image = Read_Source_Image(*db).image;
        // The last table read: the one that cuts the file short at its last row, if that
        // row has a long value in pieces.
        Table_Image* last = nullptr;
        for (auto& table : image.tables)
            if (table.source) last = &table;
        if (!last) continue;
        std::size_t rows = 0, seen = 0;
        bool cut = false;
        last->source = Row_Source_Of([&, inner = last->source](const Row_Visitor& visit, bool with_values) {
            if (!with_values) rows = 0;
            seen = 0;
            inner->Each_Row(
                [&](const Row_Image& row) {
                    if (!with_values) ++rows;
                    bool pieces = false;
                    for (const auto& lv : row.long_values) pieces = pieces || !lv.pieces.empty();
                    if (with_values && ++seen == rows && pieces && !cut) {
                        ASSERT_EQ(::truncate(source.c_str(), 2 * 4096), 0);
                        cut = true;
                    }
                    visit(row);
                },
                with_values);
        });
        try {
            Write_Database(image, destination, {}, true, Host_Files_Mapped());
            if (cut) ADD_FAILURE() << "written from a source cut short";
        } catch (const Error& e) {
            EXPECT_TRUE(cut) << e.what();
            EXPECT_EQ(e.kind(), Error_Kind::IO) << e.what();
            EXPECT_NE(std::string(e.what()).find("cut short"), std::string::npos) << e.what();
            EXPECT_FALSE(test::fs::exists(destination));
        }
        if (cut) ++struck;
        image.tables.clear();
        db.reset();
        test::fs::remove(destination);
    }
    EXPECT_GT(struck, 0u) << "no database's last table ends with a long value stored apart";
}
#endif

}  // namespace
}  // namespace kelbrook::jet
