// Lays out a Database_Image as a fresh file. The layout is decided in full before any
// byte is produced, because every page count can be known up front from one pass over
// the rows (their sizes and their long values' lengths): rows are packed in order, long
// values in row order onto a few open pages per column (a long value's full chunks get
// pages of their own, its last chunk shares), index entries sorted by key and then by
// row (the order of the new row pointers, rows being packed in order onto consecutive
// pages).
//
// Page order: 0 header, 1 global usage map, the table definitions from page 2 in table
// order, the usage-map host pages, then per table its data pages, its long-value pages
// (column by column) and its index pages (leaves, then each upper level, the root last),
// and finally the bitmap pages of any reference usage maps. A second pass over the rows
// writes each page as soon as its last row has come, so the writer holds the layout, the
// index keys and a few pages, never the rows of a whole table.
#include "jet/Writer.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <optional>
#include <tuple>
#include <span>

#include "jet/Bytes.h"
#include "jet/Crypto.h"
#include "jet/Error.h"
#include "jet/File_Output.h"
#include "jet/Format.h"

namespace kelbrook::jet {

namespace f = format;

namespace {

using Page_Bytes = std::vector<std::uint8_t>;  // always f::Page_Size long

constexpr std::uint32_t Max_File_Pages = f::Max_Database_Pages;
// Every map row the writer makes (except the global map) is 69 bytes: inline with a
// 64-byte bitmap, or a reference map with 17 pointers.
constexpr std::size_t Map_Row_Size = f::Map_Inline_Bitmap + f::Map_Inline_Default_Bytes;
constexpr std::size_t Map_Bitmap_Bytes = Map_Row_Size - f::Map_Inline_Bitmap;
constexpr std::uint32_t Map_Inline_Pages = Map_Bitmap_Bytes * 8;
constexpr std::size_t Map_Pointers = f::Map_Reference_Default_Count;
static_assert(f::Map_Reference_Pointers + 4 * Map_Pointers == Map_Row_Size);
constexpr std::size_t Page_Row_Capacity = f::Data_Page_Initial_Free;  // slot + bytes per page
constexpr std::size_t Free_Map_Threshold = 64;        // pages with this much room are "free"
constexpr std::size_t Tdef_Continuation_Bytes = f::Page_Size - f::Tdef_Page_Header_Size;

[[noreturn]] void Fail_Table(const std::string& table, const std::string& what) {
    throw Error("Cannot write table '" + table + "': " + what);
}

// ---- Table definition parsing: where the fields the writer patches sit ----------------

struct Column_Map_Slot {
    std::uint16_t column = 0;
    std::size_t offset = 0;  // of the 10-byte entry in the definition
};

struct Tdef_Fields {
    std::uint32_t real_indexes = 0;
    std::vector<std::size_t> real_index_blocks;
    std::vector<Column_Map_Slot> column_maps;
};

Tdef_Fields Locate_Fields(const Table_Image& table) {
    const auto& d = table.definition;
    const std::string& name = table.name;
    if (d.size() < f::Tdef_Min_Length) Fail_Table(name, "the table definition is too short.");
    Tdef_Fields out;
    const std::uint16_t columns = Get_U16(d, f::Tdef_Columns);
    const std::uint32_t logical = Get_U32(d, f::Tdef_Logical_Indexes);
    out.real_indexes = Get_U32(d, f::Tdef_Real_Indexes);
    if (out.real_indexes > 1000 || logical > 1000)
        Fail_Table(name, "the table definition claims too many indexes.");
    std::size_t at = f::Tdef_Index_Stats + f::Index_Stats_Size * out.real_indexes;
    at += f::Column_Block_Size * columns;
    if (at > d.size()) Fail_Table(name, "the table definition ends inside its columns.");
    for (std::uint32_t c = 0; c < columns; ++c) {
        if (!Has_Range(d.size(), at, 2)) Fail_Table(name, "the table definition ends inside its column names.");
        at += 2 + Get_U16(d, at);
    }
    for (std::uint32_t i = 0; i < out.real_indexes; ++i) {
        if (!Has_Range(d.size(), at, f::Real_Index_Block_Size))
            Fail_Table(name, "the table definition ends inside its indexes.");
        out.real_index_blocks.push_back(at);
        at += f::Real_Index_Block_Size;
    }
    at += f::Logical_Index_Block_Size * logical;
    if (at > d.size()) Fail_Table(name, "the table definition ends inside its indexes.");
    for (std::uint32_t i = 0; i < logical; ++i) {
        if (!Has_Range(d.size(), at, 2)) Fail_Table(name, "the table definition ends inside its index names.");
        at += 2 + Get_U16(d, at);
    }
    // Long-value column maps, ended by FF FF (older definitions end right here).
    while (Has_Range(d.size(), at, 2) && Get_U16(d, at) != f::Tdef_End_Marker) {
        if (!Has_Range(d.size(), at, f::Column_Map_Entry_Size))
            Fail_Table(name, "the table definition ends inside its long-value column maps.");
        out.column_maps.push_back({Get_U16(d, at), at});
        at += f::Column_Map_Entry_Size;
    }
    return out;
}

// ---- Plans --------------------------------------------------------------------------

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

// One long value's place: a single LVAL row, or a chain of one row per page.
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

// Shared long-value pages stay open for more rows while they have room, a few at a time,
// so that short values and the ends of long ones fill the gaps.
constexpr std::size_t Open_Lval_Pages = 32;

struct Lval_Column_Plan {
    std::uint16_t column = 0;
    bool mapped = false;            // has a map entry in the definition
    std::size_t map_entry = 0;      // offset of that entry
    std::vector<Lval_Place> values;
    // Per page ordinal: shared pages count their rows; a chain's full chunk owns a page.
    struct Page {
        std::uint32_t rows = 0;
        std::size_t used = 0;       // bytes of rows + slots
        bool chunk = false;
    };
    std::vector<Page> pages;
    std::vector<std::uint32_t> open;  // shared pages that may take more rows
    std::uint32_t first_page = 0;  // absolute
    Map_Plan owned, free;

