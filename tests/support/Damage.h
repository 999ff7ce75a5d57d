// Damaged copies of the sample databases, one kind of damage at a time, for the tests of
// the check and of compaction that repairs. Each kind is what a byte gone wrong on a disk
// (or an engine stopped half way) leaves behind in a real Access-made file:
//
//   Damaged_Copy copy = Make_Damaged_Copy("indexTestV2000.mdb", folder, Damage::Key_Value);
//   // copy.path is a damaged copy in `folder`; copy.what says what was changed, and where
//
// The source comes from the test process's private corpus (Private_Corpus); a test calls
// KELBROOK_CORPUS_OR_SKIP(Corpus_Present(), ...) first. The damaged structure is found
// with the engine's own reader on the sound copy, then the bytes are patched in place.
// A file without anything to damage that way (no index, no autonumber column, no
// long-value chain, an encoded file) gives std::runtime_error naming the file.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Corpus_Required.h"
#include "jet/engine/Database.h"
#include "jet/file/Format.h"
#include "jet/index/Index.h"
#include "jet/row/Data_Page.h"
#include "jet/row/Rows.h"
#include "jet/util/Bytes.h"

namespace kelbrook::testing {

enum class Damage {
    Row_Count,            // a table's stored row count is one more than its live rows
    Autonumber_Counter,   // the autonumber counter is below the column's largest value
    Key_Value,            // a row's indexed value no longer matches its index entries
    Entry_Order,          // two entries of an index leaf are swapped
    Deleted_Row_Indexed,  // a row is deleted (and counted so) but still in its indexes
    Entry_Wrong_Row,      // two index entries point at each other's rows
    Leaf_Link,            // an index leaf links to a page that is not its neighbour
    Data_Page_Type,       // a data page of a table's usage map has another page type
    Long_Value_Chain,     // a memo/OLE chain links to a page past the end of the file
    Row_Offset,           // a row's slot points past the end of its page
};

inline constexpr std::array<Damage, 10> Every_Damage = {
    Damage::Row_Count,      Damage::Autonumber_Counter, Damage::Key_Value, Damage::Entry_Order,
    Damage::Deleted_Row_Indexed, Damage::Entry_Wrong_Row, Damage::Leaf_Link, Damage::Data_Page_Type,
    Damage::Long_Value_Chain, Damage::Row_Offset};

inline std::string Damage_Name(Damage kind) {
    switch (kind) {
        case Damage::Row_Count: return "Row_Count";
        case Damage::Autonumber_Counter: return "Autonumber_Counter";
        case Damage::Key_Value: return "Key_Value";
        case Damage::Entry_Order: return "Entry_Order";
        case Damage::Deleted_Row_Indexed: return "Deleted_Row_Indexed";
        case Damage::Entry_Wrong_Row: return "Entry_Wrong_Row";
        case Damage::Leaf_Link: return "Leaf_Link";
        case Damage::Data_Page_Type: return "Data_Page_Type";
        case Damage::Long_Value_Chain: return "Long_Value_Chain";
        case Damage::Row_Offset: return "Row_Offset";
    }
    return "?";
}

// A test name for a case of damage to a sample: "Key_Value_indexTestV2000".
inline std::string Damage_Case_Name(Damage kind, const std::string& file) {
    return Damage_Name(kind) + "_" + file.substr(0, file.find('.'));
}

// The kinds of damage no case in `cases` (each with a `kind`) exercises, by name.
template <class Case>
std::vector<std::string> Kinds_Not_Covered(const std::vector<Case>& cases) {
    std::vector<std::string> missing;
    for (Damage kind : Every_Damage)
        if (std::none_of(cases.begin(), cases.end(), [kind](const Case& c) { return c.kind == kind; }))
            missing.push_back(Damage_Name(kind));
    return missing;
}

struct Damaged_Copy {
    std::filesystem::path path;  // the damaged file
    std::string table;           // the table damaged
    std::uint32_t page = 0;      // the page patched
    std::string what;            // what was changed, for test messages
};

// The sample database `name` as this process's private copy (links; never write to it).
inline std::filesystem::path Corpus_File(const std::string& name) {
    return Private_Corpus(std::filesystem::path(KELBROOK_CORPUS_DIR)) / name;
}
inline bool Corpus_Present() { return std::filesystem::is_directory(std::filesystem::path(KELBROOK_CORPUS_DIR)); }

namespace damage_detail {

namespace fs = std::filesystem;
namespace fmt = jet::format;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] inline void Nothing_To_Damage(const fs::path& file, const std::string& what) {
    throw std::runtime_error(file.string() + ": " + what);
}

inline std::size_t At(std::uint32_t page, std::size_t offset) {
    return static_cast<std::size_t>(page) * fmt::Page_Size + offset;
}

inline Bytes Read_Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) throw std::runtime_error(path.string() + ": cannot be read");
    return b;
}

