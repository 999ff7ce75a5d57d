// CompactDatabase when the host fails it: every fault of the file interface (read error,
// short read, full disk, failing flush), early, half-way and late in a compaction of a
// corpus file, read mapped and read with pread. Each gives an Error of kind IO naming
// the file it struck, leaves neither output nor temporary, and never touches the source.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Compact_Test_Support.h"
#include "support/Faulty_Files.h"
#include "jet/engine/Compactor.h"
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
        for (const File_System* inner : {&Host_Files(), &Host_Files_Unmapped()}) {
            // Mapped, tables are also checked on a second thread (a second handle reads).
            beside = inner == &Host_Files();
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

}  // namespace
}  // namespace kelbrook::jet
