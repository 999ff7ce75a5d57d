#include "jet/generator/History.h"

#include <algorithm>
#include <map>
#include <set>
#include <span>

#include "jet/file/Format.h"
#include "jet/file/Page_File.h"
#include "jet/generator/Page_Editor.h"
#include "jet/row/Rows.h"
#include "jet/table/Table_Definition.h"
#include "jet/util/Bytes.h"

namespace kelbrook::jet::generator {

namespace {

namespace f = format;

// What the written file says about the tables, read before any page changes.
struct Found {
    std::set<std::uint32_t> dropped_tdefs;          // every definition page of the dropped tables
    std::vector<std::uint32_t> freed;               // pages to free: so far the usage-map hosts only they used
    std::map<std::uint32_t, Table_Definition> definitions;  // of the tables with a history, by page
};

// Reads through the engine's own reader: every definition page of the dropped tables
// (continuations included), the usage-map host pages only they used, and the definitions
// of the tables whose rows change.
Found Read_Definitions(const std::filesystem::path& path, const Built& built, const File_System& files) {
    Found found;
    const Page_File file(path, built.image.password, files);
    std::set<std::uint32_t> kept_hosts, dropped_hosts;
    const auto& dropped = built.dropped_tdef_pages;
    for (std::uint32_t t : built.tdef_pages) {
        Table_Definition d = Read_Table_Definition(file, t);
        const bool gone = std::find(dropped.begin(), dropped.end(), t) != dropped.end();
        if (gone) found.dropped_tdefs.insert(d.pages.begin(), d.pages.end());
        std::set<std::uint32_t>& hosts = gone ? dropped_hosts : kept_hosts;
        hosts.insert(d.owned_map.page);
        hosts.insert(d.free_map.page);
        for (const Real_Index& i : d.real_indexes) hosts.insert(i.page_map.page);
        for (const Column& c : d.columns)
            if (c.has_page_maps) {
                hosts.insert(c.owned_map.page);
                hosts.insert(c.free_map.page);
            }
        found.definitions.emplace(t, std::move(d));
    }
    for (std::uint32_t h : dropped_hosts)
        if (h != 0 && kept_hosts.count(h) == 0) found.freed.push_back(h);
    return found;
}

struct Place {
    std::uint32_t page = 0;
    std::uint16_t slot = 0;
};

// Where row `slot` of data page `number` lies: [start, end), at least `least` bytes, within
// the page. Fails naming the page otherwise.
std::pair<std::size_t, std::size_t> Row_Extent(const Page_Editor& editor, std::uint32_t number,
                                               std::span<const std::uint8_t> page, std::uint16_t slot,
                                               std::size_t least = 0) {
    const std::size_t rows = Get_U16(page, f::Data_Row_Count);
    const std::size_t at = f::Data_Row_Table + f::Data_Row_Slot_Size * slot;
    if (slot >= rows || at + f::Data_Row_Slot_Size > f::Page_Size)
        editor.Fail(number, "row " + std::to_string(slot) + " is missing.");
    const std::size_t start = Get_U16(page, at) & f::Row_Offset_Mask;
    const std::size_t end = slot == 0 ? f::Page_Size : (Get_U16(page, at - f::Data_Row_Slot_Size) & f::Row_Offset_Mask);
    if (start < at + f::Data_Row_Slot_Size || end > f::Page_Size || end < start || end - start < least)
        editor.Fail(number, "row " + std::to_string(slot) + " is not where the writer was expected to put it.");
    return {start, end};
}

// The rows of one table as the walk meets them, in stored order.
class Table_Walk {
public:
    Table_Walk(const Table_History& history, const Table_Definition& definition, Page_Editor& editor)
        : history_(history), definition_(definition), editor_(editor) {}

    // Flags the rows on `page` (a copy of data page `number`); true when any changed.
    bool Flag_Rows(std::uint32_t number, Page_Buffer& page);
    // Points each moved row's first place at its new version; checks every row was met.
    void Finish();

private:
    void Flag(std::uint32_t number, Page_Buffer& page, std::uint16_t slot, std::uint16_t flags, std::size_t least);
    void Free_Long_Values(std::uint32_t number, std::span<const std::uint8_t> row);
    void Free_Long_Value_Row(Row_Pointer at, std::uint32_t from);