inline void Write_Bytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error(path.string() + ": cannot be written");
}

// User tables first, then the system ones: damage lands where a user would see it.
inline std::vector<jet::Catalog_Entry> Tables_User_First(const jet::Database& db) {
    auto tables = db.Tables(false);
    for (const auto& t : db.Tables(true))
        if (t.Is_System()) tables.push_back(t);
    return tables;
}

// A live row read from its own slot (not moved to another page), and its place.
struct Placed_Row {
    jet::Live_Row row;
    std::size_t start = 0;  // offset of the row's first byte in the file
};

inline std::vector<Placed_Row> Rows_In_Place(const jet::Database& db, const jet::Table_Definition& def) {
    std::vector<Placed_Row> out;
    db.Rows(def, [&](const jet::Live_Row& row) {
        jet::Page_Ref page = db.File().Read(row.header.page);
        const jet::Row_Slot slot = jet::Get_Row_Slot(db.File(), row.header.page, *page, row.header.row);
        if (!slot.overflow && !slot.deleted) out.push_back({row, At(row.header.page, slot.start)});
    });
    return out;
}

inline std::size_t Slot_At(jet::Row_Pointer p) {
    return At(p.page, fmt::Data_Row_Table + fmt::Data_Row_Slot_Size * p.row);
}

// ---- Table header fields ------------------------------------------------------------------

inline Damaged_Copy Row_Count(const fs::path& file, Bytes& b, const jet::Database& db) {
    for (const auto& t : Tables_User_First(db)) {
        const auto& def = db.Definition(t);
        std::uint32_t live = 0;
        db.Rows(def, [&live](const jet::Live_Row&) { ++live; }, jet::Long_Values::Skip);
        if (live != def.num_rows) continue;  // Access left this count stale already
        jet::Put_U32(b, At(def.page, fmt::Tdef_Num_Rows), live + 1);
        return {file, t.name, def.page, "row count " + std::to_string(live) + " -> " + std::to_string(live + 1)};
    }
    Nothing_To_Damage(file, "no table with an exact row count");
}

inline Damaged_Copy Autonumber_Counter(const fs::path& file, Bytes& b, const jet::Database& db) {
    for (const auto& t : Tables_User_First(db)) {
        const auto& def = db.Definition(t);
        for (std::size_t c = 0; c < def.columns.size(); ++c) {
            if (def.columns[c].type != fmt::Type_Int32 || !(def.columns[c].flags & fmt::Column_Flag_Auto_Long)) continue;
            std::int64_t largest = 0;
            db.Rows(def, [&](const jet::Live_Row& row) {
                const auto values = db.Decode(def, row);
                if (!values[c].Is_Null()) largest = std::max(largest, values[c].integer);
            }, jet::Long_Values::Skip);
            if (largest < 1) continue;
            const auto lowered = static_cast<std::uint32_t>(largest - 1);
            jet::Put_U32(b, At(def.page, fmt::Tdef_Autonumber), lowered);
            return {file, t.name, def.page,
                    "autonumber counter " + std::to_string(def.autonumber) + " -> " + std::to_string(lowered) +
                        " below column \"" + def.columns[c].name + "\" value " + std::to_string(largest)};
        }
    }
    Nothing_To_Damage(file, "no autonumber column with a positive value");
}

// ---- Rows ------------------------------------------------------------------------------------

