// Every corpus database, as Access made it and as a password-protected copy, read by
// jetdb and by mdbtools: same tables, same row counts, same values; and check finds
// nothing wrong.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

#include "Reader_Test_Util.h"
#include "jet/engine/Check.h"
#include "jet/engine/Database.h"

namespace reader_test {
namespace {

namespace fmt = kelbrook::jet::format;

// Access keeps a stale row count in these definitions; mdb-count prints that count,
// while the rows themselves (mdb-json, jetdb) are more.
const std::set<std::pair<std::string, std::string>> stale_counts = {
    {"queryTestV2000.mdb", "MSysQueries"}, {"testV2000.mdb", "MSysACEs"}, {"testRefGlobalV2000.mdb", "MSysACEs"}};

std::string Cut_At_Nul(const std::string& s) { return s.substr(0, s.find('\0')); }

// mdbtools prints GUIDs with one dash fewer than the usual form.
std::string Without_Dashes(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '-'), s.end());
    return s;
}

std::string Unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// One value in a form both tools' output reduce to. mdbtools stops text and binary at
// the first NUL byte, gives GUIDs as the bytes of their text (one dash short) and leaves out OLE columns
// (and the long binary type) and nulls, so the comparison does the same to both sides.
std::optional<std::string> Normal(std::uint8_t type, const Json& v, bool from_mdbtools) {
    if (v.kind == Json::Kind::Null || type == fmt::Type_Ole || type == fmt::Type_Long_Binary) return std::nullopt;
    if (v.kind == Json::Kind::Bool) return std::string(v.boolean ? "n:1.0000" : "n:0.0000");
    if (v.kind == Json::Kind::Number) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "n:%.4f", v.number);
        return std::string(buf);
    }
    std::string bytes;
    if (v.kind == Json::Kind::Object) {
        auto it = v.members.find("$binary");
        bytes = it == v.members.end() ? std::string() : Base64_Decode(it->second.text);
    } else if (type == fmt::Type_Binary && !from_mdbtools) {
        bytes = Unhex(v.text);
    } else if (type == fmt::Type_Guid) {
        return "g:" + Without_Dashes(v.text);
    } else {
        return "s:" + Cut_At_Nul(v.text);
    }
    if (type == fmt::Type_Guid) return "g:" + Without_Dashes(Cut_At_Nul(bytes));
    bytes = Cut_At_Nul(bytes);
    if (bytes.empty()) return std::nullopt;
    return "b:" + Hex(bytes);
}

