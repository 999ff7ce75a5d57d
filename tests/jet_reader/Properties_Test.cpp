// Property blobs (MSysObjects.LvProp): the corpus's Required columns read as mdb-schema
// reads them, and damaged blobs give a Corrupt error naming the object, never a crash.
#include <gtest/gtest.h>

#include <set>

#include "jet/engine/Database.h"
#include "jet/engine/Properties.h"
#include "Reader_Test_Util.h"
#include "support/Error_Kinds.h"

using namespace reader_test;
namespace jet = kelbrook::jet;

namespace {

// The property blob of the table `name`.
std::vector<std::uint8_t> Blob_Of(const jet::Database& db, const std::string& name) {
    const jet::Table_Definition& catalog = db.Definition(jet::format::Catalog_Tdef_Page);
    const jet::Catalog_Entry& table = db.Find_Table(name);
    std::vector<std::uint8_t> blob;
    db.Rows(catalog, [&](const jet::Live_Row& row) {
        const auto values = db.Decode(catalog, row);
        for (std::size_t c = 0; c < catalog.columns.size(); ++c)
            if (catalog.columns[c].name == "Id" && values[c].integer == table.id)
                for (std::size_t v = 0; v < catalog.columns.size(); ++v)
                    if (catalog.columns[v].name == "LvProp") blob = values[v].bytes;
    });
    return blob;
}

}  // namespace

TEST(Properties, Required_Columns_Of_The_Corpus) {
    REQUIRE_CORPUS();
    struct Case {
        const char* file;
        const char* table;
        std::set<std::string> required;
        std::set<std::string> optional;
    };
    const std::vector<Case> cases = {
        {"fixedTextTestV2000.mdb", "users", {"i_user_id", "c_user_login", "c_user_name", "i_user_merch"}, {}},
        {"indexTestV2000.mdb", "Table1", {}, {"id", "otherfk1", "data"}},
        {"compIndexTestV2000.mdb", "Table1", {}, {"CD_AGENTE", "RS_AGENTE"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        jet::Database db(Corpus() / c.file);
        const auto tables = db.Tables(false);
        const auto all = jet::Read_Object_Properties(db, tables);
        const auto it = all.find(db.Find_Table(c.table).id);
        ASSERT_NE(it, all.end());
        for (const auto& column : c.required) EXPECT_TRUE(it->second.Column_Flag(column, "Required")) << column;
        for (const auto& column : c.optional) {
            EXPECT_FALSE(it->second.Column_Flag(column, "Required")) << column;
            EXPECT_TRUE(it->second.columns.count(column)) << column << " has no properties";
        }
        EXPECT_FALSE(it->second.Column_Flag("no such column", "Required"));
    }
}

TEST(Properties, Damaged_Blobs_Are_Refused_As_Corrupt) {
    REQUIRE_CORPUS();
    jet::Database db(Corpus() / "fixedTextTestV2000.mdb");
    const std::vector<std::uint8_t> blob = Blob_Of(db, "users");
    ASSERT_GT(blob.size(), 100u);
    EXPECT_TRUE(jet::Parse_Properties(blob, "users").Column_Flag("i_user_id", "Required"));

    struct Case {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> spoil;
    };
    const std::vector<Case> cases = {
        {"other signature", [](auto& b) { b[0] = 'K'; }},
        {"cut inside the signature", [](auto& b) { b.resize(3); }},
        {"chunk longer than the blob", [](auto& b) { jet::Put_U32(b, 4, static_cast<std::uint32_t>(b.size())); }},
        {"chunk shorter than its header", [](auto& b) { jet::Put_U32(b, 4, 2); }},
        {"cut in the middle", [](auto& b) { b.resize(b.size() / 2); }},
        {"no names before the properties",
         [](auto& b) { b.erase(b.begin() + 4, b.begin() + 4 + jet::Get_U32(b, 4)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> spoilt = blob;
        c.spoil(spoilt);
        EXPECT_JET_ERROR(jet::Parse_Properties(spoilt, "users"), jet::Error_Kind::Corrupt);
    }
    // Every length: a whole blob or a Corrupt error, nothing else.
    for (std::size_t size = 0; size < blob.size(); ++size) {
        try {
            jet::Parse_Properties(std::span(blob).first(size), "users");
        } catch (const jet::Error& e) {
            EXPECT_EQ(e.kind(), jet::Error_Kind::Corrupt) << size << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find("users"), std::string::npos) << e.what();
        }
    }
}
