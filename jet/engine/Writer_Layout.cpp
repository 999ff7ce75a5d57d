// Plan_Layout: every page count is known up front from one pass over the rows (their
// sizes and their long values' lengths), so the whole file is laid out before a byte of
// it exists. The phases, in order: the table definitions' pages; each table's rows, long
// values and indexes (counts only); the usage-map host pages; absolute page numbers for
// each table's pages; reference maps and their bitmap pages; the global map.
#include "jet/engine/Writer_Layout.h"

#include <algorithm>
#include <numeric>
#include <span>
#include <string>
#include <tuple>

#include "jet/util/Beside.h"
#include "jet/util/Error.h"

namespace kelbrook::jet::layout {

namespace f = format;

namespace {

constexpr std::uint32_t Max_File_Pages = f::Max_Database_Pages;

// Shared long-value pages stay open for more rows while they have room, a few at a time,
// so that short values and the ends of long ones fill the gaps.
constexpr std::size_t Open_Lval_Pages = 32;
// Index entries in a table from which its indexes are laid out on a second thread: below
// it, starting the thread costs more than it saves.
constexpr std::size_t Entries_Planned_Beside = 32768;

[[noreturn]] void Fail_Table(const std::string& table, const std::string& what) {
    throw Error("Cannot write table '" + table + "': " + what);
}

[[noreturn]] void Fail_Too_Large() {
    throw Error("The database is too large for a Jet 4.0 file (more than 2 GB).", Error_Kind::Unsupported);
}

// ---- Table definition: where the fields the writer patches sit ------------------------

// The reader's own walk of the definition finds them; a definition it refuses cannot be
// written either.
Tdef_Fields Locate_Fields(const Table_Image& table) {
    const Table_Definition def = Parse_Table_Definition(table.definition, "Cannot write table '" + table.name + "'");
    Tdef_Fields out;
    out.real_indexes = static_cast<std::uint32_t>(def.real_indexes.size());
    for (const auto& ri : def.real_indexes) out.real_index_blocks.push_back(ri.block_offset);
    out.column_maps = def.column_maps;
    return out;
}

// ---- Rows and long values ---------------------------------------------------------------

// Places a row of `bytes` on an open shared page of `col` (the first with room) or a new
// one; gives its (page ordinal, slot).
std::pair<std::uint32_t, std::uint8_t> Place_Lval_Row(Lval_Column_Plan& col, std::size_t bytes) {
    const std::size_t need = bytes + 2;
    for (std::uint32_t p : col.open) {
        Lval_Column_Plan::Page& page = col.pages[p];
        if (page.used + need <= Page_Row_Capacity && page.rows < f::Max_Rows_Per_Page) {
            page.used += need;
            return {p, static_cast<std::uint8_t>(page.rows++)};
        }
    }
    const auto p = static_cast<std::uint32_t>(col.pages.size());
    col.pages.push_back(Lval_Column_Plan::Page{1, need, false});
    col.open.push_back(p);
    if (col.open.size() > Open_Lval_Pages) {
        // Close the fullest.
        auto fullest = std::max_element(col.open.begin(), col.open.end(), [&](std::uint32_t a, std::uint32_t b) {
            return col.pages[a].used < col.pages[b].used;
        });
        col.open.erase(fullest);
    }
    return {p, 0};
}

// The long-value column plan a value of `column` goes to, made on first use.
std::size_t Lval_Column_Of(Table_Plan& plan, std::uint16_t column) {
    const std::size_t found = Find_Lval_Column(plan, column);
    if (found != SIZE_MAX) return found;
    plan.unmapped = plan.lval_columns.size();
    plan.lval_columns.emplace_back();
    return plan.unmapped;
}

// One plan per long-value column the definition maps, in map order.
void Plan_Mapped_Columns(Table_Plan& plan) {
    for (const auto& slot : plan.fields.column_maps) {
        if (plan.column_of.count(slot.column)) continue;
        plan.column_of[slot.column] = plan.lval_columns.size();
        Lval_Column_Plan c;
        c.column = slot.column;
        c.mapped = true;
        c.map_entry = slot.offset;
        plan.lval_columns.push_back(std::move(c));
    }
}

// A non-empty long value of `size` bytes: one shared row, or full chunks and a shared row.
Lval_Place Place_Long_Value(Lval_Column_Plan& col, std::uint32_t size) {
    Lval_Place place;
    place.size = size;
    if (size <= f::Long_Value_Max_Single) {
        std::tie(place.row_page, place.slot) = Place_Lval_Row(col, size);
        return place;
    }
    place.chain = true;
    place.full_chunks = (size - 1) / static_cast<std::uint32_t>(f::Long_Value_Max_Chunk);
    place.first_page = static_cast<std::uint32_t>(col.pages.size());
    for (std::uint32_t k = 0; k < place.full_chunks; ++k)
        col.pages.push_back(
            Lval_Column_Plan::Page{1, f::Long_Value_Chain_Link + f::Long_Value_Max_Chunk + 2, true});
    const std::size_t rest = size - std::size_t{place.full_chunks} * f::Long_Value_Max_Chunk;
    std::tie(place.row_page, place.slot) = Place_Lval_Row(col, f::Long_Value_Chain_Link + rest);
    return place;
}

// Lays out the table's rows on data pages and its long values on long-value pages, in
// row order, from one pass over the rows (sizes only).
void Plan_Rows(const Table_Image& table, Table_Plan& plan) {
    Plan_Mapped_Columns(plan);
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
            col.values.push_back(Place_Long_Value(col, static_cast<std::uint32_t>(lv.Size())));
        }
        ++r;
    }, false);
    plan.row_count = r;
}