    // Places a row of `bytes` on an open shared page (the first with room) or a new one;
    // gives its (page ordinal, slot).
    std::pair<std::uint32_t, std::uint8_t> Place_Row(std::size_t bytes) {
        const std::size_t need = bytes + 2;
        for (std::uint32_t p : open) {
            Page& page = pages[p];
            if (page.used + need <= Page_Row_Capacity && page.rows < f::Max_Rows_Per_Page) {
                page.used += need;
                return {p, static_cast<std::uint8_t>(page.rows++)};
            }
        }
        const auto p = static_cast<std::uint32_t>(pages.size());
        pages.push_back(Page{1, need, false});
        open.push_back(p);
        if (open.size() > Open_Lval_Pages) {
            // Close the fullest.
            auto fullest = std::max_element(open.begin(), open.end(), [&](std::uint32_t a, std::uint32_t b) {
                return pages[a].used < pages[b].used;
            });
            open.erase(fullest);
        }
        return {p, 0};
    }
};

struct Index_Page_Plan {
    bool leaf = true;
    // Leaves: a range of sorted entries. Nodes: a range of child pages of the level below
    // (the last child goes to the tail pointer when the page has more than one child).
    std::size_t begin = 0, end = 0;
    std::size_t last_entry = 0;    // the last sorted entry in this page's subtree
    std::size_t prefix = 0;
    std::uint32_t page = 0;        // absolute
};

struct Index_Plan {
    std::vector<std::uint32_t> order;  // sorted entry indexes
    std::vector<std::vector<Index_Page_Plan>> levels;  // [0] leaves ... back() = root
    std::uint32_t first_page = 0;
    std::uint32_t page_count = 0;
    std::uint32_t distinct = 0;
    Map_Plan map;
};

struct Table_Plan {
    Tdef_Fields fields;
    std::uint32_t tdef_page = 0;
    std::uint32_t row_count = 0;
    std::map<std::uint16_t, std::size_t> column_of;  // memo/OLE column -> lval_columns
    std::size_t unmapped = SIZE_MAX;                 // lval_columns of unmapped columns
    std::vector<Data_Page_Plan> data_pages;
    std::uint32_t first_data_page = 0;
    std::vector<Row_Pointer> row_pointers;  // per row
    std::vector<Lval_Column_Plan> lval_columns;
    std::vector<Index_Plan> indexes;
    Map_Plan owned, free;
};

// Unsigned byte order, a shorter key that is a prefix first: how Jet orders index keys.
int Compare_Bytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::size_t Common_Prefix(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// The long-value column plan a value of `column` goes to.
std::size_t Lval_Column_Of(Table_Plan& plan, std::uint16_t column) {
    auto it = plan.column_of.find(column);
    if (it != plan.column_of.end()) return it->second;
    if (plan.unmapped == SIZE_MAX) {
        plan.unmapped = plan.lval_columns.size();
        plan.lval_columns.emplace_back();
    }
    return plan.unmapped;
}

// Lays out the table's rows on data pages and its long values on long-value pages, in
// row order, from one pass over the rows.
void Plan_Rows(const Table_Image& table, Table_Plan& plan) {
    for (const auto& slot : plan.fields.column_maps) {
        if (plan.column_of.count(slot.column)) continue;
        plan.column_of[slot.column] = plan.lval_columns.size();
        Lval_Column_Plan c;
        c.column = slot.column;
        c.mapped = true;
        c.map_entry = slot.offset;
        plan.lval_columns.push_back(std::move(c));
    }
    std::uint32_t r = 0;
    Each_Row(table, [&](const Row_Image& row) {
        const std::size_t size = row.bytes.size();
        if (size == 0 || size + 2 > Page_Row_Capacity)
            Fail_Table(table.name, "row " + std::to_string(r) + " is " + std::to_string(size) +
                                       " bytes long, which no data page can hold.");
        if (plan.data_pages.empty() || plan.data_pages.back().used + size + 2 > Page_Row_Capacity ||
            plan.data_pages.back().rows >= f::Max_Rows_Per_Page)
            plan.data_pages.emplace_back();
        ++plan.data_pages.back().rows;
        plan.data_pages.back().used += size + 2;

        for (const auto& lv : row.long_values) {
            if (!Has_Range(row.bytes.size(), lv.definition_offset, f::Long_Value_Definition_Size))
                Fail_Table(table.name, "row " + std::to_string(r) +
                                           " has a long-value definition outside the row.");
            if (lv.Size() > f::Long_Value_Length_Mask)
                Fail_Table(table.name, "a long value of row " + std::to_string(r) + " is too long.");
            if (lv.Size() == 0) continue;  // stored inline as an empty value
            auto& col = plan.lval_columns[Lval_Column_Of(plan, lv.column_number)];
            Lval_Place place;
            place.size = static_cast<std::uint32_t>(lv.Size());
            if (place.size <= f::Long_Value_Max_Single) {
                std::tie(place.row_page, place.slot) = col.Place_Row(place.size);
            } else {
                place.chain = true;
                place.full_chunks = (place.size - 1) / static_cast<std::uint32_t>(f::Long_Value_Max_Chunk);
                place.first_page = static_cast<std::uint32_t>(col.pages.size());
                for (std::uint32_t k = 0; k < place.full_chunks; ++k)
                    col.pages.push_back(Lval_Column_Plan::Page{1, f::Long_Value_Chain_Link + f::Long_Value_Max_Chunk + 2, true});
                const std::size_t rest = place.size - std::size_t{place.full_chunks} * f::Long_Value_Max_Chunk;
                std::tie(place.row_page, place.slot) = col.Place_Row(f::Long_Value_Chain_Link + rest);
            }
            col.values.push_back(place);
        }
        ++r;
    }, false);
    plan.row_count = r;
}

// Size of a page holding `count` entries of total `sum` bytes sharing `prefix` bytes.
std::size_t Packed_Size(std::size_t sum, std::size_t count, std::size_t prefix) {
    return sum - (count > 0 ? (count - 1) * prefix : 0);
}

void Plan_Index(const Table_Image& table, const Table_Plan& table_plan, std::size_t number, Index_Plan& plan) {
    const Index_Image& entries = table.indexes[number];
    if (entries.Size() > UINT32_MAX) Fail_Table(table.name, "an index has too many entries.");
    plan.order.resize(entries.Size());
    std::iota(plan.order.begin(), plan.order.end(), std::uint32_t{0});
    bool sorted = true;
    for (std::size_t i = 0; i < entries.Size(); ++i) {
        if (entries.Row(i) >= table_plan.row_count)
            Fail_Table(table.name, "index " + std::to_string(number) + " names row " +
                                       std::to_string(entries.Row(i)) + ", which does not exist.");
        if (i > 0 && sorted) {
            const int order = Compare_Bytes(entries.Key(i - 1), entries.Key(i));
            sorted = order < 0 || (order == 0 && entries.Row(i - 1) < entries.Row(i));
        }
    }
    // Entries taken from an existing index usually come in order already.
    if (!sorted)
        std::stable_sort(plan.order.begin(), plan.order.end(), [&](std::uint32_t a, std::uint32_t b) {
            const int order = Compare_Bytes(entries.Key(a), entries.Key(b));
            if (order != 0) return order < 0;
            return entries.Row(a) < entries.Row(b);
        });
    for (std::size_t i = 0; i < plan.order.size(); ++i)
        if (i == 0 || Compare_Bytes(entries.Key(plan.order[i]), entries.Key(plan.order[i - 1])) != 0)
            ++plan.distinct;

    auto key_of = [&](std::size_t sorted_at) { return entries.Key(plan.order[sorted_at]); };

    // Leaves.
    std::vector<Index_Page_Plan> leaves;
    std::size_t i = 0;
    while (i < plan.order.size()) {
        Index_Page_Plan page;
        page.begin = i;
        std::size_t sum = 0;
        std::size_t prefix = 0;
        std::size_t j = i;
        for (; j < plan.order.size(); ++j) {
            const std::size_t size = key_of(j).size() + f::Index_Row_Pointer_Size;
            if (size > f::Index_Max_Entry_Bytes)
                Fail_Table(table.name, "an index key is too long for an index page.");
            const std::size_t p = j == i ? 0 : Common_Prefix(key_of(i), key_of(j));
            const std::size_t trial = Packed_Size(sum + size, j - i + 1, j == i ? 0 : p);
            if (trial > f::Index_Max_Entry_Bytes) break;
            sum += size;
            prefix = p;
        }
        page.end = j;
        page.prefix = j - i > 1 ? prefix : 0;
        page.last_entry = j - 1;
        leaves.push_back(page);
        i = j;
    }
    if (leaves.empty()) leaves.push_back(Index_Page_Plan{});  // an empty root leaf
    plan.levels.push_back(std::move(leaves));

    // Node levels until a single page remains.
    while (plan.levels.back().size() > 1) {
        const auto& below = plan.levels.back();
        std::vector<Index_Page_Plan> level;
        std::size_t c = 0;
        while (c < below.size()) {
            Index_Page_Plan page;
            page.leaf = false;
            page.begin = c;
            std::size_t sum = 0;
            std::size_t j = c;
            for (; j < below.size(); ++j) {
                const auto& k = key_of(below[j].last_entry);
                const std::size_t size =
                    k.size() + f::Index_Row_Pointer_Size + f::Index_Child_Pointer_Size;
                if (size > f::Index_Max_Entry_Bytes)
                    Fail_Table(table.name, "an index key is too long for an index page.");
                const std::size_t p = j == c ? 0 : Common_Prefix(key_of(below[c].last_entry), k);
                if (Packed_Size(sum + size, j - c + 1, p) > f::Index_Max_Entry_Bytes) break;
                sum += size;
            }
            // Children c..j-1 fit as entries; the next one, if any, becomes the tail. When
            // all the rest fit, the last of them is the tail (a lone child stays an entry).
            const std::size_t end = j < below.size() ? j + 1 : j;
            page.end = end;
            const std::size_t entry_count = end - c > 1 ? end - c - 1 : 1;
            page.prefix = entry_count > 1 ? Common_Prefix(key_of(below[c].last_entry),
                                                          key_of(below[c + entry_count - 1].last_entry))
                                          : 0;
            page.last_entry = below[end - 1].last_entry;
            level.push_back(page);
            c = end;
        }
        plan.levels.push_back(std::move(level));
    }
    for (const auto& level : plan.levels) plan.page_count += static_cast<std::uint32_t>(level.size());
}

// ---- Page builders --------------------------------------------------------------------

Page_Bytes New_Page() { return Page_Bytes(f::Page_Size, 0); }

// A data page (type 1) holding `rows` in slot order.
Page_Bytes Data_Page(std::uint32_t owner, const std::vector<std::span<const std::uint8_t>>& rows,
                     bool lval = false) {
    Page_Bytes page = New_Page();
    page[0] = f::Page_Type_Data;
    page[1] = 0x01;
    if (lval)
        std::copy(f::Lval_Signature.begin(), f::Lval_Signature.end(), page.begin() + f::Data_Tdef_Page);
    else
        Put_U32(page, f::Data_Tdef_Page, owner);
    Put_U16(page, f::Data_Row_Count, static_cast<std::uint16_t>(rows.size()));
    std::size_t end = f::Page_Size;
    std::size_t used = 0;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        end -= rows[k].size();
        std::copy(rows[k].begin(), rows[k].end(), page.begin() + static_cast<std::ptrdiff_t>(end));
        Put_U16(page, f::Data_Row_Table + 2 * k, static_cast<std::uint16_t>(end));
        used += rows[k].size() + 2;
    }
    Put_U16(page, f::Data_Free_Space, static_cast<std::uint16_t>(f::Data_Page_Initial_Free - used));
    return page;
}

std::uint32_t Inline_Start(const std::vector<std::uint32_t>& pages) {
    return pages.empty() ? 0 : pages.front() & ~7u;
}

// The 69-byte map row of a table, index or long-value map.
std::vector<std::uint8_t> Map_Row(const Map_Plan& map) {
    std::vector<std::uint8_t> row(Map_Row_Size, 0);
    if (!map.reference) {
        row[0] = f::Map_Type_Inline;
        const std::uint32_t start = Inline_Start(map.pages);
        Put_U32(row, f::Map_Inline_Start, start);
        for (std::uint32_t p : map.pages) {
            const std::uint32_t bit = p - start;
            row[f::Map_Inline_Bitmap + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    } else {
        row[0] = f::Map_Type_Reference;
        for (std::size_t k = 0; k < Map_Pointers; ++k)
            Put_U32(row, f::Map_Reference_Pointers + 4 * k, map.bitmap_pages[k]);
    }
    return row;
}

Page_Bytes Bitmap_Page(std::uint32_t block, const std::vector<std::uint32_t>& pages) {
    Page_Bytes page = New_Page();
    page[0] = f::Page_Type_Usage_Bitmap;
    page[1] = 0x01;
    const std::uint32_t first = block * f::Bitmap_Page_Bits;
    for (std::uint32_t p : pages) {
        if (p < first || p - first >= f::Bitmap_Page_Bits) continue;
        const std::uint32_t bit = p - first;
        page[f::Bitmap_Page_Data + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    return page;
}

struct Index_Page_Content {
    std::vector<std::uint8_t> bytes;  // full entries, end to end
    std::vector<std::size_t> ends;    // where each ends in bytes
    std::size_t prefix = 0;
    std::uint32_t tail = 0;
    void Clear() {
        bytes.clear();
        ends.clear();
        prefix = 0;
        tail = 0;
    }
};

Page_Bytes Index_Page(bool leaf, std::uint32_t owner, std::uint32_t prev, std::uint32_t next,
                      const Index_Page_Content& content) {
    Page_Bytes page = New_Page();
    page[0] = leaf ? f::Page_Type_Index_Leaf : f::Page_Type_Index_Node;
    page[1] = 0x01;
    Put_U32(page, f::Index_Tdef_Page, owner);
    Put_U32(page, f::Index_Prev_Page, prev);
    Put_U32(page, f::Index_Next_Page, next);
    Put_U32(page, f::Index_Tail_Page, content.tail);
    Put_U16(page, f::Index_Prefix_Length, static_cast<std::uint16_t>(content.prefix));
    page[f::Index_Node_Marker] = leaf ? 0 : 1;
    std::size_t at = 0;
    for (std::size_t k = 0; k < content.ends.size(); ++k) {
        const std::size_t begin = k == 0 ? 0 : content.ends[k - 1];
        const std::size_t skip = k == 0 ? 0 : content.prefix;
        std::copy(content.bytes.begin() + static_cast<std::ptrdiff_t>(begin + skip),
                  content.bytes.begin() + static_cast<std::ptrdiff_t>(content.ends[k]),
                  page.begin() + static_cast<std::ptrdiff_t>(f::Index_Entries + at));
        at += content.ends[k] - begin - skip;
        page[f::Index_Entry_Mask + at / 8] |= static_cast<std::uint8_t>(1u << (at % 8));
    }
    Put_U16(page, f::Index_Free_Space, static_cast<std::uint16_t>(f::Index_Max_Entry_Bytes - at));
    return page;
}

void Put_Map_Pointer(std::vector<std::uint8_t>& d, std::size_t at, Row_Pointer p) {
    Put_Row_Pointer(d, at, p);
}

}  // namespace

void Index_Image::Add(std::span<const std::uint8_t> key, std::uint32_t row) {
    if (keys_.size() + key.size() > UINT32_MAX) throw Error("An index is too large for a Jet 4.0 file.");
    keys_.insert(keys_.end(), key.begin(), key.end());
    ends_.push_back(static_cast<std::uint32_t>(keys_.size()));
    rows_.push_back(row);
}

void Index_Image::Clear() {
    keys_.clear();
    ends_.clear();
    rows_.clear();
}

void Each_Row(const Table_Image& table, const Row_Visitor& visit, bool with_values) {
    if (table.stream) {
        table.stream(visit, with_values);
        return;
    }
    for (const auto& row : table.rows) visit(row);
}

void Load_Rows(Table_Image& table) {
    if (!table.stream) return;
    std::vector<Row_Image> rows;
    table.stream([&](const Row_Image& row) { rows.push_back(row); }, true);
    table.rows = std::move(rows);
    table.stream = nullptr;
}

std::vector<std::uint32_t> Definition_Pages(const std::vector<std::size_t>& definition_lengths) {
    std::vector<std::uint32_t> pages;
    std::uint64_t next = f::Catalog_Tdef_Page;
    for (std::size_t length : definition_lengths) {
        pages.push_back(static_cast<std::uint32_t>(next));
        std::uint64_t count = 1;
        if (length > f::Page_Size)
            count += (length - f::Page_Size + Tdef_Continuation_Bytes - 1) / Tdef_Continuation_Bytes;
        next += count;
        if (next > Max_File_Pages) throw Error("The table definitions do not fit in a Jet 4.0 file.");
    }
    return pages;
}

Write_Result Write_Database(const Database_Image& image, const std::filesystem::path& path,
                            const std::function<void(double)>& progress, bool to_disk) {
    auto report = [&](double share) {
        if (progress) progress(share);
    };
    if (image.tables.empty()) throw Error("Cannot write a database without tables: MSysObjects is missing.");

    // Table definitions.
    std::vector<std::size_t> lengths;
    for (const auto& t : image.tables) lengths.push_back(t.definition.size());
    const std::vector<std::uint32_t> tdef_pages = Definition_Pages(lengths);
    std::uint32_t next_page = tdef_pages.back();
    {
        const std::size_t len = lengths.back();
        next_page += 1;
        if (len > f::Page_Size)
            next_page += static_cast<std::uint32_t>(
                (len - f::Page_Size + Tdef_Continuation_Bytes - 1) / Tdef_Continuation_Bytes);
    }

    // Plan every table's pages (counts only).
    std::vector<Table_Plan> plans(image.tables.size());
    for (std::size_t t = 0; t < image.tables.size(); ++t) {
        const Table_Image& table = image.tables[t];
        Table_Plan& plan = plans[t];
        plan.tdef_page = tdef_pages[t];
        plan.fields = Locate_Fields(table);
        if (table.indexes.size() != plan.fields.real_indexes)
            Fail_Table(table.name, "the definition has " + std::to_string(plan.fields.real_indexes) +
                                       " indexes but " + std::to_string(table.indexes.size()) +
                                       " were given.");
        Plan_Rows(table, plan);
        plan.indexes.resize(table.indexes.size());
        for (std::size_t i = 0; i < table.indexes.size(); ++i) Plan_Index(table, plan, i, plan.indexes[i]);
    }
    report(0.1);

    // Usage-map host pages: all maps of a table on one host page where they fit.
    struct Host_Row {
        Map_Plan* map;
    };
    std::vector<std::vector<Host_Row>> hosts;
    {
        std::vector<Host_Row> current;
        for (auto& plan : plans) {
            std::vector<Map_Plan*> maps{&plan.owned, &plan.free};
            for (auto& index : plan.indexes) maps.push_back(&index.map);
            for (auto& col : plan.lval_columns)
                if (col.mapped) {
                    maps.push_back(&col.owned);
                    maps.push_back(&col.free);
                }
            const std::size_t per_page =
                std::min<std::size_t>(Page_Row_Capacity / (Map_Row_Size + 2), f::Max_Rows_Per_Page);
            if (!current.empty() && current.size() + maps.size() > per_page) {
                hosts.push_back(std::move(current));
                current.clear();
            }
            for (Map_Plan* m : maps) {
                if (current.size() >= per_page) {
                    hosts.push_back(std::move(current));
                    current.clear();
                }
                current.push_back({m});
            }
        }
        if (!current.empty()) hosts.push_back(std::move(current));
    }
    const std::uint32_t first_host = next_page;
    for (std::size_t h = 0; h < hosts.size(); ++h)
        for (std::size_t r = 0; r < hosts[h].size(); ++r)
            hosts[h][r].map->where = Row_Pointer{first_host + static_cast<std::uint32_t>(h),
                                                 static_cast<std::uint8_t>(r)};
    next_page += static_cast<std::uint32_t>(hosts.size());

    // Absolute page numbers of data, long-value and index pages.
    for (std::size_t t = 0; t < plans.size(); ++t) {
        Table_Plan& plan = plans[t];
        plan.first_data_page = next_page;
        plan.row_pointers.reserve(plan.row_count);
        for (std::uint32_t d = 0; d < plan.data_pages.size(); ++d) {
            const auto& dp = plan.data_pages[d];
            for (std::uint32_t s = 0; s < dp.rows; ++s)
                plan.row_pointers.push_back(Row_Pointer{next_page + d, static_cast<std::uint8_t>(s)});
            plan.owned.pages.push_back(next_page + d);
            if (f::Data_Page_Initial_Free - dp.used >= Free_Map_Threshold)
                plan.free.pages.push_back(next_page + d);
        }
        next_page += static_cast<std::uint32_t>(plan.data_pages.size());
        for (auto& col : plan.lval_columns) {
            col.first_page = next_page;
            for (std::uint32_t p = 0; p < col.pages.size(); ++p) {
                col.owned.pages.push_back(next_page + p);
                if (!col.pages[p].chunk && Page_Row_Capacity - col.pages[p].used >= Free_Map_Threshold)
                    col.free.pages.push_back(next_page + p);
            }
            next_page += static_cast<std::uint32_t>(col.pages.size());
        }
        for (auto& index : plan.indexes) {
            index.first_page = next_page;
            std::uint32_t p = next_page;
            for (auto& level : index.levels)
                for (auto& page : level) {
                    page.page = p;
                    index.map.pages.push_back(p);
                    ++p;
                }
            next_page = p;
        }
        if (next_page > Max_File_Pages)
            throw Error("The database is too large for a Jet 4.0 file (more than 2 GB).");
    }

    // Reference maps where a range does not fit an inline row; their bitmap pages go last.
    std::vector<std::pair<std::uint32_t, const Map_Plan*>> bitmap_pages;  // (block, map)
    auto settle_map = [&](Map_Plan& map, const Map_Plan* range) {
        // `range`: the map whose range decides (a free map follows its owned map).
        const auto& pages = range->pages;
        map.reference = !pages.empty() && pages.back() - Inline_Start(pages) >= Map_Inline_Pages;
        if (!map.reference) return;
        for (std::uint32_t p : map.pages) {
            const std::uint32_t block = p / f::Bitmap_Page_Bits;
            if (block >= Map_Pointers) throw Error("The database is too large for its usage maps.");
            if (map.bitmap_pages[block] == 0) {
                map.bitmap_pages[block] = next_page++;
                bitmap_pages.emplace_back(block, &map);
            }
        }
    };
    for (auto& plan : plans) {
        settle_map(plan.owned, &plan.owned);
        settle_map(plan.free, &plan.owned);
        for (auto& index : plan.indexes) settle_map(index.map, &index.map);
        for (auto& col : plan.lval_columns) {
            settle_map(col.owned, &col.owned);
            settle_map(col.free, &col.owned);
        }
    }

    // The global map: inline on page 1 while it fits, else a reference map.
    const std::size_t page1_room = Page_Row_Capacity - (Map_Row_Size + 2) - 2 - f::Map_Inline_Bitmap;
    std::uint32_t total = next_page;
    bool global_reference = false;
    std::size_t global_bitmap = 0;
    std::array<std::uint32_t, Map_Pointers> global_pages{};
    {
        const std::size_t bytes = std::max<std::size_t>(f::Map_Inline_Default_Bytes, ((total + 31) / 32) * 4);
        if (bytes <= page1_room) {
            global_bitmap = bytes;
        } else {
            global_reference = true;
            std::uint32_t extra = 0;
            for (;;) {
                const std::uint32_t needed = (total + extra + f::Bitmap_Page_Bits - 1) / f::Bitmap_Page_Bits;
                if (needed == extra) break;
                extra = needed;
            }
            if (extra > Map_Pointers) throw Error("The database is too large for its usage maps.");
            for (std::uint32_t k = 0; k < extra; ++k) global_pages[k] = total + k;
            total += extra;
        }
    }
    if (total > Max_File_Pages)
        throw Error("The database is too large for a Jet 4.0 file (more than 2 GB).");

    // ---- Produce the pages -----------------------------------------------------------
    // Page 0 (made first: a password that cannot be stored fails before any file exists).
    Page_Bytes header(image.header.begin(), image.header.end());
    Put_U32(header, f::Header_Database_Key, image.database_key);
    Set_Header_Password(header, image.password);
    Apply_Header_Mask(header);

    // Each page goes to the file as soon as it is made, encoded when asked; every page
    // number below `total` is made exactly once.
    Output_File out(path);
    std::vector<bool> made(total, false);
    std::uint32_t made_count = 0;
    auto put_page = [&](std::uint32_t number, Page_Bytes bytes) {
        if (number >= total || made[number])
            throw Error("Internal error while writing '" + Path_Text(path) + "': page " +
                        std::to_string(number) + " laid out twice.");
        made[number] = true;
        ++made_count;
        Apply_Page_Encoding(bytes, image.database_key, number);
        out.Write_At(static_cast<std::uint64_t>(number) * f::Page_Size, bytes);
        if (progress && made_count % 256 == 0)
            report(0.1 + 0.9 * static_cast<double>(made_count) / static_cast<double>(total));
    };

    // Rows with their long-value definitions patched, in one more pass over the rows:
    // each data page and each long-value page goes out as soon as its last row arrives.
    for (std::size_t t = 0; t < plans.size(); ++t) {
        Table_Plan& plan = plans[t];
        const Table_Image& table = image.tables[t];
        auto changed = [&] {
            Fail_Table(table.name, "its rows changed while it was being written.");
        };
        std::vector<std::size_t> next_value(plan.lval_columns.size(), 0);
        // Shared long-value pages being filled, by absolute page: their rows so far.
        std::map<std::uint32_t, std::vector<std::vector<std::uint8_t>>> open_lval;
        auto add_lval_row = [&](const Lval_Column_Plan& col, std::uint32_t ordinal, std::uint8_t slot,
                                std::vector<std::uint8_t> bytes) {
            auto& rows = open_lval[col.first_page + ordinal];
            if (rows.size() != slot) changed();
            rows.push_back(std::move(bytes));
            if (rows.size() == col.pages[ordinal].rows) {
                std::vector<std::span<const std::uint8_t>> content(rows.begin(), rows.end());
                put_page(col.first_page + ordinal, Data_Page(0, content, true));
                open_lval.erase(col.first_page + ordinal);
            }
        };
        std::vector<std::vector<std::uint8_t>> open_rows;  // the data page being filled (buffers reused)
        std::size_t open_count = 0;
        std::size_t open_used = 0;
        std::uint32_t data_page = 0;
        std::uint32_t r = 0;
        std::vector<std::uint8_t> chunk_row;
        Each_Row(table, [&](const Row_Image& row) {
            if (r >= plan.row_count || data_page >= plan.data_pages.size()) changed();
            if (open_count == open_rows.size()) open_rows.emplace_back();
            std::vector<std::uint8_t>& bytes = open_rows[open_count++];
            bytes.assign(row.bytes.begin(), row.bytes.end());
            for (const auto& lv : row.long_values) {
                if (!lv.loaded || !Has_Range(bytes.size(), lv.definition_offset, f::Long_Value_Definition_Size))
                    changed();
                const std::size_t at = lv.definition_offset;
                if (lv.value.empty()) {
                    // An empty value needs no long-value page.
                    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), f::Long_Value_Definition_Size, 0);
                    bytes[at + 3] = f::Long_Value_Inline;
                    continue;
                }
                const std::size_t ci = Lval_Column_Of(plan, lv.column_number);
                auto& col = plan.lval_columns[ci];
                if (next_value[ci] >= col.values.size()) changed();
                const Lval_Place& place = col.values[next_value[ci]++];
                if (place.size != lv.value.size()) changed();
                const std::uint8_t type = place.chain ? f::Long_Value_Chain : f::Long_Value_Single_Row;
                Put_U32(bytes, at + f::Long_Value_Length, place.size | (static_cast<std::uint32_t>(type) << 24));
                const Row_Pointer row_place{col.first_page + place.row_page, place.slot};
                Put_Row_Pointer(bytes, at + f::Long_Value_Pointer,
                                place.chain ? Row_Pointer{col.first_page + place.first_page, 0} : row_place);
                Put_U32(bytes, at + f::Long_Value_Tag, 0);
                if (!place.chain) {
                    add_lval_row(col, place.row_page, place.slot, lv.value);
                    continue;
                }
                // Full chunks, each linking to the next; the last chunk links to the row.
                for (std::uint32_t k = 0; k <= place.full_chunks; ++k) {
                    const std::size_t from = k * f::Long_Value_Max_Chunk;
                    const std::size_t size = std::min(f::Long_Value_Max_Chunk, lv.value.size() - from);
                    chunk_row.assign(f::Long_Value_Chain_Link + size, 0);
                    const std::uint32_t page = col.first_page + place.first_page + k;
                    if (k + 1 < place.full_chunks) Put_Row_Pointer(chunk_row, 0, Row_Pointer{page + 1, 0});
                    if (k + 1 == place.full_chunks) Put_Row_Pointer(chunk_row, 0, row_place);
                    std::copy_n(lv.value.begin() + static_cast<std::ptrdiff_t>(from), size,
                                chunk_row.begin() + f::Long_Value_Chain_Link);
                    if (k < place.full_chunks)
                        put_page(page, Data_Page(0, {std::span<const std::uint8_t>(chunk_row)}, true));
                    else
                        add_lval_row(col, place.row_page, place.slot, chunk_row);
                }
            }
            open_used += bytes.size() + 2;
            const Data_Page_Plan& planned = plan.data_pages[data_page];
            if (open_count == planned.rows) {
                if (open_used != planned.used) changed();
                std::vector<std::span<const std::uint8_t>> content(
                    open_rows.begin(), open_rows.begin() + static_cast<std::ptrdiff_t>(open_count));
                put_page(plan.first_data_page + data_page, Data_Page(plan.tdef_page, content));
                open_count = 0;
                open_used = 0;
                ++data_page;
            }
            ++r;
        });
        if (r != plan.row_count || data_page != plan.data_pages.size()) changed();
        for (std::size_t ci = 0; ci < plan.lval_columns.size(); ++ci)
            if (next_value[ci] != plan.lval_columns[ci].values.size()) changed();

        // Indexes.
        for (std::size_t i = 0; i < plan.indexes.size(); ++i) {
            const Index_Plan& index = plan.indexes[i];
            const Index_Image& entries = table.indexes[i];
            Index_Page_Content content;
            // Appends the key and row pointer of a sorted entry (and, on a node page, the child).
            auto add_entry = [&](std::size_t sorted, std::optional<std::uint32_t> child) {
                const std::uint32_t e = index.order[sorted];
                const auto key = entries.Key(e);
                content.bytes.insert(content.bytes.end(), key.begin(), key.end());
                const Row_Pointer rp = plan.row_pointers[entries.Row(e)];
                content.bytes.push_back(static_cast<std::uint8_t>(rp.page >> 16));
                content.bytes.push_back(static_cast<std::uint8_t>(rp.page >> 8));
                content.bytes.push_back(static_cast<std::uint8_t>(rp.page));
                content.bytes.push_back(rp.row);
                if (child)
                    for (int shift = 24; shift >= 0; shift -= 8)
                        content.bytes.push_back(static_cast<std::uint8_t>(*child >> shift));
                content.ends.push_back(content.bytes.size());
            };
            for (std::size_t l = 0; l < index.levels.size(); ++l) {
                const auto& level = index.levels[l];
                for (std::size_t k = 0; k < level.size(); ++k) {
                    const auto& pp = level[k];
                    content.Clear();
                    content.prefix = pp.prefix;
                    if (pp.leaf) {
                        for (std::size_t s = pp.begin; s < pp.end; ++s) add_entry(s, std::nullopt);
                    } else {
                        const auto& below = index.levels[l - 1];
                        std::size_t last = pp.end;
                        if (pp.end - pp.begin > 1) {
                            last = pp.end - 1;
                            content.tail = below[last].page;
                        }
                        for (std::size_t c = pp.begin; c < last; ++c) add_entry(below[c].last_entry, below[c].page);
                    }
                    const std::uint32_t prev = k > 0 ? level[k - 1].page : 0;
                    const std::uint32_t next = k + 1 < level.size() ? level[k + 1].page : 0;
                    put_page(pp.page, Index_Page(pp.leaf, plan.tdef_page, prev, next, content));
                }
            }
        }
        report(0.1 + 0.6 * static_cast<double>(t + 1) / static_cast<double>(plans.size()));
    }

    // Usage-map host pages.
    for (std::size_t h = 0; h < hosts.size(); ++h) {
        std::vector<std::vector<std::uint8_t>> rows;
        for (const auto& r : hosts[h]) rows.push_back(Map_Row(*r.map));
        std::vector<std::span<const std::uint8_t>> content(rows.begin(), rows.end());
        put_page(first_host + static_cast<std::uint32_t>(h), Data_Page(0, content));
    }
    for (const auto& [block, map] : bitmap_pages)
        put_page(map->bitmap_pages[block], Bitmap_Page(block, map->pages));

    // Table definitions, patched.
    for (std::size_t t = 0; t < plans.size(); ++t) {
        const Table_Plan& plan = plans[t];
        const Table_Image& table = image.tables[t];
        std::vector<std::uint8_t> d = table.definition;
        d[0] = f::Page_Type_Tdef;
        d[1] = 0x01;
        Put_U32(d, f::Tdef_Length, static_cast<std::uint32_t>(d.size()));
        Put_U32(d, f::Tdef_Num_Rows, plan.row_count);
        Put_Map_Pointer(d, f::Tdef_Owned_Map, plan.owned.where);
        Put_Map_Pointer(d, f::Tdef_Free_Map, plan.free.where);
        for (std::size_t i = 0; i < plan.indexes.size(); ++i) {
            const auto& index = plan.indexes[i];
            const std::size_t stats = f::Tdef_Index_Stats + f::Index_Stats_Size * i;
            Put_U32(d, stats, static_cast<std::uint32_t>(index.order.size()));
            Put_U32(d, stats + 4, index.distinct);
            Put_U32(d, stats + 8, 0);
            const std::size_t block = plan.fields.real_index_blocks[i];
            Put_Map_Pointer(d, block + f::Real_Index_Map, index.map.where);
            Put_U32(d, block + f::Real_Index_Root, index.levels.back().front().page);
        }
        for (const auto& col : plan.lval_columns) {
            if (!col.mapped) continue;
            Put_Map_Pointer(d, col.map_entry + f::Column_Map_Owned, col.owned.where);
            Put_Map_Pointer(d, col.map_entry + f::Column_Map_Free, col.free.where);
        }
        // Column maps named twice for one column share the first one's maps.
        for (const auto& slot : plan.fields.column_maps) {
            for (const auto& col : plan.lval_columns)
                if (col.mapped && col.column == slot.column && col.map_entry != slot.offset) {
                    Put_Map_Pointer(d, slot.offset + f::Column_Map_Owned, col.owned.where);
                    Put_Map_Pointer(d, slot.offset + f::Column_Map_Free, col.free.where);
                }
        }
        // Split over pages: the first page in full, continuations after their header.
        std::uint32_t page = plan.tdef_page;
        std::size_t at = 0;
        bool first = true;
        while (first || at < d.size()) {
            Page_Bytes bytes = New_Page();
            std::size_t take;
            if (first) {
                take = std::min<std::size_t>(d.size(), f::Page_Size);
                std::copy_n(d.begin(), take, bytes.begin());
            } else {
                take = std::min<std::size_t>(d.size() - at, Tdef_Continuation_Bytes);
                std::copy_n(d.begin() + static_cast<std::ptrdiff_t>(at), take,
                            bytes.begin() + f::Tdef_Page_Header_Size);
                bytes[0] = f::Page_Type_Tdef;
                bytes[1] = 0x01;
            }
            at += take;
            const bool more = at < d.size();
            const std::size_t used = first ? take : take + f::Tdef_Page_Header_Size;
            std::size_t free = 0;
            if (!(first && more) && used + 8 <= f::Page_Size) free = f::Page_Size - used - 8;
            Put_U16(bytes, f::Tdef_Free_Space, static_cast<std::uint16_t>(free));
            Put_U32(bytes, f::Tdef_Next_Page, more ? page + 1 : 0);
            put_page(page, std::move(bytes));
            first = false;
            ++page;
        }
    }

    // Page 1: the global map (set bit = free page: only those past the end), then a
    // zeroed map row as Access keeps it.
    {
        std::vector<std::uint8_t> global;
        if (!global_reference) {
            global.assign(f::Map_Inline_Bitmap + global_bitmap, 0);
            global[0] = f::Map_Type_Inline;
            Put_U32(global, f::Map_Inline_Start, 0);
            for (std::size_t bit = total; bit < global_bitmap * 8; ++bit)
                global[f::Map_Inline_Bitmap + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
        } else {
            global.assign(Map_Row_Size, 0);
            global[0] = f::Map_Type_Reference;
            for (std::size_t k = 0; k < Map_Pointers; ++k) {
                Put_U32(global, f::Map_Reference_Pointers + 4 * k, global_pages[k]);
                if (global_pages[k] == 0) continue;
                Page_Bytes bits = New_Page();
                bits[0] = f::Page_Type_Usage_Bitmap;
                bits[1] = 0x01;
                const std::uint64_t first = static_cast<std::uint64_t>(k) * f::Bitmap_Page_Bits;
                for (std::uint32_t b = 0; b < f::Bitmap_Page_Bits; ++b)
                    if (first + b >= total)
                        bits[f::Bitmap_Page_Data + b / 8] |= static_cast<std::uint8_t>(1u << (b % 8));
                put_page(global_pages[k], bits);
            }
        }
        std::vector<std::uint8_t> spare(Map_Row_Size, 0);
        put_page(f::Global_Map_Page,
                 Data_Page(0, {std::span<const std::uint8_t>(global), std::span<const std::uint8_t>(spare)}));
    }

    put_page(0, std::move(header));
    if (made_count != total)
        throw Error("Internal error while writing '" + Path_Text(path) + "': " +
                    std::to_string(total - made_count) + " pages were not laid out.");
    out.Finish(to_disk);
    report(1.0);
    return Write_Result{total};
}

}  // namespace kelbrook::jet
