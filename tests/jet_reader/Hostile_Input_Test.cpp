// Inputs meant to break the reader's bounds: failed opens must give back their file
// descriptors, and every row span a reader is handed must lie inside its page, whichever
// reader asks (usage maps, table rows, long values). Built from generated databases, so
// no corpus is needed.
#include <dirent.h>

#include "Reader_Test_Util.h"
#include "jet/engine/Check.h"
#include "jet/row/Data_Page.h"
#include "jet/engine/Database.h"
#include "jet/generator/Generator.h"
#include "support/Error_Kinds.h"

namespace reader_test {
namespace {

namespace jet = kelbrook::jet;
namespace fmt = kelbrook::jet::format;
using Bytes = std::vector<std::uint8_t>;

std::size_t At(std::uint32_t page, std::size_t offset) { return static_cast<std::size_t>(page) * fmt::Page_Size + offset; }

// Open descriptors of this process.
std::size_t Open_Descriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

fs::path Generate(const Temp_Folder& temp, const std::string& name, const std::string& profile,
                  std::uint64_t rows = 20) {
    jet::Generate_Options options;
    options.profile = profile;
    options.rows = rows;
    options.deleted_fraction = 0;
    const fs::path path = temp / name;
    jet::Generate_Database(options, path);
    return path;
}

TEST(Failed_Open, Gives_Back_Its_Descriptor) {
    Temp_Folder temp;
    const fs::path good = Generate(temp, "protected.mdb", "instrument-data", 5);  // password "wexo4m"
    const std::string data = Read_File(good);
    const fs::path bad_header = temp / "bad-header.mdb";
    Write_File(bad_header, std::string(fmt::Page_Size * 4, 'x'));
    const fs::path wrong_size = temp / "wrong-size.mdb";
    Write_File(wrong_size, data.substr(0, data.size() - 100));
    struct Case {
        fs::path path;
        std::string password;
        jet::Error_Kind kind;
    };
    const std::vector<Case> cases = {{bad_header, "", jet::Error_Kind::Corrupt},
                                     {wrong_size, "wexo4m", jet::Error_Kind::Corrupt},
                                     {good, "not the password", jet::Error_Kind::Password}};
    const std::size_t before = Open_Descriptors();
    for (int round = 0; round < 10000; ++round) {
        const Case& c = cases[static_cast<std::size_t>(round) % cases.size()];
        try {
            jet::Page_File file(c.path, c.password);
            FAIL() << c.path << " opened";
        } catch (const jet::Error& e) {
            if (round < 3) {
                EXPECT_EQ(e.kind(), c.kind) << e.what();
            }
        }
    }
    EXPECT_EQ(Open_Descriptors(), before);
    // The same through the database and the check.
    for (int round = 0; round < 300; ++round) {
        EXPECT_JET_ERROR(jet::Database(cases[static_cast<std::size_t>(round) % 2].path), jet::Error_Kind::Corrupt);
        EXPECT_EQ(jet::Check(bad_header).size(), 1u);
    }
    EXPECT_EQ(Open_Descriptors(), before);
}

// Where the row that `p` names starts in the file, and its slot.
std::size_t Slot_At(jet::Row_Pointer p) { return At(p.page, fmt::Data_Row_Table + fmt::Data_Row_Slot_Size * p.row); }

// A row of the database with a row before it on its page, found by `pick`, and how the
// damaged file is read.
struct Span_Case {
    std::string name;
    std::function<std::optional<jet::Row_Pointer>(const jet::Database&)> pick;
    std::function<void(const fs::path&)> read;
};

void Read_Everything(const fs::path& path) {
    jet::Database db(path);
    for (const auto& t : db.Tables(true)) {
        const auto& def = db.Definition(t);
        db.Rows(def, [&](const jet::Live_Row& row) { db.Decode(def, row); });
    }
}

std::vector<Span_Case> Span_Cases() {
    std::vector<Span_Case> cases;
    // The owned-page map of a user table: usage maps are rows too.
    cases.push_back({"usage_map_row",
                     [](const jet::Database& db) -> std::optional<jet::Row_Pointer> {
                         for (const auto& t : db.Tables(false)) {
                             const auto& def = db.Definition(t);
                             if (def.owned_map.row > 0) return def.owned_map;
                         }
                         return std::nullopt;
                     },
                     [](const fs::path& path) {
                         jet::Database db(path);
                         for (const auto& t : db.Tables(false)) jet::Table_Data_Pages(db.File(), db.Definition(t));
                     }});
    // A row of a user table.
    cases.push_back({"table_row",
                     [](const jet::Database& db) -> std::optional<jet::Row_Pointer> {
                         std::optional<jet::Row_Pointer> found;
                         for (const auto& t : db.Tables(false))
                             db.Rows(db.Definition(t), [&](const jet::Live_Row& r) {
                                 if (!found && r.header.row > 0) found = r.header;
                             });
                         return found;
                     },
                     Read_Everything});
    // A memo/OLE value kept on a long-value page.
    cases.push_back({"long_value_row",
                     [](const jet::Database& db) -> std::optional<jet::Row_Pointer> {
                         std::optional<jet::Row_Pointer> found;
                         for (const auto& t : db.Tables(false))
                             db.Rows(db.Definition(t), [&](const jet::Live_Row& r) {
                                 for (const auto& lv : r.long_values) {
                                     if (found || lv.storage != fmt::Long_Value_Single_Row || lv.pages.empty()) continue;
                                     const auto start = r.bytes.begin() + lv.definition_offset;
                                     auto p = jet::Get_Row_Pointer(std::span<const std::uint8_t>(&*start, 12),
                                                                   fmt::Long_Value_Pointer);
                                     if (p.row > 0) found = p;
                                 }
                             });
                         return found;
                     },
                     Read_Everything});
    return cases;
}

class Row_Span : public testing::TestWithParam<std::string> {};

// The slot before the row says the row runs up to byte 0x1FF0, well past the page: the
// reader must refuse it (under the sanitizers, a read past the page would be caught).
TEST_P(Row_Span, Past_The_Page_Is_Refused) {
    auto all = Span_Cases();
    auto it = std::find_if(all.begin(), all.end(), [](const Span_Case& c) { return c.name == GetParam(); });
    ASSERT_NE(it, all.end());
    Temp_Folder temp;
    const fs::path original = Generate(temp, "every-type.mdb", "every-type", 60);
    std::optional<jet::Row_Pointer> row;
    {
        jet::Database db(original);
        row = it->pick(db);
    }
    ASSERT_TRUE(row) << "the generated database has no such row";
    const fs::path damaged = temp / "damaged.mdb";
    Patch_Copy(original, damaged, [&](Bytes& b) {
        const std::size_t previous = Slot_At(*row) - fmt::Data_Row_Slot_Size;
        jet::Put_U16(b, previous, static_cast<std::uint16_t>((jet::Get_U16(b, previous) & ~fmt::Row_Offset_Mask) | 0x1FF0));
    });
    try {
        it->read(damaged);
        FAIL() << "the damaged row was read";
    } catch (const jet::Error& e) {
        const std::string text = e.what();
        EXPECT_EQ(e.kind(), jet::Error_Kind::Corrupt);
        EXPECT_NE(text.find(damaged.string()), std::string::npos) << text;
        EXPECT_NE(text.find("page " + std::to_string(row->page)), std::string::npos) << text;
        EXPECT_NE(text.find("impossible position"), std::string::npos) << text;
    }
    EXPECT_FALSE(jet::Check(damaged).empty());
}

INSTANTIATE_TEST_SUITE_P(Generated, Row_Span, testing::Values("usage_map_row", "table_row", "long_value_row"),
                         [](const testing::TestParamInfo<std::string>& i) { return i.param; });

}  // namespace
}  // namespace reader_test