// ---- Indexes ----------------------------------------------------------------------------

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

// Size of a page holding `count` entries of total `sum` bytes sharing `prefix` bytes.
std::size_t Packed_Size(std::size_t sum, std::size_t count, std::size_t prefix) {
    return sum - (count > 0 ? (count - 1) * prefix : 0);
}

// Leaf pages from one pass over the sorted entries: as many on each as fit with their
// shared prefix. Counts the entries and the distinct keys, and keeps each leaf's last
// entry for the levels above.
std::vector<Index_Page_Plan> Plan_Leaves(const Table_Image& table, std::size_t number, Index_Plan& plan,
                                         std::uint64_t& rows_named) {
    std::vector<Index_Page_Plan> leaves;
    Index_Page_Plan page;             // the leaf being filled, while `count` > 0
    std::size_t count = 0, sum = 0;   // its entries and their bytes
    std::vector<std::uint8_t> first;  // its first key
    std::vector<std::uint8_t> last;   // the entry before this one
    std::uint32_t last_row = 0;
    std::size_t at = 0;               // sorted position of this entry
    auto close = [&] {
        page.end = at;
        page.prefix = count > 1 ? page.prefix : 0;
        page.last_entry = at - 1;
        page.last_leaf = static_cast<std::uint32_t>(leaves.size());
        plan.bounds.Add(last, last_row);
        leaves.push_back(page);
    };
    table.indexes[number].Each([&](std::span<const std::uint8_t> key, std::uint32_t row) {
        rows_named = std::max<std::uint64_t>(rows_named, std::uint64_t{row} + 1);
        const std::size_t size = key.size() + f::Index_Row_Pointer_Size;
        if (size > f::Index_Max_Entry_Bytes) Fail_Table(table.name, "an index key is too long for an index page.");
        if (at == 0 || Compare_Bytes(last, key) != 0) ++plan.distinct;
        const std::size_t p = count == 0 ? 0 : Common_Prefix(first, key);
        if (count > 0 && Packed_Size(sum + size, count + 1, p) > f::Index_Max_Entry_Bytes) {
            close();
            count = 0;
        }
        if (count == 0) {
            page = Index_Page_Plan{};
            page.begin = at;
            first.assign(key.begin(), key.end());
            sum = 0;
        }
        sum += size;
        page.prefix = count == 0 ? 0 : p;
        ++count;
        last.assign(key.begin(), key.end());
        last_row = row;
        ++at;
    });
    if (at > UINT32_MAX) Fail_Table(table.name, "an index has too many entries.");
    plan.entries = static_cast<std::uint32_t>(at);
    if (count > 0) close();
    if (leaves.empty()) leaves.push_back(Index_Page_Plan{});  // an empty root leaf
    return leaves;
}

