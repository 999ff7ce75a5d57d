#include "jet/engine/Space.h"

#include <algorithm>
#include <map>
#include <set>

#include "jet/engine/Database.h"
#include "jet/file/Format.h"
#include "jet/index/Index.h"
#include "jet/row/Rows.h"

namespace kelbrook::jet {
namespace {

namespace f = format;

// A usage-map row as writers make them: inline, with the usual 64-byte bitmap (or a
// reference map of the same length).
constexpr std::uint64_t Map_Row_Bytes = f::Map_Inline_Bitmap + f::Map_Inline_Default_Bytes + f::Data_Row_Slot_Size;
// Continuation pages of a table definition carry this many of its bytes.
constexpr std::uint64_t Tdef_Continuation_Bytes = f::Page_Size - f::Tdef_Page_Header_Size;

std::uint64_t Ceil_Div(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// Fewest data pages holding `bytes` (slots included) in `rows` rows: full pages, and no
// more rows on a page than a one-byte row number can name.
std::uint64_t Data_Pages_For(std::uint64_t bytes, std::uint64_t rows) {
    return std::max(Ceil_Div(bytes, f::Data_Page_Initial_Free), Ceil_Div(rows, f::Max_Rows_Per_Page));
}

// Fewest pages of one real index with `count` entries of `bytes` in all. Keys count in
// full: the prefix an index page shares between its entries is not taken off, so a
// writer sharing prefixes can do with fewer pages. Above the leaves, node levels point
// at the pages below them with entries of average size plus the child pointer (the last
// child of a level goes in the tail pointer), up to a single root. An index always has
// its root page, even when empty.
std::uint64_t Index_Pages_For(std::uint64_t bytes, std::uint64_t count) {
    std::uint64_t level = std::max<std::uint64_t>(1, Ceil_Div(bytes, f::Index_Max_Entry_Bytes));
    std::uint64_t pages = level;
    const std::uint64_t node_entry = (count > 0 ? bytes / count : 0) + f::Index_Child_Pointer_Size;
    while (level > 1) {
        level = std::max<std::uint64_t>(1, Ceil_Div((level - 1) * node_entry, f::Index_Max_Entry_Bytes));
        pages += level;
    }
    return pages;
}

// Pages a table definition of `length` bytes takes: the first page in full, then
// continuation pages less their header.
std::uint64_t Definition_Pages_For(std::uint64_t length) {
    if (length <= f::Page_Size) return 1;
    return 1 + Ceil_Div(length - f::Page_Size, Tdef_Continuation_Bytes);
}

// Bytes a long value of `size` stored bytes takes on long-value pages: one row with its
// slot, or for a longer value a chain of rows of at most Long_Value_Max_Chunk bytes,
// each with its slot and the link to the next.
std::uint64_t Long_Value_Bytes(std::uint64_t size, std::uint64_t& rows) {
    if (size <= f::Long_Value_Max_Single) {
        rows += 1;
        return size + f::Data_Row_Slot_Size;
    }
    const std::uint64_t chunks = Ceil_Div(size, f::Long_Value_Max_Chunk);
    rows += chunks;
    return size + chunks * (f::Data_Row_Slot_Size + f::Long_Value_Chain_Link);
}

void Add(Space_Category& total, const Space_Category& part) {
    total.bytes += part.bytes;
    total.smallest_pages += part.smallest_pages;
    total.file_pages += part.file_pages;
}

Table_Space Measure_Table(const Database& db, const Catalog_Entry& entry) {
    const Table_Definition& def = db.Definition(entry);
    Table_Space t;
    t.name = entry.name;

    // Rows and the long values kept outside them, per column (each column has pages of
    // its own).
    struct Column_Values {
        std::uint64_t bytes = 0;
        std::uint64_t rows = 0;
    };
    std::map<std::uint16_t, Column_Values> columns;
    std::set<std::uint32_t> lval_pages;
    db.Rows(def, [&](const Live_Row& row) {
        ++t.rows;
        t.row_data.bytes += row.bytes.size() + f::Data_Row_Slot_Size;
        for (const auto& lv : row.long_values) {
            lval_pages.insert(lv.pages.begin(), lv.pages.end());
            if (lv.storage == f::Long_Value_Inline || lv.value.empty()) continue;
            auto& c = columns[lv.column_number];
            c.bytes += Long_Value_Bytes(lv.value.size(), c.rows);
        }
    });
    t.row_data.smallest_pages = Data_Pages_For(t.row_data.bytes, t.rows);
    t.row_data.file_pages = Table_Data_Pages(db.File(), def).size();
    for (const auto& [number, c] : columns) {
        t.long_values.bytes += c.bytes;
        t.long_values.smallest_pages += Data_Pages_For(c.bytes, c.rows);
    }
    t.long_values.file_pages = lval_pages.size();

    for (const auto& index : def.real_indexes) {
        std::uint64_t bytes = 0, count = 0;
        std::vector<std::uint32_t> pages;
        Walk_Index(
            db.File(), def, index,
            [&](const Index_Entry& e) {
                bytes += e.key.size() + f::Index_Row_Pointer_Size;
                ++count;
            },
            &pages);
        t.indexes.bytes += bytes;
        t.indexes.smallest_pages += Index_Pages_For(bytes, count);
        t.indexes.file_pages += std::set<std::uint32_t>(pages.begin(), pages.end()).size();
    }

    t.definition_pages = Definition_Pages_For(def.bytes.size());
    // Owned and free pages of the table and of each mapped memo/OLE column, and one map
    // per real index.
    t.usage_maps = 2 + def.real_indexes.size();
    for (const auto& c : def.columns)
        if (c.Is_Long_Value() && c.has_page_maps) t.usage_maps += 2;
    return t;
}

}  // namespace

double Space_Report::Ratio() const {
    return smallest_pages == 0 ? 0.0 : static_cast<double>(pages) / static_cast<double>(smallest_pages);
}

Space_Report Measure_Space(const Database& db) {
    Space_Report report;
    report.pages = db.File().Page_Count();
    std::uint64_t definition_pages = 0, usage_maps = 0;
    std::set<std::uint32_t> measured;  // a damaged catalogue may name a definition twice
    for (const auto& entry : db.Tables(true)) {
        if (!measured.insert(entry.Page()).second) continue;
        Table_Space t = Measure_Table(db, entry);
        Add(report.row_data, t.row_data);
        Add(report.long_values, t.long_values);
        Add(report.indexes, t.indexes);
        definition_pages += t.definition_pages;
        usage_maps += t.usage_maps;
        report.tables.push_back(std::move(t));
    }
    // Page 0 and the global map page, the definitions, and the map rows packed onto
    // host pages.
    report.fixed_pages = 2 + definition_pages + Ceil_Div(usage_maps * Map_Row_Bytes, f::Data_Page_Initial_Free);
    report.smallest_pages = report.row_data.smallest_pages + report.long_values.smallest_pages +
                            report.indexes.smallest_pages + report.fixed_pages;
    return report;
}

}  // namespace kelbrook::jet
