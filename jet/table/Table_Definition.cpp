#include "jet/table/Table_Definition.h"

#include <algorithm>
#include <set>

#include "jet/util/Text.h"

namespace kelbrook::jet {
namespace {

// Bounded reading of the tdef buffer: every access is checked and a failure names the
// tdef and the field.
class Tdef_Reader {
public:
    Tdef_Reader(const std::vector<std::uint8_t>& b, const std::string& where) : b_(b), where_(where) {}
    void Need(std::size_t at, std::size_t size, const char* what) const {
        if (!Has_Range(b_.size(), at, size))
            throw Error(where_ + ": the table definition is truncated or damaged (" + what + " at offset " +
                        std::to_string(at) + " lies past its end, " + std::to_string(b_.size()) + " bytes)");
    }
    std::uint8_t U8(std::size_t at, const char* what) const { Need(at, 1, what); return b_[at]; }
    std::uint16_t U16(std::size_t at, const char* what) const { Need(at, 2, what); return Get_U16(b_, at); }
    std::uint32_t U32(std::size_t at, const char* what) const { Need(at, 4, what); return Get_U32(b_, at); }
    Row_Pointer Pointer(std::size_t at, const char* what) const { Need(at, 4, what); return Get_Row_Pointer(b_, at); }
    std::string Name(std::size_t& at, const char* what) const {
        std::uint16_t len = U16(at, what);
        at += 2;
        Need(at, len, what);
        std::string s = Utf16le_To_Utf8(std::span(b_).subspan(at, len));
        at += len;
        return s;
    }
    [[noreturn]] void Fail(const std::string& what) const { throw Error(where_ + ": " + what); }

private:
    const std::vector<std::uint8_t>& b_;
    const std::string& where_;
};

}  // namespace

std::size_t Fixed_Column_Size(std::uint8_t type) {
    switch (type) {
        case format::Type_Byte: return 1;
        case format::Type_Int16: return 2;
        case format::Type_Int32: return 4;
        case format::Type_Money: return 8;
        case format::Type_Float: return 4;
        case format::Type_Double: return 8;
        case format::Type_Datetime: return 8;
        case format::Type_Guid: return 16;
        case format::Type_Numeric: return 17;
        default: return 0;
    }
}

bool Is_Fixed_Type(std::uint8_t type) {
    return type == format::Type_Boolean || Fixed_Column_Size(type) != 0;
}

std::size_t Fixed_Size(std::uint8_t type, std::uint16_t declared_length) {
    if (type == format::Type_Boolean) return 0;
    const std::size_t size = Fixed_Column_Size(type);
    return size != 0 ? size : declared_length;
}

std::string Type_Name(std::uint8_t type) {
    switch (type) {
        case format::Type_Boolean: return "Boolean";
        case format::Type_Byte: return "Byte";
        case format::Type_Int16: return "Integer";
        case format::Type_Int32: return "Long Integer";
        case format::Type_Money: return "Currency";
        case format::Type_Float: return "Single";
        case format::Type_Double: return "Double";
        case format::Type_Datetime: return "DateTime";
        case format::Type_Binary: return "Binary";
        case format::Type_Text: return "Text";
        case format::Type_Ole: return "OLE";
        case format::Type_Memo: return "Memo";
        case format::Type_Guid: return "Replication ID";
        case format::Type_Numeric: return "Numeric";
        case format::Type_Long_Binary: return "Long Binary";
        default: return "type " + std::to_string(type);
    }
}

const Column* Table_Definition::Find_Column(std::uint16_t number) const {
    for (const auto& c : columns)
        if (c.number == number) return &c;
    return nullptr;
}

const Column* Table_Definition::Find_Column(const std::string& name) const {
    for (const auto& c : columns)
        if (c.name == name) return &c;
    return nullptr;
}

namespace {

// The counts the header declares, bounded by the buffer before anything is allocated.
struct Tdef_Counts {
    std::uint16_t columns = 0;
    std::uint32_t logical = 0;
    std::uint32_t real = 0;
};

Tdef_Counts Read_Header(Table_Definition& t, const Tdef_Reader& r) {
    r.Need(0, format::Tdef_Min_Length, "the table definition header");
    const std::uint8_t type = t.bytes[format::Page_Type];
    if (type != format::Page_Type_Tdef) r.Fail("not a table definition page (type " + std::to_string(type) + ")");
    t.num_rows = r.U32(format::Tdef_Num_Rows, "row count");
    t.autonumber = r.U32(format::Tdef_Autonumber, "autonumber");
    t.table_type = r.U8(format::Tdef_Table_Type, "table type");
    t.max_columns = r.U16(format::Tdef_Max_Columns, "column limit");
    t.var_columns = r.U16(format::Tdef_Var_Columns, "variable column count");
    Tdef_Counts n;
    n.columns = r.U16(format::Tdef_Columns, "column count");
    n.logical = r.U32(format::Tdef_Logical_Indexes, "index count");
    n.real = r.U32(format::Tdef_Real_Indexes, "index count");
    t.owned_map = r.Pointer(format::Tdef_Owned_Map, "usage map");
    t.free_map = r.Pointer(format::Tdef_Free_Map, "usage map");
    const std::size_t size = t.bytes.size();
    if (n.real > size / format::Real_Index_Block_Size || n.logical > size / format::Logical_Index_Block_Size ||
        n.columns > size / format::Column_Block_Size)
        r.Fail("the table definition is damaged (" + std::to_string(n.columns) + " columns, " +
               std::to_string(n.real) + " and " + std::to_string(n.logical) +
               " indexes cannot fit in " + std::to_string(size) + " bytes)");
    return n;
}

// Each real index's statistics, which come first after the header.
void Read_Index_Statistics(Table_Definition& t, const Tdef_Reader& r, std::uint32_t count, std::size_t& at) {
    for (std::uint32_t i = 0; i < count; ++i) {
        Real_Index ix;
        ix.number = i;
        ix.stats_offset = at;
        ix.stats_entries = r.U32(at + format::Index_Stats_Entries, "index statistics");
        ix.stats_distinct = r.U32(at + format::Index_Stats_Distinct, "index statistics");
        t.real_indexes.push_back(ix);
        at += format::Index_Stats_Size;
    }
}

// The column blocks, then their names; no column number twice, no fixed column past the
// end of a row.
std::vector<Column> Read_Columns(const Table_Definition& t, const Tdef_Reader& r, std::uint16_t count,
                                 std::size_t& at) {
    std::vector<Column> columns;
    for (std::uint16_t i = 0; i < count; ++i) {
        r.Need(at, format::Column_Block_Size, "column definition");
        Column c;
        c.block_offset = at;
        c.type = t.bytes[at + format::Column_Type];
        c.number = Get_U16(t.bytes, at + format::Column_Number);
        c.var_index = Get_U16(t.bytes, at + format::Column_Var_Index);
        c.flags = t.bytes[at + format::Column_Flags];
        c.extra_flags = t.bytes[at + format::Column_Extra_Flags];
        c.fixed_offset = Get_U16(t.bytes, at + format::Column_Fixed_Offset);
        c.length = Get_U16(t.bytes, at + format::Column_Length);
        if (c.type == format::Type_Numeric) {
            c.precision = t.bytes[at + format::Column_Misc];
            c.scale = t.bytes[at + format::Column_Misc + 1];
        } else if (c.type == format::Type_Text || c.type == format::Type_Memo) {
            c.sort_order = Get_U16(t.bytes, at + format::Column_Misc);
        }
        columns.push_back(c);
        at += format::Column_Block_Size;
    }
    for (auto& c : columns) c.name = r.Name(at, "column name");
    std::set<std::uint16_t> numbers;
    for (const auto& c : columns) {
        if (!numbers.insert(c.number).second)
            r.Fail("the table definition is damaged (column number " + std::to_string(c.number) + " appears twice)");
        if (c.Is_Fixed() && c.type != format::Type_Boolean &&
            static_cast<std::size_t>(c.fixed_offset) + Fixed_Size(c.type, c.length) > format::Page_Size)
            r.Fail("the table definition is damaged (column \"" + c.name + "\" lies past the end of a row)");
    }
    return columns;
}

void Read_Real_Indexes(Table_Definition& t, const Tdef_Reader& r, std::size_t& at) {
    for (auto& ix : t.real_indexes) {
        r.Need(at, format::Real_Index_Block_Size, "index definition");
        ix.block_offset = at;
        for (std::size_t k = 0; k < format::Real_Index_Max_Columns; ++k) {
            std::size_t c = at + format::Real_Index_Columns + k * format::Real_Index_Column_Size;
            std::uint16_t number = Get_U16(t.bytes, c);
            if (number == format::Real_Index_Unused_Column) continue;
            ix.columns.push_back(Index_Column{number, t.bytes[c + format::Real_Index_Column_Flags]});
        }
        ix.page_map = Get_Row_Pointer(t.bytes, at + format::Real_Index_Map);
        ix.root = Get_U32(t.bytes, at + format::Real_Index_Root);
        ix.flags = t.bytes[at + format::Real_Index_Flags];
        at += format::Real_Index_Block_Size;
    }
}

// The logical index blocks, then their names; each names a real index that exists.
void Read_Logical_Indexes(Table_Definition& t, const Tdef_Reader& r, std::uint32_t count, std::size_t& at) {
    const std::size_t real = t.real_indexes.size();
    for (std::uint32_t i = 0; i < count; ++i) {
        r.Need(at, format::Logical_Index_Block_Size, "index definition");
        Logical_Index li;
        li.block_offset = at;
        li.number = Get_U32(t.bytes, at + format::Logical_Index_Number);
        li.real_index = Get_U32(t.bytes, at + format::Logical_Index_Real);
        li.relation_role = t.bytes[at + format::Logical_Index_Rel_Type];
        li.related_index = static_cast<std::int32_t>(Get_U32(t.bytes, at + format::Logical_Index_Rel_Index));
        li.related_table_page = Get_U32(t.bytes, at + format::Logical_Index_Rel_Table);
        li.cascade_updates = t.bytes[at + format::Logical_Index_Cascade_Update];
        li.cascade_deletes = t.bytes[at + format::Logical_Index_Cascade_Delete];
        li.index_type = t.bytes[at + format::Logical_Index_Type];
        if (li.real_index >= real)
            r.Fail("the table definition is damaged (index " + std::to_string(i) + " refers to physical index " +
                   std::to_string(li.real_index) + " of " + std::to_string(real) + ")");
        t.logical_indexes.push_back(li);
        at += format::Logical_Index_Block_Size;
    }
    for (auto& li : t.logical_indexes) li.name = r.Name(at, "index name");
}

// Long-value column maps, ended by FF FF. Entries naming no memo/OLE column, or a missing
// map (page 0), are kept in `column_maps` but give no column its maps, as Access's
// readers do.
void Read_Column_Maps(Table_Definition& t, const Tdef_Reader& r, std::vector<Column>& columns, std::size_t& at) {
    t.page_maps_offset = at;
    for (;;) {
        std::uint16_t number = r.U16(at, "end of the table definition");
        if (number == format::Tdef_End_Marker) {
            at += 2;
            break;
        }
        r.Need(at, format::Column_Map_Entry_Size, "memo/OLE page map");
        t.column_maps.push_back(Column_Map_Entry{number, at});
        for (auto& c : columns) {
            if (c.number != number || !c.Is_Long_Value()) continue;
            c.has_page_maps = true;
            c.page_map_entry_offset = at;
            c.owned_map = Get_Row_Pointer(t.bytes, at + format::Column_Map_Owned);
            c.free_map = Get_Row_Pointer(t.bytes, at + format::Column_Map_Free);
        }
        at += format::Column_Map_Entry_Size;
    }
    t.end_offset = at;
}

}  // namespace

Table_Definition Parse_Table_Definition(std::vector<std::uint8_t> bytes, const std::string& where) {
    Table_Definition t;
    t.bytes = std::move(bytes);
    Tdef_Reader r(t.bytes, where);
    const Tdef_Counts counts = Read_Header(t, r);
    std::size_t at = format::Tdef_Index_Stats;
    Read_Index_Statistics(t, r, counts.real, at);
    std::vector<Column> columns = Read_Columns(t, r, counts.columns, at);
    Read_Real_Indexes(t, r, at);
    Read_Logical_Indexes(t, r, counts.logical, at);
    Read_Column_Maps(t, r, columns, at);

    std::sort(columns.begin(), columns.end(), [](const Column& a, const Column& b) { return a.number < b.number; });
    t.columns = std::move(columns);
    for (const auto& ix : t.real_indexes)
        for (const auto& ic : ix.columns)
            if (!t.Find_Column(ic.column_number))
                r.Fail("the table definition is damaged (an index names column number " +
                       std::to_string(ic.column_number) + ", which the table does not have)");
    return t;
}

Table_Definition Read_Table_Definition(const Page_File& file, std::uint32_t page,
                                       const std::map<std::uint32_t, std::uint32_t>* taken) {
    // A table definition is at most a few dozen pages; the cap keeps a damaged chain from
    // growing the buffer without bound.
    constexpr std::size_t max_pages = 64;
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> pages;
    if (page == 0) file.Fail(page, "a table definition is said to start here, on the database header");
    std::uint32_t current = page;
    while (current != 0) {
        if (std::find(pages.begin(), pages.end(), current) != pages.end())
            file.Fail(page, "the table definition's page chain loops back to page " + std::to_string(current));
        if (pages.size() >= max_pages)
            file.Fail(page, "the table definition's page chain is longer than " + std::to_string(max_pages) + " pages");
        // Definitions sharing pages would each copy them: refused before the copy.
        if (taken) {
            auto owner = taken->find(current);
            if (owner != taken->end())
                file.Fail(current, "the table definitions on pages " + std::to_string(owner->second) + " and " +
                                       std::to_string(page) + " both claim this page");
        }
        Page_Ref p = file.Read(current);
        const std::uint8_t type = (*p)[format::Page_Type];
        if (type != format::Page_Type_Tdef || (*p)[format::Page_Marker] != format::Page_Marker_Value)
            file.Fail(current, pages.empty() ? "expected a table definition page, found page type " + std::to_string(type)
                                             : "a table definition continues on a page of type " + std::to_string(type));
        if (pages.empty())
            bytes.insert(bytes.end(), p->begin(), p->end());
        else
            bytes.insert(bytes.end(), p->begin() + format::Tdef_Page_Header_Size, p->end());
        pages.push_back(current);
        current = Get_U32(*p, format::Tdef_Next_Page);
    }
    std::uint32_t declared = Get_U32(bytes, format::Tdef_Length);
    auto t = Parse_Table_Definition(std::move(bytes), file.Name() + ": page " + std::to_string(page));
    t.page = page;
    t.pages = std::move(pages);
    // Keep exactly the logical definition: its declared length when that covers what was
    // parsed, else what was parsed.
    std::size_t keep = (declared >= t.end_offset && declared <= t.bytes.size()) ? declared : t.end_offset;
    t.bytes.resize(keep);
    return t;
}

}  // namespace kelbrook::jet