    const Table_History& history_;
    const Table_Definition& definition_;
    Page_Editor& editor_;
    std::uint32_t next_ = 0;             // the stored row the walk meets next
    std::size_t next_header_ = 0;        // in history_.moved, by header
    std::size_t next_target_ = 0;        // in history_.moved, by new version
    std::vector<Place> headers_, targets_;
};

bool Table_Walk::Flag_Rows(std::uint32_t number, Page_Buffer& page) {
    bool changed = false;
    const std::uint16_t rows = Get_U16(page, f::Data_Row_Count);
    for (std::uint16_t s = 0; s < rows; ++s) {
        const std::uint32_t r = next_++;
        if (r >= history_.stored)
            editor_.Fail(number, "table " + history_.name + " has more stored rows than the " +
                                     std::to_string(history_.stored) + " written.");
        const auto& moved = history_.moved;
        if (history_.deleted[r]) {
            Flag(number, page, s, f::Row_Flag_Deleted | f::Row_Flag_Overflow, 0);
        } else if (next_header_ < moved.size() && moved[next_header_].first == r) {
            Flag(number, page, s, f::Row_Flag_Overflow, f::Overflow_Pointer_Size);
            headers_.push_back({number, s});
            ++next_header_;
        } else if (next_target_ < moved.size() && moved[next_target_].second == r) {
            Flag(number, page, s, f::Row_Flag_Deleted, 0);
            targets_.push_back({number, s});
            ++next_target_;
            changed = true;
            continue;
        } else {
            continue;
        }
        // The deleted row's and the replaced version's long values are freed with them.
        const auto [start, end] = Row_Extent(editor_, number, page, s);
        Free_Long_Values(number, std::span<const std::uint8_t>(page).subspan(start, end - start));
        changed = true;
    }
    return changed;
}

void Table_Walk::Flag(std::uint32_t number, Page_Buffer& page, std::uint16_t slot, std::uint16_t flags,
                      std::size_t least) {
    Row_Extent(editor_, number, page, slot, least);
    const std::size_t at = f::Data_Row_Table + f::Data_Row_Slot_Size * slot;
    Put_U16(page, at, static_cast<std::uint16_t>(Get_U16(page, at) | flags));
}

// Every memo/OLE value of `row` kept on long-value pages: its one row, or every row of its chain.
void Table_Walk::Free_Long_Values(std::uint32_t number, std::span<const std::uint8_t> row) {
    const std::vector<Field> fields =
        Split_Row(definition_, row, editor_.Name() + ": page " + std::to_string(number) + ": " + history_.name);
    for (std::size_t c = 0; c < fields.size(); ++c) {
        if (!definition_.columns[c].Is_Long_Value() || fields[c].null) continue;
        if (fields[c].length < f::Long_Value_Definition_Size)
            editor_.Fail(number, "a long-value definition runs past its row.");
        const std::span<const std::uint8_t> field = row.subspan(fields[c].offset, f::Long_Value_Definition_Size);
        const auto kind = static_cast<std::uint8_t>((Get_U32(field, f::Long_Value_Length) & ~f::Long_Value_Length_Mask) >> 24);
        Row_Pointer at = Get_Row_Pointer(field, f::Long_Value_Pointer);
        if (kind == f::Long_Value_Single_Row) {
            Free_Long_Value_Row(at, number);
        } else if (kind == f::Long_Value_Chain) {
            for (std::uint32_t hops = 0; at.page != 0; ++hops) {
                if (hops > editor_.Pages()) editor_.Fail(number, "a long-value chain is broken.");
                Free_Long_Value_Row(at, number);
                const Page_Buffer& link = editor_.Read(at.page);
                const std::size_t start = Row_Extent(editor_, at.page, link, at.row, f::Long_Value_Chain_Link).first;
                at = Get_Row_Pointer(link, start);
            }
        }
    }
}

void Table_Walk::Free_Long_Value_Row(Row_Pointer at, std::uint32_t from) {
    if (at.page >= editor_.Pages()) editor_.Fail(from, "a long value points past the end of the file.");
    Page_Buffer& page = editor_.Edit(at.page);
    Flag(at.page, page, at.row, f::Row_Flag_Deleted | f::Row_Flag_Overflow, 0);
}

void Table_Walk::Finish() {
    if (next_ != history_.stored || headers_.size() != history_.moved.size() ||
        targets_.size() != history_.moved.size())
        editor_.Fail(history_.tdef_page, "table " + history_.name + " has " + std::to_string(next_) +
                                             " stored rows where " + std::to_string(history_.stored) +
                                             " were written.");
    for (std::size_t k = 0; k < headers_.size(); ++k) {
        Page_Buffer& page = editor_.Edit(headers_[k].page);
        const std::size_t start =
            Row_Extent(editor_, headers_[k].page, page, headers_[k].slot, f::Overflow_Pointer_Size).first;
        Put_Row_Pointer(page, start, Row_Pointer{targets_[k].page, static_cast<std::uint8_t>(targets_[k].slot)});
    }
    Put_U32(editor_.Edit(history_.tdef_page), f::Tdef_Num_Rows, static_cast<std::uint32_t>(history_.live));
}

// One pass over the file in page order: each history table's rows are flagged as the walk
// meets them, and the dropped tables' pages (definitions, data, indexes) are listed.
void Walk_Pages(const Built& built, const Found& found, Page_Editor& editor, std::vector<std::uint32_t>& freed) {
    const auto& dropped = built.dropped_tdef_pages;
    auto is_dropped = [&](std::uint32_t tdef) { return std::find(dropped.begin(), dropped.end(), tdef) != dropped.end(); };
    std::map<std::uint32_t, Table_Walk> walks;  // by definition page
    for (const Table_History& h : built.history)
        walks.try_emplace(h.tdef_page, h, found.definitions.at(h.tdef_page), editor);
    Page_Buffer page;
    for (std::uint32_t p = 2; p < editor.Pages(); ++p) {
        page = editor.Read(p);
        const std::uint8_t type = page[0];
        if (type == f::Page_Type_Tdef) {
            if (found.dropped_tdefs.count(p) != 0) freed.push_back(p);
        } else if (type == f::Page_Type_Data) {
            const std::uint32_t owner = Get_U32(page, f::Data_Tdef_Page);
            if (is_dropped(owner)) {
                freed.push_back(p);
            } else if (auto it = walks.find(owner); it != walks.end()) {
                if (it->second.Flag_Rows(p, page)) editor.Edit(p) = page;
            }
        } else if (type == f::Page_Type_Index_Node || type == f::Page_Type_Index_Leaf) {
            if (is_dropped(Get_U32(page, f::Index_Tdef_Page))) freed.push_back(p);
        }
    }
    for (auto& [tdef, walk] : walks) walk.Finish();
}

// Sets the free bit of each of `freed` in the global usage map (inline on page 1, or on
// the bitmap pages it refers to).
void Free_Pages(const std::vector<std::uint32_t>& freed, Page_Editor& editor) {
    if (freed.empty()) return;
    Page_Buffer map_page = editor.Read(f::Global_Map_Page);
    const std::size_t start = Get_U16(map_page, f::Data_Row_Table) & f::Row_Offset_Mask;
    std::span<std::uint8_t> row = std::span<std::uint8_t>(map_page).subspan(start);
    if (row.empty()) editor.Fail(f::Global_Map_Page, "the global usage map is missing.");
    for (std::uint32_t p : freed) {
        if (row[f::Map_Type] == f::Map_Type_Inline) {
            const std::uint32_t first = Get_U32(row, f::Map_Inline_Start);
            const std::size_t bit = p - first;
            if (p < first || f::Map_Inline_Bitmap + bit / 8 >= row.size())
                editor.Fail(f::Global_Map_Page, "the global usage map does not cover page " + std::to_string(p) + ".");
            row[f::Map_Inline_Bitmap + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
        } else {
            const std::size_t pointer = f::Map_Reference_Pointers + 4 * (p / f::Bitmap_Page_Bits);
            if (pointer + 4 > row.size()) editor.Fail(f::Global_Map_Page, "the global usage map is too short.");
            const std::uint32_t bitmap = Get_U32(row, pointer);
            if (bitmap == 0 || bitmap >= editor.Pages())
                editor.Fail(f::Global_Map_Page,
                            "the global usage map has no bitmap for page " + std::to_string(p) + ".");
            const std::size_t bit = p % f::Bitmap_Page_Bits;
            editor.Edit(bitmap)[f::Bitmap_Page_Data + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }
    editor.Edit(f::Global_Map_Page) = map_page;
}

}  // namespace

std::uint32_t Apply_History(const std::filesystem::path& path, const Built& built, const File_System& files) {
    const Found found = Read_Definitions(path, built, files);
    std::vector<std::uint32_t> freed = found.freed;
    Page_Editor editor(files, path, built.image.database_key);
    Walk_Pages(built, found, editor, freed);
    Free_Pages(freed, editor);
    editor.Finish();
    return static_cast<std::uint32_t>(freed.size());
}

}  // namespace kelbrook::jet::generator
