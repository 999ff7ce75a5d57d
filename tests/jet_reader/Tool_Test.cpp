// jetdb's command line: what it prints and the exit status, for good and bad calls.
#include "Reader_Test_Util.h"

namespace reader_test {
namespace {

TEST(Jetdb, Answers_Each_Call_With_Output_And_Status) {
    REQUIRE_CORPUS();
    const std::string db = Quote((Corpus() / "indexTestV2000.mdb").string());
    struct Case {
        std::string args;
        int status;
        std::string out;  // expected in stdout
        std::string err;  // expected in stderr
    };
    for (const auto& c : std::vector<Case>{
             {"", 2, "", "usage: jetdb COMMAND"},
             {"--help", 0, "jetdb json [--password PW] FILE TABLE", ""},
             {"frobnicate " + db, 2, "", "jetdb: unknown command \"frobnicate\""},
             {"info " + db, 0, "format: Jet 4.0\npages: 72\ncode page: 1252\n", ""},
             {"tables " + db, 0, "Table1\nTable2\nTable3\n", ""},
             {"tables --system " + db, 0, "MSysObjects\n", ""},
             {"count " + db + " Table1", 0, "4\n", ""},
             {"count " + db + " table1", 0, "4\n", ""},
             {"count " + db + " NoSuchTable", 2, "", "there is no table \"NoSuchTable\""},
             {"count " + db, 2, "", "jetdb: usage: jetdb count"},
             {"count --password", 2, "", "--password needs a value"},
             {"json --bogus " + db + " Table1", 2, "", "unknown option --bogus"},
             {"json " + db + " Table2", 0, "{\"id\":", ""},
             {"check " + db, 0, "", ""},
             {"info /nonexistent/x.mdb", 2, "", "jetdb: /nonexistent/x.mdb: the file does not exist"},
         }) {
        SCOPED_TRACE("jetdb " + c.args);
        auto r = Shell(Quote(Jetdb().string()) + " " + c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.status == 0) {
            EXPECT_EQ(r.err, "");
        }
    }
}

}  // namespace
}  // namespace reader_test