// Changes one byte of a fixed-size value (numbers, dates, money) or one letter of a text
// value, so that the row's key differs from the one its index entries hold.
inline bool Change_Indexed_Value(Bytes& b, const jet::Table_Definition& def, const Placed_Row& placed,
                                 std::size_t column, std::string& what) {
    const jet::Column& c = def.columns[column];
    const auto fields = jet::Split_Row(def, placed.row.bytes, "row");
    const jet::Field& f = fields[column];
    if (f.null || f.length == 0) return false;
    const std::size_t at = placed.start + f.offset;
    if (c.Is_Fixed() && c.type != fmt::Type_Boolean && c.type != fmt::Type_Guid && c.type != fmt::Type_Numeric) {
        b[at] ^= 0x01;
        what = "column \"" + c.name + "\": lowest byte of the value flipped";
        return true;
    }
    if (c.type != fmt::Type_Text) return false;
    for (std::size_t i = 0; i < f.length; ++i) {
        std::uint8_t& ch = b[at + i];
        if ((ch >= 'a' && ch < 'z') || (ch >= 'A' && ch < 'Z')) {
            ++ch;
            what = "column \"" + c.name + "\": a letter changed";
            return true;
        }
    }
    return false;
}

inline Damaged_Copy Key_Value(const fs::path& file, Bytes& b, const jet::Database& db) {
    for (const auto& t : Tables_User_First(db)) {
        const auto& def = db.Definition(t);
        for (const auto& ix : def.real_indexes) {
            const jet::Column* first = def.Find_Column(ix.columns.front().column_number);
            if (first == nullptr) continue;
            const auto column = static_cast<std::size_t>(first - def.columns.data());
            for (const auto& placed : Rows_In_Place(db, def)) {
                std::string what;
                if (Change_Indexed_Value(b, def, placed, column, what))
                    return {file, t.name, placed.row.header.page,
                            what + " on page " + std::to_string(placed.row.header.page) + ", row " +
                                std::to_string(placed.row.header.row)};
            }
        }
    }
    Nothing_To_Damage(file, "no indexed value to change");
}

inline Damaged_Copy Deleted_Row_Indexed(const fs::path& file, Bytes& b, const jet::Database& db) {
    for (const auto& t : Tables_User_First(db)) {
        const auto& def = db.Definition(t);
        if (def.real_indexes.empty()) continue;
        const auto rows = Rows_In_Place(db, def);
        if (rows.empty()) continue;
        const jet::Row_Pointer p = rows.front().row.header;
        jet::Put_U16(b, Slot_At(p), static_cast<std::uint16_t>(jet::Get_U16(b, Slot_At(p)) | fmt::Row_Flag_Deleted));
        // Deleted the way the engine deletes: the count follows, the indexes do not.
        jet::Put_U32(b, At(def.page, fmt::Tdef_Num_Rows), def.num_rows - 1);
        return {file, t.name, p.page,
                "row " + std::to_string(p.row) + " of page " + std::to_string(p.page) + " deleted, left in the indexes"};
    }
    Nothing_To_Damage(file, "no indexed table with rows");
}

inline Damaged_Copy Data_Page_Type(const fs::path& file, Bytes& b, const jet::Database& db) {
    for (const auto& t : Tables_User_First(db)) {
        const auto& def = db.Definition(t);
        const auto rows = Rows_In_Place(db, def);
        if (rows.empty()) continue;
        const std::uint32_t page = rows.front().row.header.page;
        b[At(page, 0)] = fmt::Page_Type_Index_Node;
        return {file, t.name, page, "data page " + std::to_string(page) + " typed as an index page"};
    }
    Nothing_To_Damage(file, "no table with rows");
}

inline Damaged_Copy Row_Offset(const fs::path& file, Bytes& b, const jet::Database& db) {
    for (const auto& t : Tables_User_First(db)) {
        const auto& def = db.Definition(t);
        const auto rows = Rows_In_Place(db, def);
        if (rows.empty()) continue;
        const jet::Row_Pointer p = rows.front().row.header;
        const std::uint16_t flags = jet::Get_U16(b, Slot_At(p)) & static_cast<std::uint16_t>(~fmt::Row_Offset_Mask);
        jet::Put_U16(b, Slot_At(p), static_cast<std::uint16_t>(flags | fmt::Row_Offset_Mask));
        return {file, t.name, p.page,
                "row " + std::to_string(p.row) + " of page " + std::to_string(p.page) + " starts past the page's end"};
    }
    Nothing_To_Damage(file, "no table with rows");
}