// One level of node pages over the level `below`, each child named by its subtree's
// last entry.
std::vector<Index_Page_Plan> Plan_Node_Level(const Table_Image& table, const Index_Plan& plan,
                                             const std::vector<Index_Page_Plan>& below) {
    std::vector<Index_Page_Plan> level;
    std::size_t c = 0;
    while (c < below.size()) {
        Index_Page_Plan page;
        page.leaf = false;
        page.begin = c;
        std::size_t sum = 0;
        std::size_t j = c;
        for (; j < below.size(); ++j) {
            const auto& k = plan.bounds.Key(below[j].last_leaf);
            const std::size_t size = k.size() + f::Index_Row_Pointer_Size + f::Index_Child_Pointer_Size;
            if (size > f::Index_Max_Entry_Bytes)
                Fail_Table(table.name, "an index key is too long for an index page.");
            const std::size_t p = j == c ? 0 : Common_Prefix(plan.bounds.Key(below[c].last_leaf), k);
            if (Packed_Size(sum + size, j - c + 1, p) > f::Index_Max_Entry_Bytes) break;
            sum += size;
        }
        // Children c..j-1 fit as entries; the next one, if any, becomes the tail. When
        // all the rest fit, the last of them is the tail (a lone child stays an entry).
        const std::size_t end = j < below.size() ? j + 1 : j;
        page.end = end;
        const std::size_t entry_count = end - c > 1 ? end - c - 1 : 1;
        page.prefix = entry_count > 1 ? Common_Prefix(plan.bounds.Key(below[c].last_leaf),
                                                      plan.bounds.Key(below[c + entry_count - 1].last_leaf))
                                      : 0;
        page.last_entry = below[end - 1].last_entry;
        page.last_leaf = below[end - 1].last_leaf;
        level.push_back(page);
        c = end;
    }
    return level;
}

// The index's pages, level by level, until a single root page remains; `rows_named`
// becomes one more than the highest row an entry names (the caller checks it).
void Plan_Index(const Table_Image& table, std::size_t number, Index_Plan& plan, std::uint64_t& rows_named) {
    plan.levels.push_back(Plan_Leaves(table, number, plan, rows_named));
    while (plan.levels.back().size() > 1)
        plan.levels.push_back(Plan_Node_Level(table, plan, plan.levels.back()));
    for (const auto& level : plan.levels) plan.page_count += static_cast<std::uint32_t>(level.size());
}

// ---- Whole tables and the file ------------------------------------------------------------

// A table's pages, counted (not yet numbered).
Table_Plan Plan_Table(const Table_Image& table, std::uint32_t tdef_page) {
    Table_Plan plan;
    plan.tdef_page = tdef_page;
    plan.tdef_pages = Definition_Page_Count(table.definition.size());
    plan.fields = Locate_Fields(table);
    if (table.indexes.size() != plan.fields.real_indexes)
        Fail_Table(table.name, "the definition has " + std::to_string(plan.fields.real_indexes) +
                                   " indexes but " + std::to_string(table.indexes.size()) + " were given.");
    // The indexes need nothing of the rows' layout: a large table's are laid out on a
    // second thread while this one reads the rows' sizes.
    plan.indexes.resize(table.indexes.size());
    std::vector<std::uint64_t> rows_named(table.indexes.size(), 0);
    std::size_t entries = 0;
    for (const auto& index : table.indexes) entries += index.Size();
    auto plan_indexes = [&] {
        for (std::size_t i = 0; i < table.indexes.size(); ++i)
            Plan_Index(table, i, plan.indexes[i], rows_named[i]);
    };
    if (entries >= Entries_Planned_Beside) {
        Beside indexes(plan_indexes);
        Plan_Rows(table, plan);
        indexes.Finish();
    } else {
        Plan_Rows(table, plan);
        plan_indexes();
    }
    for (std::size_t i = 0; i < table.indexes.size(); ++i)
        if (rows_named[i] > plan.row_count)
            Fail_Table(table.name, "index " + std::to_string(i) + " names row " + std::to_string(rows_named[i] - 1) +
                                       ", which does not exist.");
    return plan;
}