std::vector<std::string> Normal_Rows(const std::string& output, const kelbrook::jet::Table_Definition& table,
                                     bool from_mdbtools) {
    std::vector<std::string> rows;
    for (const auto& line : Lines(output)) {
        Json row = Json_Reader(line).Parse();
        std::string canonical;
        for (const auto& [name, value] : row.members) {
            const auto* column = table.Find_Column(name);
            if (!column) {
                canonical += name + "=?unknown column;";
                continue;
            }
            if (auto n = Normal(column->type, value, from_mdbtools)) canonical += name + "=" + *n + ";";
        }
        rows.push_back(canonical);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

struct Corpus_Case {
    std::string file;
    bool protect;
};

void PrintTo(const Corpus_Case& c, std::ostream* out) { *out << c.file << (c.protect ? " (password-protected copy)" : ""); }

std::string Case_Name(const testing::TestParamInfo<Corpus_Case>& info) {
    std::string name = info.param.file.substr(0, info.param.file.find('.')) + (info.param.protect ? "_protected" : "");
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

std::vector<Corpus_Case> All_Cases() {
    std::vector<Corpus_Case> cases;
    for (const auto& f : Corpus_Files()) {
        cases.push_back({f, false});
        cases.push_back({f, true});
    }
    return cases;
}

class Corpus_Read : public testing::TestWithParam<Corpus_Case> {
protected:
    void SetUp() override {
        REQUIRE_CORPUS();
        source_ = Corpus() / GetParam().file;
        if (GetParam().protect) {
            password_ = "S3cret!";
            path_ = temp_ / GetParam().file;
            Protect_Copy(source_, path_, password_);
        } else {
            path_ = source_;
        }
    }
    std::string Jetdb(const std::string& args) const {
        return Quote(Jetdb_Path().string()) + " " + args + (password_.empty() ? "" : " --password " + Quote(password_));
    }
    static fs::path Jetdb_Path() { return reader_test::Jetdb(); }

    Temp_Folder temp_;
    fs::path source_, path_;
    std::string password_;
};

TEST_P(Corpus_Read, Matches_Mdbtools_Table_By_Table) {
    kelbrook::jet::Database db(path_, password_);
    EXPECT_EQ(db.Header().password, password_);
    std::set<std::string> ours;
    for (const auto& t : db.Tables(true)) ours.insert(t.name);
    auto listed = Shell("mdb-tables -S -1 " + Quote(path_.string()));
    ASSERT_EQ(listed.status, 0) << listed.err;
    std::set<std::string> theirs;
    for (const auto& l : Lines(listed.out)) theirs.insert(l);
    EXPECT_EQ(ours, theirs);

    auto tables = Shell(Jetdb("tables --system " + Quote(path_.string())));
    ASSERT_EQ(tables.status, 0) << tables.err;
    auto tool_lines = Lines(tables.out);
    EXPECT_EQ(std::set<std::string>(tool_lines.begin(), tool_lines.end()), ours);

    for (const auto& name : ours) {
        SCOPED_TRACE("table " + name);
        const auto& table = db.Definition(db.Find_Table(name));
        auto count = Shell(Jetdb("count " + Quote(path_.string()) + " " + Quote(name)));
        ASSERT_EQ(count.status, 0) << count.err;
        auto json = Shell(Jetdb("json " + Quote(path_.string()) + " " + Quote(name)));
        ASSERT_EQ(json.status, 0) << json.err;
        auto mdb_json = Shell("mdb-json -T '%Y-%m-%dT%H:%M:%S' " + Quote(path_.string()) + " " + Quote(name));
        ASSERT_EQ(mdb_json.status, 0) << mdb_json.err;
        auto mdb_count = Shell("mdb-count " + Quote(path_.string()) + " " + Quote(name));
        ASSERT_EQ(mdb_count.status, 0) << mdb_count.err;

        std::size_t rows = std::stoul(count.out);
        EXPECT_EQ(rows, Lines(mdb_json.out).size());
        if (!stale_counts.count({GetParam().file, name})) EXPECT_EQ(rows, std::stoul(mdb_count.out));
        else EXPECT_EQ(std::stoul(mdb_count.out), table.num_rows);

        auto mine = Normal_Rows(json.out, table, false);
        auto theirs_rows = Normal_Rows(mdb_json.out, table, true);
        ASSERT_EQ(mine.size(), theirs_rows.size());
        for (std::size_t i = 0; i < mine.size(); ++i) {
            if (mine[i] != theirs_rows[i]) {
                ADD_FAILURE() << "first differing row\n jetdb:   " << mine[i] << "\n mdbtools: " << theirs_rows[i];
                break;
            }
        }
    }
}

TEST_P(Corpus_Read, Checks_Clean) {
    auto r = Shell(Jetdb("check " + Quote(path_.string())));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    auto info = Shell(Jetdb("info " + Quote(path_.string())));
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find(GetParam().protect ? "password: yes" : "password: no"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find(GetParam().file == "encodedV2000.mdb" ? "encoded: yes" : "encoded: no"), std::string::npos)
        << info.out;
}

INSTANTIATE_TEST_SUITE_P(Corpus, Corpus_Read, testing::ValuesIn(All_Cases()), Case_Name);

// A protected copy opens only with its password, in the library and in jetdb; the
// message is the one users of Access's engine know.
TEST(Corpus_Password, Wrong_Or_Missing_Password_Is_Refused) {
    REQUIRE_CORPUS();
    for (const std::string file : {"empty.mdb", "encodedV2000.mdb", "testV2000.mdb"}) {
        Temp_Folder temp;
        fs::path path = temp / file;
        Protect_Copy(Corpus() / file, path, "S3cret!");
        EXPECT_NO_THROW(kelbrook::jet::Database(path, "S3cret!"));
        for (const std::string wrong : {"", "s3cret!", "S3cret", "S3cret!!"}) {
            SCOPED_TRACE(file + " with password '" + wrong + "'");
            try {
                kelbrook::jet::Database db(path, wrong);
                ADD_FAILURE() << "opened with a wrong password";
            } catch (const kelbrook::jet::Password_Error& e) {
                EXPECT_STREQ(e.what(), "Not a valid password.");
            }
            std::string args = "count " + Quote(path.string()) + " MSysObjects" + (wrong.empty() ? "" : " --password " + Quote(wrong));
            auto r = Shell(Quote(Jetdb().string()) + " " + args);
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.err, "jetdb: Not a valid password.\n");
        }
    }
}

// The stricter check the compactor applies to its own output finds exactly what Access
// leaves behind in these files, and nothing in the others.
TEST(Corpus_Strict_Check, Reports_Only_Known_Access_Leftovers) {
    REQUIRE_CORPUS();
    kelbrook::jet::Check_Options strict;
    strict.strict_global_map = true;
    for (const auto& f : Corpus_Files()) {
        SCOPED_TRACE(f);
        auto problems = kelbrook::jet::Check(Corpus() / f, "", strict);
        if (f == "testV2000.mdb" || f == "testRefGlobalV2000.mdb") {
            ASSERT_EQ(problems.size(), 2u);
            EXPECT_NE(problems[0].find("\"MSysACEs\" records 61 rows but holds 64"), std::string::npos) << problems[0];
            EXPECT_NE(problems[1].find("pages that nothing uses are marked in use"), std::string::npos) << problems[1];
        } else if (f == "queryTestV2000.mdb") {
            ASSERT_EQ(problems.size(), 1u);
            EXPECT_NE(problems[0].find("\"MSysQueries\" records 82 rows but holds 90"), std::string::npos);
        } else {
            EXPECT_TRUE(problems.empty()) << problems.front();
        }
    }
}

}  // namespace
}  // namespace reader_test