inline Damaged_Copy Long_Value_Chain(const fs::path& file, Bytes& b, const jet::Database& db) {
    for (const auto& t : Tables_User_First(db)) {
        const auto& def = db.Definition(t);
        for (const auto& placed : Rows_In_Place(db, def))
            for (const auto& lv : placed.row.long_values) {
                if (lv.storage != fmt::Long_Value_Chain || lv.pages.size() < 2) continue;
                const std::uint32_t packed =
                    jet::Get_U32(placed.row.bytes, lv.definition_offset + fmt::Long_Value_Pointer);
                const jet::Row_Pointer first{packed >> 8, static_cast<std::uint8_t>(packed & 0xFF)};
                jet::Page_Ref page = db.File().Read(first.page);
                const jet::Row_Slot slot = jet::Get_Row_Slot(db.File(), first.page, *page, first.row);
                const std::uint32_t beyond = db.File().Page_Count() + 16;
                jet::Put_U32(b, At(first.page, slot.start), beyond << 8);  // the link opens the row
                return {file, t.name, first.page,
                        "long-value chain of column " + std::to_string(lv.column_number) + " links from page " +
                            std::to_string(first.page) + " to page " + std::to_string(beyond)};
            }
    }
    Nothing_To_Damage(file, "no memo/OLE value stored as a chain of pages");
}

// ---- Index leaves ----------------------------------------------------------------------------

// Lays `entries` (full entry bytes) out on leaf `page` again, keeping its shared prefix.
inline void Rewrite_Leaf(Bytes& b, std::uint32_t page, const std::vector<Bytes>& entries) {
    const std::size_t prefix = jet::Get_U16(b, At(page, fmt::Index_Prefix_Length));
    std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(At(page, fmt::Index_Entry_Mask)), fmt::Index_Entry_Mask_Size, 0);
    std::size_t end = fmt::Index_Entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::size_t skip = i == 0 ? 0 : prefix;
        std::copy(entries[i].begin() + static_cast<std::ptrdiff_t>(skip), entries[i].end(),
                  b.begin() + static_cast<std::ptrdiff_t>(At(page, end)));
        end += entries[i].size() - skip;
        const std::size_t bit = end - fmt::Index_Entries;
        b[At(page, fmt::Index_Entry_Mask + bit / 8)] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
}

struct Leaf_Pair {
    std::string table;
    std::uint32_t page = 0;
    std::vector<Bytes> entries;
    std::size_t first = 0;  // entries[first] and entries[first + 1] hold different keys
};

// A leaf with two neighbouring entries (after the first, which carries the shared prefix)
// whose keys differ.
inline std::optional<Leaf_Pair> Find_Leaf_Pair(const jet::Database& db) {
    for (const auto& t : Tables_User_First(db)) {
        const auto& def = db.Definition(t);
        for (const auto& ix : def.real_indexes) {
            std::vector<std::uint32_t> pages;
            jet::Walk_Index(db.File(), def, ix, [](const jet::Index_Entry&) {}, &pages);
            for (auto p : pages) {
                const jet::Index_Page leaf = jet::Read_Index_Page(db.File(), p);
                if (leaf.type != fmt::Page_Type_Index_Leaf) continue;
                for (std::size_t i = 1; i + 1 < leaf.entries.size(); ++i) {
                    const Bytes& a = leaf.entries[i];
                    const Bytes& c = leaf.entries[i + 1];
                    if (!std::equal(a.begin(), a.end() - fmt::Index_Row_Pointer_Size, c.begin(),
                                    c.end() - fmt::Index_Row_Pointer_Size))
                        return Leaf_Pair{t.name, p, leaf.entries, i};
                }
            }
        }
    }
    return std::nullopt;
}

inline Damaged_Copy Entry_Order(const fs::path& file, Bytes& b, const jet::Database& db) {
    auto pair = Find_Leaf_Pair(db);
    if (!pair) Nothing_To_Damage(file, "no index leaf with two different keys after its first entry");
    std::swap(pair->entries[pair->first], pair->entries[pair->first + 1]);
    Rewrite_Leaf(b, pair->page, pair->entries);
    return {file, pair->table, pair->page,
            "entries " + std::to_string(pair->first) + " and " + std::to_string(pair->first + 1) + " of leaf page " +
                std::to_string(pair->page) + " swapped"};
}

