// Writes a Database_Image as a fresh file in named phases: Plan_Layout (Writer_Layout.h)
// decides the page of everything first; then each table's data and long-value pages are
// written in a second pass over its rows, each page as soon as its last row has come, and
// its index pages from the sorted keys; then the usage maps, the patched table
// definitions, the global map and last the header. So the writer holds the layout, the
// index keys and a few pages, never the rows of a whole table.
#include "jet/engine/Writer.h"

#include <algorithm>
#include <map>
#include <optional>
#include <span>

#include "jet/util/Bytes.h"
#include "jet/file/Crypto.h"
#include "jet/util/Error.h"
#include "jet/file/File_Output.h"
#include "jet/file/Page_Store.h"
#include "jet/file/Format.h"
#include "jet/engine/Writer_Layout.h"

namespace kelbrook::jet {

namespace f = format;
using namespace layout;

namespace {

using Page_Bytes = std::vector<std::uint8_t>;  // always f::Page_Size long
using Progress = std::function<void(double)>;

void Report(const Progress& progress, double share) {
    if (progress) progress(share);
}

// ---- Page builders --------------------------------------------------------------------

Page_Bytes New_Page() { return Page_Bytes(f::Page_Size, 0); }

// A data page (type 1) made row by row, in slot order, each row written where it goes:
// the rows from the end of the page down, their offsets in the row table.
class Data_Page_Builder {
public:
    Data_Page_Builder(std::uint32_t owner, bool lval) : page_(New_Page()) {
        page_[f::Page_Type] = f::Page_Type_Data;
        page_[f::Page_Marker] = f::Page_Marker_Value;
        if (lval)
            std::copy(f::Lval_Signature.begin(), f::Lval_Signature.end(), page_.begin() + f::Data_Tdef_Page);
        else
            Put_U32(page_, f::Data_Tdef_Page, owner);
    }
    // The room of the next row, `size` bytes, for the caller to fill.
    std::span<std::uint8_t> Add(std::size_t size) {
        used_ += size + 2;
        if (used_ > f::Data_Page_Initial_Free || rows_ >= f::Max_Rows_Per_Page)
            throw Error("Internal error while writing: the rows laid out for a page do not fit on it.");
        end_ -= size;
        Put_U16(page_, f::Data_Row_Table + 2 * rows_, static_cast<std::uint16_t>(end_));
        ++rows_;
        return std::span<std::uint8_t>(page_).subspan(end_, size);
    }
    std::size_t Rows() const { return rows_; }
    // The bytes the rows and their offsets take so far.
    std::size_t Used() const { return used_; }
    Page_Bytes Finish() {
        Put_U16(page_, f::Data_Row_Count, static_cast<std::uint16_t>(rows_));
        Put_U16(page_, f::Data_Free_Space, static_cast<std::uint16_t>(f::Data_Page_Initial_Free - used_));
        return std::move(page_);
    }

private:
    Page_Bytes page_;
    std::size_t rows_ = 0;
    std::size_t used_ = 0;  // the rows' bytes and their offsets
    std::size_t end_ = f::Page_Size;
};

// A data page holding `rows` in slot order.
Page_Bytes Data_Page(std::uint32_t owner, const std::vector<std::span<const std::uint8_t>>& rows,
                     bool lval = false) {
    Data_Page_Builder page(owner, lval);
    for (const auto& row : rows) std::copy(row.begin(), row.end(), page.Add(row.size()).begin());
    return page.Finish();
}

std::uint32_t Inline_Start(const std::vector<std::uint32_t>& pages) {
    return pages.empty() ? 0 : pages.front() & ~7u;
}

// The 69-byte map row of a table, index or long-value map.
std::vector<std::uint8_t> Map_Row(const Map_Plan& map) {
    std::vector<std::uint8_t> row(Map_Row_Size, 0);
    if (!map.reference) {
        row[f::Map_Type] = f::Map_Type_Inline;
        const std::uint32_t start = Inline_Start(map.pages);
        Put_U32(row, f::Map_Inline_Start, start);
        for (std::uint32_t p : map.pages) {
            const std::uint32_t bit = p - start;
            row[f::Map_Inline_Bitmap + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    } else {
        row[f::Map_Type] = f::Map_Type_Reference;
        for (std::size_t k = 0; k < Map_Pointers; ++k)
            Put_U32(row, f::Map_Reference_Pointers + 4 * k, map.bitmap_pages[k]);
    }
    return row;
}

Page_Bytes Bitmap_Page(std::uint32_t block, const std::vector<std::uint32_t>& pages) {
    Page_Bytes page = New_Page();
    page[f::Page_Type] = f::Page_Type_Usage_Bitmap;
    page[f::Page_Marker] = f::Page_Marker_Value;
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
    // Appends an entry: its key and row pointer and, on a node page, its child page.
    void Add(std::span<const std::uint8_t> key, Row_Pointer row, std::optional<std::uint32_t> child) {
        bytes.insert(bytes.end(), key.begin(), key.end());
        bytes.push_back(static_cast<std::uint8_t>(row.page >> 16));
        bytes.push_back(static_cast<std::uint8_t>(row.page >> 8));
        bytes.push_back(static_cast<std::uint8_t>(row.page));
        bytes.push_back(row.row);
        if (child)
            for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(*child >> shift));
        ends.push_back(bytes.size());
    }
};

Page_Bytes Index_Page(bool leaf, std::uint32_t owner, std::uint32_t prev, std::uint32_t next,
                      const Index_Page_Content& content) {
    Page_Bytes page = New_Page();
    page[f::Page_Type] = leaf ? f::Page_Type_Index_Leaf : f::Page_Type_Index_Node;
    page[f::Page_Marker] = f::Page_Marker_Value;
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

// Page 0: the caller's header with the database key and the masked password, obfuscated.
Page_Bytes Header_Page(const Database_Image& image) {
    Page_Bytes header(image.header.begin(), image.header.end());
    Put_U32(header, f::Header_Database_Key, image.database_key);
    Set_Header_Password(header, image.password);
    Apply_Header_Mask(header);
    return header;
}

// ---- The file: each page as it is made ------------------------------------------------

// Each page goes to the file as soon as it is made, encoded when asked; every page number
// below the plan's total must be made exactly once.
class Page_Sink {
public:
    Page_Sink(const std::filesystem::path& path, std::uint32_t database_key, std::uint32_t total,
              const Progress& progress, const File_System& files)
        : path_(path), out_(path, files), pages_(out_, database_key), total_(total), made_(total, false),
          progress_(progress) {
        out_.Reserve(std::uint64_t{total} * f::Page_Size);
    }

    void Put(std::uint32_t number, Page_Bytes bytes) {
        if (number >= total_ || made_[number])
            throw Error("Internal error while writing '" + Path_Text(path_) + "': page " + std::to_string(number) +
                        " laid out twice.");
        made_[number] = true;
        ++made_count_;
        // Encoded pages go out two at a time, encoded at once (Page_Store::Write_Two).
        if (pages_.Key() == 0) {
            pages_.Write(number, bytes);
        } else if (!waiting_) {
            waiting_.emplace(number, std::move(bytes));
        } else {
            pages_.Write_Two(waiting_->first, waiting_->second, number, bytes);
            waiting_.reset();
        }
        if (progress_ && made_count_ % 256 == 0)
            Report(progress_, 0.1 + 0.9 * static_cast<double>(made_count_) / static_cast<double>(total_));
    }

    // Checks that every page was made, then closes the file (see Output_File::Finish).
    void Finish(bool to_disk) {
        if (made_count_ != total_)
            throw Error("Internal error while writing '" + Path_Text(path_) + "': " +
                        std::to_string(total_ - made_count_) + " pages were not laid out.");
        if (waiting_) pages_.Write(waiting_->first, waiting_->second);
        waiting_.reset();
        out_.Finish(to_disk);
    }

private:
    std::filesystem::path path_;
    Output_File out_;
    Page_Store pages_;  // encodes each page on its way out
    std::optional<std::pair<std::uint32_t, Page_Bytes>> waiting_;  // made, not yet written: its pair's to come
    std::uint32_t total_;
    std::vector<bool> made_;
    std::uint32_t made_count_ = 0;
    const Progress& progress_;
};

// ---- Phase: a table's data and long-value pages -----------------------------------------

// Takes a table's rows in the order the layout saw them, patches each row's long-value
// definitions, and writes each data page and each long-value page as soon as its last
// row has come. A row that differs from the layout's makes the write fail.
class Row_Page_Writer {
public:
    Row_Page_Writer(const Table_Image& table, const Table_Plan& plan, Page_Sink& sink)
        : table_(table), plan_(plan), sink_(sink), next_value_(plan.lval_columns.size(), 0) {}

    void Add(const Row_Image& row) {
        if (r_ >= plan_.row_count || data_page_ >= plan_.data_pages.size()) Changed();
        const Data_Page_Plan& planned = plan_.data_pages[data_page_];
        if (!open_page_) open_page_.emplace(plan_.tdef_page, false);
        if (open_page_->Used() + row.bytes.size() + 2 > planned.used) Changed();
        // The row is written where it goes on its page, its long-value definitions then
        // made to point where their values go.
        const std::span<std::uint8_t> bytes = open_page_->Add(row.bytes.size());
        std::copy(row.bytes.begin(), row.bytes.end(), bytes.begin());
        for (const auto& lv : row.long_values) Place_Long_Value(bytes, lv);
        if (open_page_->Rows() == planned.rows) {
            if (open_page_->Used() != planned.used) Changed();
            sink_.Put(plan_.first_data_page + data_page_, open_page_->Finish());
            open_page_.reset();
            ++data_page_;
        }
        ++r_;
    }

    // Checks that every planned row and long value came.
    void Finish() const {
        if (r_ != plan_.row_count || data_page_ != plan_.data_pages.size()) Changed();
        for (std::size_t ci = 0; ci < plan_.lval_columns.size(); ++ci)
            if (next_value_[ci] != plan_.lval_columns[ci].values.size()) Changed();
    }

private:
    [[noreturn]] void Changed() const {
        throw Error("Cannot write table '" + table_.name + "': its rows changed while it was being written.");
    }

    // Patches the definition of `lv` in the row `bytes` and writes its value where the
    // layout put it.
    void Place_Long_Value(std::span<std::uint8_t> bytes, const Long_Value_Image& lv) {
        if (!lv.loaded || !Has_Range(bytes.size(), lv.definition_offset, f::Long_Value_Definition_Size))
            Changed();
        const std::size_t at = lv.definition_offset;
        const std::size_t size = lv.Size();
        if (size == 0) {
            // An empty value needs no long-value page.
            std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), f::Long_Value_Definition_Size, 0);
            bytes[at + f::Long_Value_Flags] = f::Long_Value_Inline;
            return;
        }
        const std::size_t ci = Find_Lval_Column(plan_, lv.column_number);
        if (ci == SIZE_MAX) Changed();
        const auto& col = plan_.lval_columns[ci];
        if (next_value_[ci] >= col.values.size()) Changed();
        const Lval_Place& place = col.values[next_value_[ci]++];
        if (place.size != size) Changed();
        const std::uint8_t type = place.chain ? f::Long_Value_Chain : f::Long_Value_Single_Row;
        Put_U32(bytes, at + f::Long_Value_Length, place.size | (static_cast<std::uint32_t>(type) << (8 * f::Long_Value_Flags)));
        const Row_Pointer row_place{col.first_page + place.row_page, place.slot};
        Put_Row_Pointer(bytes, at + f::Long_Value_Pointer,
                        place.chain ? Row_Pointer{col.first_page + place.first_page, 0} : row_place);
        Put_U32(bytes, at + f::Long_Value_Tag, 0);
        if (place.chain)
            return Write_Chain(col, place, row_place, lv);
        Add_Lval_Row(col, place.row_page, place.slot, size,
                     [&](std::span<std::uint8_t> row) { Pieces_Cursor(lv.pieces, lv.value).Copy(row); });
    }

    // Full chunks on pages of their own, each linking to the next; the last full chunk
    // links to the row holding the rest.
    void Write_Chain(const Lval_Column_Plan& col, const Lval_Place& place, Row_Pointer row_place,
                     const Long_Value_Image& lv) {
        Pieces_Cursor bytes(lv.pieces, lv.value);
        for (std::uint32_t k = 0; k <= place.full_chunks; ++k) {
            const std::size_t from = k * f::Long_Value_Max_Chunk;
            const std::size_t size = std::min(f::Long_Value_Max_Chunk, place.size - from);
            const std::uint32_t page = col.first_page + place.first_page + k;
            auto fill = [&](std::span<std::uint8_t> row) {
                std::fill_n(row.begin(), f::Long_Value_Chain_Link, 0);
                if (k + 1 < place.full_chunks) Put_Row_Pointer(row, 0, Row_Pointer{page + 1, 0});
                if (k + 1 == place.full_chunks) Put_Row_Pointer(row, 0, row_place);
                bytes.Copy(row.subspan(f::Long_Value_Chain_Link));
            };
            if (k < place.full_chunks) {
                Data_Page_Builder chunk_page(0, true);
                fill(chunk_page.Add(f::Long_Value_Chain_Link + size));
                sink_.Put(page, chunk_page.Finish());
            } else {
                Add_Lval_Row(col, place.row_page, place.slot, f::Long_Value_Chain_Link + size, fill);
            }
        }
    }

    // A row of `size` bytes on a shared long-value page, which `fill` writes in place; the
    // page goes out with its last row.
    template <class Fill>
    void Add_Lval_Row(const Lval_Column_Plan& col, std::uint32_t ordinal, std::uint8_t slot, std::size_t size,
                      const Fill& fill) {
        const std::uint32_t page = col.first_page + ordinal;
        const auto open = open_lval_.try_emplace(page, 0, true).first;
        Data_Page_Builder& rows = open->second;
        if (rows.Rows() != slot) Changed();
        fill(rows.Add(size));
        if (rows.Rows() == col.pages[ordinal].rows) {
            sink_.Put(page, rows.Finish());
            open_lval_.erase(open);
        }
    }

    const Table_Image& table_;
    const Table_Plan& plan_;
    Page_Sink& sink_;
    std::vector<std::size_t> next_value_;  // per long-value column: its next planned value
    // Shared long-value pages being filled, by absolute page.
    std::map<std::uint32_t, Data_Page_Builder> open_lval_;
    std::optional<Data_Page_Builder> open_page_;  // the data page being filled
    std::uint32_t data_page_ = 0;
    std::uint32_t r_ = 0;
};

void Write_Rows(const Table_Image& table, const Table_Plan& plan, Page_Sink& sink) {
    Row_Page_Writer writer(table, plan, sink);
    Each_Row(table, [&](const Row_Image& row) { writer.Add(row); });
    writer.Finish();
}

// ---- Phase: a table's index pages ---------------------------------------------------------

// Leaves hold their range of sorted entries, written in one pass over them; a node page
// holds an entry (the last key of the subtree) per child, the last child going to the
// tail pointer when there are several.
void Write_Index(const Table_Image& table, const Index_Image& entries, const Index_Plan& index,
                 const Table_Plan& plan, Page_Sink& sink) {
    Index_Page_Content content;
    auto put = [&](std::size_t l, std::size_t k) {
        const auto& level = index.levels[l];
        const std::uint32_t prev = k > 0 ? level[k - 1].page : 0;
        const std::uint32_t next = k + 1 < level.size() ? level[k + 1].page : 0;
        sink.Put(level[k].page, Index_Page(level[k].leaf, plan.tdef_page, prev, next, content));
        content.Clear();
        if (k + 1 < level.size()) content.prefix = level[k + 1].prefix;
    };
    const auto& leaves = index.levels.front();
    std::size_t leaf = 0, seen = 0;
    content.prefix = leaves.front().prefix;
    entries.Each([&](std::span<const std::uint8_t> key, std::uint32_t row) {
        if (leaf >= leaves.size() || row >= plan.row_count)
            throw Error("Cannot write table '" + table.name + "': an index changed while it was being written.");
        content.Add(key, plan.Row_Pointer_Of(row), std::nullopt);
        if (++seen == leaves[leaf].end) put(0, leaf++);
    });
    if (seen == 0 && leaf == 0) put(0, leaf++);  // an empty root leaf
    if (seen != index.entries || leaf != leaves.size())
        throw Error("Cannot write table '" + table.name + "': an index changed while it was being written.");
    for (std::size_t l = 1; l < index.levels.size(); ++l) {
        const auto& level = index.levels[l];
        const auto& below = index.levels[l - 1];
        content.prefix = level.front().prefix;
        for (std::size_t k = 0; k < level.size(); ++k) {
            const auto& pp = level[k];
            std::size_t last = pp.end;
            if (pp.end - pp.begin > 1) {
                last = pp.end - 1;
                content.tail = below[last].page;
            }
            for (std::size_t c = pp.begin; c < last; ++c)
                content.Add(index.bounds.Key(below[c].last_leaf),
                            plan.Row_Pointer_Of(index.bounds.rows[below[c].last_leaf]), below[c].page);
            put(l, k);
        }
    }
}

// ---- Phase: usage maps --------------------------------------------------------------------

// The host pages with every table's, index's and long-value column's map row, then the
// bitmap pages of the reference maps.
void Write_Usage_Maps(const Layout_Plan& plan, Page_Sink& sink) {
    for (std::size_t h = 0; h < plan.hosts.size(); ++h) {
        std::vector<std::vector<std::uint8_t>> rows;
        for (const Map_Ref ref : plan.hosts[h]) rows.push_back(Map_Row(plan.Map(ref)));
        std::vector<std::span<const std::uint8_t>> content(rows.begin(), rows.end());
        sink.Put(plan.first_host + static_cast<std::uint32_t>(h), Data_Page(0, content));
    }
    for (const auto& [block, ref] : plan.bitmap_pages) {
        const Map_Plan& map = plan.Map(ref);
        sink.Put(map.bitmap_pages[block], Bitmap_Page(block, map.pages));
    }
}

// ---- Phase: table definitions ----------------------------------------------------------------

void Put_Map_Pointer(std::vector<std::uint8_t>& d, std::size_t at, Row_Pointer p) { Put_Row_Pointer(d, at, p); }

// The caller's definition with every field the layout decides filled in: length, row
// count, usage maps, index statistics and roots, long-value column maps.
std::vector<std::uint8_t> Patched_Definition(const Table_Image& table, const Table_Plan& plan) {
    std::vector<std::uint8_t> d = table.definition;
    d[f::Page_Type] = f::Page_Type_Tdef;
    d[f::Page_Marker] = f::Page_Marker_Value;
    Put_U32(d, f::Tdef_Length, static_cast<std::uint32_t>(d.size()));
    Put_U32(d, f::Tdef_Num_Rows, plan.row_count);
    Put_Map_Pointer(d, f::Tdef_Owned_Map, plan.owned.where);
    Put_Map_Pointer(d, f::Tdef_Free_Map, plan.free.where);
    for (std::size_t i = 0; i < plan.indexes.size(); ++i) {
        const auto& index = plan.indexes[i];
        const std::size_t stats = f::Tdef_Index_Stats + f::Index_Stats_Size * i;
        Put_U32(d, stats + f::Index_Stats_Entries, index.entries);
        Put_U32(d, stats + f::Index_Stats_Distinct, index.distinct);
        Put_U32(d, stats + f::Index_Stats_Reserved, 0);
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
    return d;
}

// A definition split over pages from `page` on: the first page in full, continuations
// after their header.
void Write_Definition(const std::vector<std::uint8_t>& d, std::uint32_t page, Page_Sink& sink) {
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
            std::copy_n(d.begin() + static_cast<std::ptrdiff_t>(at), take, bytes.begin() + f::Tdef_Page_Header_Size);
            bytes[f::Page_Type] = f::Page_Type_Tdef;
            bytes[f::Page_Marker] = f::Page_Marker_Value;
        }
        at += take;
        const bool more = at < d.size();
        const std::size_t used = first ? take : take + f::Tdef_Page_Header_Size;
        std::size_t free = 0;
        if (!(first && more) && used + 8 <= f::Page_Size) free = f::Page_Size - used - 8;
        Put_U16(bytes, f::Tdef_Free_Space, static_cast<std::uint16_t>(free));
        Put_U32(bytes, f::Tdef_Next_Page, more ? page + 1 : 0);
        sink.Put(page, std::move(bytes));
        first = false;
        ++page;
    }
}

// ---- Phase: the global map ----------------------------------------------------------------

// Page 1: the global map (set bit = free page: only those past the end), then a zeroed
// map row as Access keeps it; a reference map's bitmap pages too.
void Write_Global_Map(const Layout_Plan& plan, Page_Sink& sink) {
    const Global_Map_Plan& map = plan.global;
    std::vector<std::uint8_t> global;
    if (!map.reference) {
        global.assign(f::Map_Inline_Bitmap + map.bitmap_bytes, 0);
        global[f::Map_Type] = f::Map_Type_Inline;
        Put_U32(global, f::Map_Inline_Start, 0);
        for (std::size_t bit = plan.total; bit < map.bitmap_bytes * 8; ++bit)
            global[f::Map_Inline_Bitmap + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    } else {
        global.assign(Map_Row_Size, 0);
        global[f::Map_Type] = f::Map_Type_Reference;
        for (std::size_t k = 0; k < Map_Pointers; ++k) {
            Put_U32(global, f::Map_Reference_Pointers + 4 * k, map.bitmap_pages[k]);
            if (map.bitmap_pages[k] == 0) continue;
            Page_Bytes bits = New_Page();
            bits[f::Page_Type] = f::Page_Type_Usage_Bitmap;
            bits[f::Page_Marker] = f::Page_Marker_Value;
            const std::uint64_t first = static_cast<std::uint64_t>(k) * f::Bitmap_Page_Bits;
            for (std::uint32_t b = 0; b < f::Bitmap_Page_Bits; ++b)
                if (first + b >= plan.total) bits[f::Bitmap_Page_Data + b / 8] |= static_cast<std::uint8_t>(1u << (b % 8));
            sink.Put(map.bitmap_pages[k], bits);
        }
    }
    std::vector<std::uint8_t> spare(Map_Row_Size, 0);
    sink.Put(f::Global_Map_Page,
             Data_Page(0, {std::span<const std::uint8_t>(global), std::span<const std::uint8_t>(spare)}));
}

}  // namespace

void Each_Row(const Table_Image& table, const Row_Visitor& visit, bool with_values) {
    if (table.source) {
        table.source->Each_Row(visit, with_values);
        return;
    }
    for (const auto& row : table.rows) visit(row);
}

void Load_Rows(Table_Image& table) {
    if (!table.source) return;
    std::vector<Row_Image> rows;
    table.source->Each_Row([&](const Row_Image& row) { rows.push_back(row); }, true);
    table.rows = std::move(rows);
    table.source.reset();
}

std::vector<std::uint32_t> Definition_Pages(const std::vector<std::size_t>& definition_lengths) {
    std::vector<std::uint32_t> pages;
    std::uint64_t next = f::Catalog_Tdef_Page;
    for (std::size_t length : definition_lengths) {
        pages.push_back(static_cast<std::uint32_t>(next));
        next += Definition_Page_Count(length);
        if (next > f::Max_Database_Pages) throw Error("The table definitions do not fit in a Jet 4.0 file.", Error_Kind::Unsupported);
    }
    return pages;
}

Write_Result Write_Database(const Database_Image& image, const std::filesystem::path& path,
                            const std::function<void(double)>& progress, bool to_disk, const File_System& files) {
    const Layout_Plan plan = Plan_Layout(image);
    Report(progress, 0.1);
    // Page 0 is made first: a password that cannot be stored fails before any file exists.
    Page_Bytes header = Header_Page(image);
    Page_Sink sink(path, image.database_key, plan.total, progress, files);
    for (std::size_t t = 0; t < plan.tables.size(); ++t) {
        const Table_Image& table = image.tables[t];
        const Table_Plan& table_plan = plan.tables[t];
        Write_Rows(table, table_plan, sink);
        for (std::size_t i = 0; i < table_plan.indexes.size(); ++i)
            Write_Index(table, table.indexes[i], table_plan.indexes[i], table_plan, sink);
        Report(progress, 0.1 + 0.6 * static_cast<double>(t + 1) / static_cast<double>(plan.tables.size()));
    }
    Write_Usage_Maps(plan, sink);
    for (std::size_t t = 0; t < plan.tables.size(); ++t)
        Write_Definition(Patched_Definition(image.tables[t], plan.tables[t]), plan.tables[t].tdef_page, sink);
    Write_Global_Map(plan, sink);
    sink.Put(0, std::move(header));
    sink.Finish(to_disk);
    Report(progress, 1.0);
    return Write_Result{plan.total};
}

}  // namespace kelbrook::jet