// Usage-map host pages from `first_host` on: all maps of a table on one host page where
// they fit. Sets each map's host row.
void Plan_Map_Hosts(Layout_Plan& layout, std::uint32_t first_host) {
    const std::size_t per_page =
        std::min<std::size_t>(Page_Row_Capacity / (Map_Row_Size + 2), f::Max_Rows_Per_Page);
    std::vector<Map_Ref> current;
    for (std::uint32_t t = 0; t < layout.tables.size(); ++t) {
        std::uint32_t count = 0;
        Each_Map(layout.tables[t], [&](const Map_Plan&, const Map_Plan&) { ++count; });
        if (!current.empty() && current.size() + count > per_page) {
            layout.hosts.push_back(std::move(current));
            current.clear();
        }
        for (std::uint32_t m = 0; m < count; ++m) {
            if (current.size() >= per_page) {
                layout.hosts.push_back(std::move(current));
                current.clear();
            }
            current.push_back(Map_Ref{t, m});
        }
    }
    if (!current.empty()) layout.hosts.push_back(std::move(current));
    layout.first_host = first_host;
    for (std::size_t h = 0; h < layout.hosts.size(); ++h)
        for (std::size_t r = 0; r < layout.hosts[h].size(); ++r) {
            const Map_Ref ref = layout.hosts[h][r];
            std::uint32_t m = 0;
            Each_Map(layout.tables[ref.table], [&](Map_Plan& map, const Map_Plan&) {
                if (m++ == ref.map)
                    map.where = Row_Pointer{first_host + static_cast<std::uint32_t>(h), static_cast<std::uint8_t>(r)};
            });
        }
}