inline Damaged_Copy Entry_Wrong_Row(const fs::path& file, Bytes& b, const jet::Database& db) {
    auto pair = Find_Leaf_Pair(db);
    if (!pair) Nothing_To_Damage(file, "no index leaf with two different keys after its first entry");
    Bytes& a = pair->entries[pair->first];
    Bytes& c = pair->entries[pair->first + 1];
    std::swap_ranges(a.end() - fmt::Index_Row_Pointer_Size, a.end(), c.end() - fmt::Index_Row_Pointer_Size);
    Rewrite_Leaf(b, pair->page, pair->entries);
    return {file, pair->table, pair->page,
            "entries " + std::to_string(pair->first) + " and " + std::to_string(pair->first + 1) + " of leaf page " +
                std::to_string(pair->page) + " point at each other's rows"};
}

inline Damaged_Copy Leaf_Link(const fs::path& file, Bytes& b, const jet::Database& db) {
    for (const auto& t : Tables_User_First(db)) {
        const auto& def = db.Definition(t);
        for (const auto& ix : def.real_indexes) {
            std::vector<std::uint32_t> pages;
            jet::Walk_Index(db.File(), def, ix, [](const jet::Index_Entry&) {}, &pages);
            for (auto p : pages) {
                if (b[At(p, 0)] != fmt::Page_Type_Index_Leaf) continue;
                const std::uint32_t next = jet::Get_U32(b, At(p, fmt::Index_Next_Page));
                const std::uint32_t wrong = next == def.page ? def.page + 1 : def.page;
                jet::Put_U32(b, At(p, fmt::Index_Next_Page), wrong);
                return {file, t.name, p,
                        "leaf page " + std::to_string(p) + " links on to page " + std::to_string(wrong) +
                            " instead of " + std::to_string(next)};
            }
        }
    }
    Nothing_To_Damage(file, "no index leaf");
}

inline Damaged_Copy Apply(const fs::path& file, Bytes& b, const jet::Database& db, Damage kind) {
    switch (kind) {
        case Damage::Row_Count: return Row_Count(file, b, db);
        case Damage::Autonumber_Counter: return Autonumber_Counter(file, b, db);
        case Damage::Key_Value: return Key_Value(file, b, db);
        case Damage::Entry_Order: return Entry_Order(file, b, db);
        case Damage::Deleted_Row_Indexed: return Deleted_Row_Indexed(file, b, db);
        case Damage::Entry_Wrong_Row: return Entry_Wrong_Row(file, b, db);
        case Damage::Leaf_Link: return Leaf_Link(file, b, db);
        case Damage::Data_Page_Type: return Data_Page_Type(file, b, db);
        case Damage::Long_Value_Chain: return Long_Value_Chain(file, b, db);
        case Damage::Row_Offset: return Row_Offset(file, b, db);
    }
    Nothing_To_Damage(file, "unknown kind of damage");
}

}  // namespace damage_detail

// Damages the database at `path` in place (a private copy: never a shared sample).
inline Damaged_Copy Damage_File(const std::filesystem::path& path, Damage kind) {
    damage_detail::Bytes bytes = damage_detail::Read_Bytes(path);
    Damaged_Copy done;
    {
        const jet::Database db(path);
        if (db.Header().database_key != 0)
            damage_detail::Nothing_To_Damage(path, "its pages are encoded; damage needs plain pages");
        done = damage_detail::Apply(path, bytes, db, kind);
    }
    damage_detail::Write_Bytes(path, bytes);
    return done;
}

// Copies the sample database `name` into `folder` (a copy of its own, not a link) and
// damages the copy.
inline Damaged_Copy Make_Damaged_Copy(const std::string& name, const std::filesystem::path& folder, Damage kind) {
    const std::filesystem::path copy = folder / name;
    std::filesystem::copy_file(Corpus_File(name), copy, std::filesystem::copy_options::overwrite_existing);
    return Damage_File(copy, kind);
}

}  // namespace kelbrook::testing
