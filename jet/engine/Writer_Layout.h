// The writer's layout of a new database: the page of every table definition, data page,
// long-value page, index page and usage map, decided from a Database_Image in one pass
// over its rows (sizes only) before any file exists. Write_Database lays the image out
// with Plan_Layout and then produces exactly the pages the plan names; tests plan images
// without writing them.
//
// Page order: 0 header, 1 global usage map, the table definitions from page 2 in table
// order, the usage-map host pages, then per table its data pages, its long-value pages
// (column by column) and its index pages (leaves, then each upper level, the root last),
// then the bitmap pages of any reference usage maps, and last those of the global map
// when it does not fit inline on page 1.
//
// Rows are packed in order; long values in row order onto a few open pages per column (a
// long value's full chunks get pages of their own, its last chunk shares); index entries
// sorted by key and then by row (the order of the new row pointers).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "jet/util/Bytes.h"
#include "jet/file/Format.h"
#include "jet/engine/Writer.h"
#include "jet/table/Table_Definition.h"

namespace kelbrook::jet::layout {

// Every map row the writer makes (except the global map) is 69 bytes: inline with a
// 64-byte bitmap, or a reference map with 17 pointers.
inline constexpr std::size_t Map_Row_Size = format::Map_Inline_Bitmap + format::Map_Inline_Default_Bytes;
inline constexpr std::size_t Map_Bitmap_Bytes = Map_Row_Size - format::Map_Inline_Bitmap;
inline constexpr std::uint32_t Map_Inline_Pages = Map_Bitmap_Bytes * 8;
inline constexpr std::size_t Map_Pointers = format::Map_Reference_Default_Count;
static_assert(format::Map_Reference_Pointers + 4 * Map_Pointers == Map_Row_Size);
inline constexpr std::size_t Page_Row_Capacity = format::Data_Page_Initial_Free;  // slot + bytes per page
inline constexpr std::size_t Free_Map_Threshold = 64;  // pages with this much room are "free"
inline constexpr std::size_t Tdef_Continuation_Bytes = format::Page_Size - format::Tdef_Page_Header_Size;

// Where the fields the writer patches sit in a table definition.
using Column_Map_Slot = Column_Map_Entry;

struct Tdef_Fields {
    std::uint32_t real_indexes = 0;
    std::vector<std::size_t> real_index_blocks;
    std::vector<Column_Map_Slot> column_maps;
};

struct Map_Plan {
    std::vector<std::uint32_t> pages;  // sorted page numbers listed in the map
    bool reference = false;
    Row_Pointer where;                 // host row
    std::array<std::uint32_t, Map_Pointers> bitmap_pages{};  // reference maps: 0x05 pages
};

struct Data_Page_Plan {
    std::uint32_t rows = 0;  // consecutive rows of the table
    std::size_t used = 0;    // bytes of rows + slots
};

// One long value's place. A value of up to Long_Value_Max_Single bytes is one LVAL row
// on a shared page. A longer one is a chain: full chunks on pages of their own, then its
// last, shorter chunk as a row on a shared page.
struct Lval_Place {
    std::uint32_t size = 0;        // bytes of the value
    bool chain = false;
    std::uint32_t first_page = 0;  // chains: ordinal of the first full chunk's page
    std::uint32_t full_chunks = 0; // chains: chunks on pages of their own
    std::uint32_t row_page = 0;    // ordinal of the page holding the single row / last chunk
    std::uint8_t slot = 0;         // its slot there
};

// The long-value pages of one memo/OLE column (or of all columns without a map entry).
struct Lval_Column_Plan {
    std::uint16_t column = 0;
    bool mapped = false;            // has a map entry in the definition
    std::size_t map_entry = 0;      // offset of that entry
    std::vector<Lval_Place> values; // in row order
    // Per page ordinal: shared pages count their rows; a chain's full chunk owns a page.
    struct Page {
        std::uint32_t rows = 0;
        std::size_t used = 0;       // bytes of rows + slots
        bool chunk = false;
    };
    std::vector<Page> pages;
    std::vector<std::uint32_t> open;  // shared pages that may take more rows
    std::uint32_t first_page = 0;     // absolute
    Map_Plan owned, free;
};

struct Index_Page_Plan {
    bool leaf = true;
    // Leaves: a range of sorted entries. Nodes: a range of child pages of the level below
    // (the last child goes to the tail pointer when the page has more than one child).
    std::size_t begin = 0, end = 0;
    std::size_t last_entry = 0;    // the last sorted entry in this page's subtree
    std::uint32_t last_leaf = 0;   // the leaf that entry is on
    std::size_t prefix = 0;
    std::uint32_t page = 0;        // absolute
};

// The last entry of each leaf page, in leaf order: node pages name their children by it,
// so the writer needs no other entry twice.
struct Leaf_Bounds {
    std::vector<std::uint8_t> keys;   // end to end
    std::vector<std::uint32_t> ends;  // where each key ends in keys
    std::vector<std::uint32_t> rows;
    void Add(std::span<const std::uint8_t> key, std::uint32_t row) {
        keys.insert(keys.end(), key.begin(), key.end());
        ends.push_back(static_cast<std::uint32_t>(keys.size()));
        rows.push_back(row);
    }
    std::span<const std::uint8_t> Key(std::size_t leaf) const {
        const std::size_t begin = leaf == 0 ? 0 : ends[leaf - 1];
        return std::span<const std::uint8_t>(keys).subspan(begin, ends[leaf] - begin);
    }
};

struct Index_Plan {
    std::uint32_t entries = 0;         // entries in the index
    Leaf_Bounds bounds;
    std::vector<std::vector<Index_Page_Plan>> levels;  // [0] leaves ... back() = root
    std::uint32_t first_page = 0;
    std::uint32_t page_count = 0;
    std::uint32_t distinct = 0;
    Map_Plan map;
};

struct Table_Plan {
    Tdef_Fields fields;
    std::uint32_t tdef_page = 0;
    std::uint32_t tdef_pages = 0;   // the first and its continuations
    std::uint32_t row_count = 0;
    std::map<std::uint16_t, std::size_t> column_of;  // memo/OLE column -> lval_columns
    std::size_t unmapped = SIZE_MAX;                 // lval_columns of unmapped columns
    std::vector<Data_Page_Plan> data_pages;
    std::uint32_t first_data_page = 0;
    std::vector<std::uint32_t> first_rows;  // per data page: the row it starts with
    // Per block of Rows_Per_Block rows: the data page (in first_rows) holding its first row.
    // Index entries come in key order, rows at random: this spares each a binary search.
    static constexpr std::uint32_t Rows_Per_Block = 64;
    std::vector<std::uint32_t> block_pages;
    // Where row `r` (below row_count) is stored: rows are packed in order.
    Row_Pointer Row_Pointer_Of(std::uint32_t r) const {
        const std::size_t block = r / Rows_Per_Block;
        // The row lies on a page from its block's first to the next block's.
        const std::size_t low = block_pages[block];
        const std::size_t high = block + 1 < block_pages.size() ? block_pages[block + 1] + std::size_t{1} : first_rows.size();
        std::size_t d = low;
        if (high - low > 1)
            d = static_cast<std::size_t>(std::upper_bound(first_rows.begin() + static_cast<std::ptrdiff_t>(low),
                                                          first_rows.begin() + static_cast<std::ptrdiff_t>(high), r) -
                                         first_rows.begin() - 1);
        return Row_Pointer{first_data_page + static_cast<std::uint32_t>(d), static_cast<std::uint8_t>(r - first_rows[d])};
    }
    std::vector<Lval_Column_Plan> lval_columns;
    std::vector<Index_Plan> indexes;
    Map_Plan owned, free;
};

// Calls visit(map, range) for each usage map of a table, in the order they sit on their
// host page: the table's owned and free maps, each index's map, then the owned and free
// maps of each long-value column with a map entry. `range` is the map whose pages decide
// whether `map` is inline or a reference map (a free map follows its owned map).
template <class Plan, class Visit>
void Each_Map(Plan& plan, Visit visit) {
    visit(plan.owned, plan.owned);
    visit(plan.free, plan.owned);
    for (auto& index : plan.indexes) visit(index.map, index.map);
    for (auto& col : plan.lval_columns)
        if (col.mapped) {
            visit(col.owned, col.owned);
            visit(col.free, col.owned);
        }
}

// A usage map: its table and its place in that table's Each_Map order.
struct Map_Ref {
    std::uint32_t table = 0;
    std::uint32_t map = 0;
};

// Page 1's map of the whole file (set bit: a free page, that is one past the end).
struct Global_Map_Plan {
    bool reference = false;
    std::size_t bitmap_bytes = 0;                            // inline: bytes of the bitmap
    std::array<std::uint32_t, Map_Pointers> bitmap_pages{};  // reference: its 0x05 pages
};

struct Layout_Plan {
    std::vector<Table_Plan> tables;               // as image.tables
    std::uint32_t first_host = 0;                 // the first usage-map host page
    std::vector<std::vector<Map_Ref>> hosts;      // the maps on each host page, in row order
    std::vector<std::pair<std::uint32_t, Map_Ref>> bitmap_pages;  // (block, map), in page order
    Global_Map_Plan global;
    std::uint32_t total = 0;                      // pages in the file

    const Map_Plan& Map(Map_Ref ref) const;
};

// Lays out `image` in full. Throws Error naming the table for an image that cannot be
// laid out (definition too short, row too long, index naming a missing row, file too
// large); reads each table's rows once, sizes only.
Layout_Plan Plan_Layout(const Database_Image& image);

// Pages a table definition of `length` bytes takes: the first in full, then
// continuations after their 8-byte header.
std::uint32_t Definition_Page_Count(std::size_t length);

// The long-value column plan a non-empty value of `column` was laid out in; SIZE_MAX when
// the layout saw no such value.
std::size_t Find_Lval_Column(const Table_Plan& plan, std::uint16_t column);

}  // namespace kelbrook::jet::layout