// Absolute page numbers of a table's data, long-value and index pages from `next_page`
// on, and the pages each of its maps lists; gives the page after them.
std::uint32_t Number_Table_Pages(Table_Plan& plan, std::uint32_t next_page) {
    plan.first_data_page = next_page;
    plan.first_rows.reserve(plan.data_pages.size());
    std::uint32_t first_row = 0;
    for (std::uint32_t d = 0; d < plan.data_pages.size(); ++d) {
        const auto& dp = plan.data_pages[d];
        plan.first_rows.push_back(first_row);
        first_row += dp.rows;
        plan.owned.pages.push_back(next_page + d);
        if (f::Data_Page_Initial_Free - dp.used >= Free_Map_Threshold) plan.free.pages.push_back(next_page + d);
    }
    plan.block_pages.clear();
    for (std::uint32_t d = 0, r = 0; r < first_row; r += Table_Plan::Rows_Per_Block) {
        while (d + 1 < plan.first_rows.size() && plan.first_rows[d + 1] <= r) ++d;
        plan.block_pages.push_back(d);
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
    if (next_page > Max_File_Pages) Fail_Too_Large();
    return next_page;
}

// Reference maps where a range does not fit an inline row; their bitmap pages get page
// numbers from `next_page` on. Gives the page after them.
std::uint32_t Plan_Reference_Maps(Layout_Plan& layout, std::uint32_t next_page) {
    for (std::uint32_t t = 0; t < layout.tables.size(); ++t) {
        std::uint32_t m = 0;
        Each_Map(layout.tables[t], [&](Map_Plan& map, const Map_Plan& range) {
            const Map_Ref ref{t, m++};
            const auto& pages = range.pages;
            map.reference = !pages.empty() && pages.back() - (pages.front() & ~7u) >= Map_Inline_Pages;
            if (!map.reference) return;
            for (std::uint32_t p : map.pages) {
                const std::uint32_t block = p / f::Bitmap_Page_Bits;
                if (block >= Map_Pointers) throw Error("The database is too large for its usage maps.", Error_Kind::Unsupported);
                if (map.bitmap_pages[block] == 0) {
                    map.bitmap_pages[block] = next_page++;
                    layout.bitmap_pages.emplace_back(block, ref);
                }
            }
        });
    }
    return next_page;
}

// The global map: inline on page 1 while it fits, else a reference map whose bitmap
// pages come last. Sets the file's page count.
void Plan_Global_Map(Layout_Plan& layout, std::uint32_t next_page) {
    const std::size_t page1_room = Page_Row_Capacity - (Map_Row_Size + 2) - 2 - f::Map_Inline_Bitmap;
    layout.total = next_page;
    const std::size_t bytes =
        std::max<std::size_t>(f::Map_Inline_Default_Bytes, ((layout.total + 31) / 32) * 4);
    if (bytes <= page1_room) {
        layout.global.bitmap_bytes = bytes;
    } else {
        layout.global.reference = true;
        std::uint32_t extra = 0;
        for (;;) {
            const std::uint32_t needed = (layout.total + extra + f::Bitmap_Page_Bits - 1) / f::Bitmap_Page_Bits;
            if (needed == extra) break;
            extra = needed;
        }
        if (extra > Map_Pointers) throw Error("The database is too large for its usage maps.", Error_Kind::Unsupported);
        for (std::uint32_t k = 0; k < extra; ++k) layout.global.bitmap_pages[k] = layout.total + k;
        layout.total += extra;
    }
    if (layout.total > Max_File_Pages) Fail_Too_Large();
}

}  // namespace

const Map_Plan& Layout_Plan::Map(Map_Ref ref) const {
    const Map_Plan* found = nullptr;
    std::uint32_t m = 0;
    Each_Map(tables.at(ref.table), [&](const Map_Plan& map, const Map_Plan&) {
        if (m++ == ref.map) found = &map;
    });
    if (!found) throw Error("Internal error: the layout names a usage map that does not exist.");
    return *found;
}

std::uint32_t Definition_Page_Count(std::size_t length) {
    std::uint64_t count = 1;
    if (length > f::Page_Size) count += (length - f::Page_Size + Tdef_Continuation_Bytes - 1) / Tdef_Continuation_Bytes;
    if (count > Max_File_Pages) throw Error("The table definitions do not fit in a Jet 4.0 file.", Error_Kind::Unsupported);
    return static_cast<std::uint32_t>(count);
}

std::size_t Find_Lval_Column(const Table_Plan& plan, std::uint16_t column) {
    auto it = plan.column_of.find(column);
    if (it != plan.column_of.end()) return it->second;
    return plan.unmapped;
}

Layout_Plan Plan_Layout(const Database_Image& image) {
    if (image.tables.empty()) throw Error("Cannot write a database without tables: MSysObjects is missing.");
    std::vector<std::size_t> lengths;
    for (const auto& t : image.tables) lengths.push_back(t.definition.size());
    const std::vector<std::uint32_t> tdef_pages = Definition_Pages(lengths);

    Layout_Plan layout;
    for (std::size_t t = 0; t < image.tables.size(); ++t)
        layout.tables.push_back(Plan_Table(image.tables[t], tdef_pages[t]));
    const Table_Plan& last = layout.tables.back();
    std::uint32_t next_page = last.tdef_page + last.tdef_pages;

    Plan_Map_Hosts(layout, next_page);
    next_page += static_cast<std::uint32_t>(layout.hosts.size());
    for (auto& plan : layout.tables) next_page = Number_Table_Pages(plan, next_page);
    next_page = Plan_Reference_Maps(layout, next_page);
    Plan_Global_Map(layout, next_page);
    return layout;
}

}  // namespace kelbrook::jet::layout
