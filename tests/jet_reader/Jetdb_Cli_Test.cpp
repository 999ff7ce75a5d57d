// jetdb as a command-line tool: --help and --version, options that exclude each other,
// --password wherever a database is opened, CSV export read back by a strict RFC 4180
// reader against mdb-count, schema against mdb-schema, and progress only on a terminal.
#include <regex>

#include "Reader_Test_Util.h"

namespace reader_test {
namespace {

Run_Result Jetdb_Run(const std::string& args) { return Shell(Quote(Jetdb().string()) + " " + args); }

// Records of an RFC 4180 text: CRLF after every record, quotes only around whole fields,
// quotes inside doubled. Throws on anything else.
std::vector<std::vector<std::string>> Read_Csv(const std::string& s) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    std::size_t i = 0;
    while (i < s.size()) {
        if (s[i] == '"') {  // quoted field
            for (++i;; ++i) {
                if (i >= s.size()) throw std::runtime_error("a quoted field is not closed");
                if (s[i] == '"') {
                    if (i + 1 < s.size() && s[i + 1] == '"') { field += '"'; ++i; continue; }
                    ++i;
                    break;
                }
                field += s[i];
            }
        } else {
            while (i < s.size() && s[i] != ',' && s[i] != '\r' && s[i] != '\n') {
                if (s[i] == '"') throw std::runtime_error("a quote inside an unquoted field");
                field += s[i++];
            }
        }
        record.push_back(std::move(field));
        field.clear();
        if (i < s.size() && s[i] == ',') { ++i; continue; }
        if (s.compare(i, 2, "\r\n") != 0) throw std::runtime_error("a record does not end with CRLF at " + std::to_string(i));
        i += 2;
        records.push_back(std::move(record));
        record.clear();
    }
    return records;
}

TEST(Jetdb_Cli, Every_Command_Answers_Help) {
    for (const std::string command : {"info", "tables", "count", "json", "export", "schema", "check", "space",
                                      "compact", "compact-conn", "generate"}) {
        for (const std::string& call : {command + " --help", command + " -h", "help " + command}) {
            SCOPED_TRACE("jetdb " + call);
            auto r = Jetdb_Run(call);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("usage: jetdb " + command + " "), std::string::npos) << r.out;
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST(Jetdb_Cli, Tells_Its_Version) {
    auto r = Jetdb_Run("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("jetdb [0-9]+(\\.[0-9]+)+\n"))) << r.out;
}

TEST(Jetdb_Cli, Refuses_Options_That_Exclude_Each_Other) {
    REQUIRE_CORPUS();
    Temp_Folder temp;
    const std::string db = Quote((Corpus() / "testV2000.mdb").string());
    const std::string out = Quote((temp / "out.mdb").string());
    struct Case {
        std::string args;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {"compact --new-password a --no-password " + db + " " + out, "give --new-password or --no-password, not both"},
             {"compact --no-password --new-password a " + db + " " + out, "give --new-password or --no-password, not both"},
             {"compact --encrypt --no-encrypt " + db + " " + out, "give --encrypt or --no-encrypt, not both"},
             {"generate --size-mb 1 --rows 5 " + out, "give --size-mb or --rows, not both"},
             {"generate --rows 5 --size-mb 1 " + out, "give --size-mb or --rows, not both"},
             {"compact --new-password a --new-password b " + db + " " + out, "give --new-password once"},
             {"export --format xml " + db + " Table1", "--format"},
             {"generate --rows 0 " + out, "--rows needs a whole number of at least 1"},
         }) {
        SCOPED_TRACE("jetdb " + c.args);
        auto r = Jetdb_Run(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("jetdb: " + c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("jetdb: usage: jetdb "), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(temp / "out.mdb"));
    }
}

// Every command that opens a database takes --password; compact-conn's overrides the
// password in the source connection.
TEST(Jetdb_Cli, Takes_The_Password_Wherever_A_Database_Is_Opened) {
    REQUIRE_CORPUS();
    Temp_Folder temp;
    const fs::path protected_copy = temp / "protected.mdb";
    Protect_Copy(Corpus() / "indexTestV2000.mdb", protected_copy, "S3cret!");
    const std::string db = Quote(protected_copy.string());
    const std::string source = Quote("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + protected_copy.string() +
                                     ";Jet OLEDB:Database Password=wrong;");
    const std::string destination = Quote("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + (temp / "c.mdb").string() + ";");
    for (const std::string& call :
         {"info " + db, "tables " + db, "count " + db + " Table1", "json " + db + " Table1",
          "export " + db + " Table1", "schema " + db, "check " + db, "space " + db,
          "compact " + db + " " + Quote((temp / "b.mdb").string()), "compact-conn " + source + " " + destination}) {
        SCOPED_TRACE("jetdb " + call);
        auto refused = Jetdb_Run(call);
        EXPECT_EQ(refused.status, 2);
        EXPECT_EQ(refused.err, "jetdb: Not a valid password.\n");
        auto r = Jetdb_Run(call + " --password 'S3cret!'");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
}

// Every table of every corpus file, as CSV: a strict RFC 4180 reader takes it, with a
// header and as many records as mdb-count counts, each as wide as the header.
TEST(Jetdb_Cli, Exports_Every_Corpus_Table_As_Csv) {
    REQUIRE_CORPUS();
    for (const auto& file : Corpus_Files()) {
        const std::string db = Quote((Corpus() / file).string());
        auto tables = Jetdb_Run("tables " + db);
        ASSERT_EQ(tables.status, 0) << tables.err;
        for (const auto& table : Lines(tables.out)) {
            SCOPED_TRACE(file + ", table " + table);
            auto r = Jetdb_Run("export --format csv " + db + " " + Quote(table));
            ASSERT_EQ(r.status, 0) << r.err;
            std::vector<std::vector<std::string>> records;
            ASSERT_NO_THROW(records = Read_Csv(r.out));
            auto count = Shell("mdb-count " + db + " " + Quote(table));
            ASSERT_EQ(count.status, 0) << count.err;
            ASSERT_FALSE(records.empty());
            EXPECT_EQ(std::to_string(records.size() - 1) + "\n", count.out);
            for (const auto& record : records) ASSERT_EQ(record.size(), records[0].size());
            auto jsonl = Jetdb_Run("export --format jsonl " + db + " " + Quote(table));
            EXPECT_EQ(jsonl.out, Jetdb_Run("json " + db + " " + Quote(table)).out);
        }
    }
}

// Values in CSV: text with commas, quotes and line breaks quoted, null empty, empty text
// "", dates ISO 8601, binary as hex; read back field by field.
TEST(Jetdb_Cli, Writes_Csv_Values_As_Documented) {
    REQUIRE_CORPUS();
    const std::string db = Quote((Corpus() / "testV2000.mdb").string());
    auto r = Jetdb_Run("export " + db + " Table1");
    ASSERT_EQ(r.status, 0) << r.err;
    auto records = Read_Csv(r.out);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0], (std::vector<std::string>{"A", "B", "C", "D", "E", "F", "G", "H", "I"}));
    const std::regex iso_date("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}");
    for (std::size_t i = 1; i < records.size(); ++i) {
        EXPECT_TRUE(records[i][6].empty() || std::regex_match(records[i][6], iso_date)) << records[i][6];
        EXPECT_TRUE(records[i][8] == "true" || records[i][8] == "false") << records[i][8];
    }
    // Each text field equals the value jetdb json gives.
    auto json = Lines(Jetdb_Run("json " + db + " Table1").out);
    ASSERT_EQ(json.size() + 1, records.size());
    for (std::size_t i = 0; i < json.size(); ++i) {
        Json row = Json_Reader(json[i]).Parse();
        for (std::size_t c = 0; c < 2; ++c) {
            const Json& v = row.members.at(records[0][c]);
            EXPECT_EQ(records[i + 1][c], v.kind == Json::Kind::String ? v.text : std::string());
        }
    }
}

// The columns' types as mdb-schema names them (sizes of memo and OLE columns and NOT
// NULL left aside), one "[name] type" a column, in order.
std::vector<std::string> Column_Types(const std::string& schema) {
    std::vector<std::string> out;
    const std::regex column("\t(\\[[^\\]]*\\])\t+([A-Za-z/ ]+[A-Za-z]( \\([0-9, ]+\\))?).*");
    for (const auto& line : Lines(schema)) {
        std::smatch m;
        if (!std::regex_match(line, m, column)) continue;
        std::string type = m[2];
        if (type.ends_with(" NOT NULL")) type.resize(type.size() - 9);
        if (type.starts_with("Memo") || type.starts_with("OLE")) type = type.substr(0, type.find(" ("));
        out.push_back(m[1].str() + " " + type);
    }
    return out;
}

TEST(Jetdb_Cli, Prints_The_Schema_Of_Every_Corpus_File) {
    REQUIRE_CORPUS();
    for (const auto& file : Corpus_Files()) {
        SCOPED_TRACE(file);
        const std::string db = Quote((Corpus() / file).string());
        auto r = Jetdb_Run("schema " + db);
        ASSERT_EQ(r.status, 0) << r.err;
        auto theirs = Shell("mdb-tables -1 " + db);
        std::size_t creates = 0;
        for (const auto& line : Lines(r.out)) creates += line.starts_with("CREATE TABLE [");
        EXPECT_EQ(creates, Lines(theirs.out).size()) << r.out;
        for (const auto& table : Lines(theirs.out))
            EXPECT_NE(r.out.find("CREATE TABLE [" + table + "]\n"), std::string::npos) << table;
        auto reference = Shell("mdb-schema " + db + " access");
        EXPECT_EQ(Column_Types(r.out), Column_Types(reference.out));
    }
}

// The columns a schema marks NOT NULL, as "[table] [column]", in order.
std::vector<std::string> Not_Null_Columns(const std::string& schema) {
    std::vector<std::string> out;
    std::string table;
    const std::regex create("CREATE TABLE (\\[[^\\]]*\\]).*");
    const std::regex column("\t(\\[[^\\]]*\\])\t+.* NOT NULL,? *");
    for (const auto& line : Lines(schema)) {
        std::smatch m;
        if (std::regex_match(line, m, create)) table = m[1];
        else if (std::regex_match(line, m, column)) out.push_back(table + " " + m[1].str());
    }
    return out;
}

// Required columns (the Required property in the table's property blob) and booleans are
// NOT NULL, as mdb-schema prints them.
TEST(Jetdb_Cli, Marks_Required_Columns_Not_Null) {
    REQUIRE_CORPUS();
    std::size_t marked = 0;
    for (const auto& file : Corpus_Files()) {
        SCOPED_TRACE(file);
        const std::string db = Quote((Corpus() / file).string());
        auto r = Jetdb_Run("schema " + db);
        ASSERT_EQ(r.status, 0) << r.err;
        const auto ours = Not_Null_Columns(r.out);
        EXPECT_EQ(ours, Not_Null_Columns(Shell("mdb-schema " + db + " access").out)) << r.out;
        marked += ours.size();
    }
    EXPECT_GE(marked, 8u);  // fixedTextTestV2000's users: every column is required
    auto r = Jetdb_Run("schema " + Quote((Corpus() / "fixedTextTestV2000.mdb").string()));
    EXPECT_NE(r.out.find("\t[i_user_id]\t\t\tLong Integer NOT NULL,\n"), std::string::npos) << r.out;
}

TEST(Jetdb_Cli, Prints_Indexes_And_Relationships) {
    REQUIRE_CORPUS();
    auto r = Jetdb_Run("schema " + Quote((Corpus() / "indexTestV2000.mdb").string()));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string expected :
         {"CREATE UNIQUE INDEX [PrimaryKey] ON [Table1] ([id]) WITH PRIMARY;\n",
          "ALTER TABLE [Table1] ADD CONSTRAINT [Table2Table1] FOREIGN KEY ([otherfk1]) REFERENCES [Table2] ([id]) "
          "ON DELETE CASCADE;\n",
          "ALTER TABLE [Table1] ADD CONSTRAINT [Table3Table1] FOREIGN KEY ([otherfk2]) REFERENCES [Table3] ([id]) "
          "ON UPDATE CASCADE;\n"})
        EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
    auto p = Jetdb_Run("schema " + Quote((Corpus() / "testIndexPropertiesV2000.mdb").string()));
    EXPECT_NE(p.out.find("CREATE INDEX [DataIndex] ON [TableIgnoreNulls2] ([data1], [data2]) WITH IGNORE NULL;\n"),
              std::string::npos)
        << p.out;
    EXPECT_NE(p.out.find("CREATE UNIQUE INDEX [DataIndex] ON [TableUnique1_temp] ([data]);\n"), std::string::npos);
}

// Progress goes to stderr on a terminal (here the pseudo-terminal `script` gives, with
// stdout thrown away so that only stderr reaches it) and nowhere when stderr is a pipe.
TEST(Jetdb_Cli, Shows_Progress_Only_On_A_Terminal) {
    REQUIRE_CORPUS();
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "script (util-linux) is missing";
    Temp_Folder temp;
    const std::string jetdb = Quote(Jetdb().string());
    const std::string source = Quote((Corpus() / "testV2000.mdb").string());
    struct Case {
        std::string args;
        std::string label;
    };
    int n = 0;
    for (const auto& c : std::vector<Case>{{"check " + source, "checking: "},
                                           {"compact " + source + " @OUT@", "compacting: "},
                                           {"generate --rows 3000 @OUT@", "generating: "}}) {
        SCOPED_TRACE(c.args);
        auto with_out = [&](const std::string& name) {
            std::string a = c.args;
            auto at = a.find("@OUT@");
            if (at != std::string::npos) a.replace(at, 5, Quote((temp / name).string()));
            return a;
        };
        const std::string terminal_args = with_out("t" + std::to_string(n) + ".mdb");
        auto terminal = Shell("script -qec " + Quote(jetdb + " " + terminal_args + " >/dev/null") + " /dev/null");
        EXPECT_EQ(terminal.status, 0) << terminal.out;
        EXPECT_NE(terminal.out.find(c.label + "100%"), std::string::npos) << terminal.out;
        auto piped = Shell(jetdb + " " + with_out("p" + std::to_string(n) + ".mdb"));
        EXPECT_EQ(piped.status, 0) << piped.err;
        EXPECT_EQ(piped.err, "");
        EXPECT_EQ(piped.out.find(c.label), std::string::npos);
        ++n;
    }
}

}  // namespace
}  // namespace reader_test
