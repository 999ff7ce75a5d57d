#include "jet/table/Table_Builder.h"

#include <algorithm>
#include <numeric>
#include <span>

#include "jet/util/Bytes.h"
#include "jet/util/Error.h"
#include "jet/util/Text.h"

namespace kelbrook::jet {

namespace {

namespace f = format;


void Append_U16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Append_Name(std::vector<std::uint8_t>& out, const std::string& name) {
    std::vector<std::uint8_t> utf16 = Utf8_To_Utf16le(name);
    Append_U16(out, static_cast<std::uint16_t>(utf16.size()));
    out.insert(out.end(), utf16.begin(), utf16.end());
}

bool Less_Case_Blind(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) < lower(y);
    });
}

}  // namespace

void Table_Layout::Lay_Out() {
    if (columns.empty()) throw Error("table " + name + ": a table needs at least one column", Error_Kind::Unsupported);
    std::uint16_t fixed_offset = 0;
    std::uint16_t var_count = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        Column_Layout& c = columns[i];
        c.number = static_cast<std::uint16_t>(i);
        c.fixed = Is_Fixed_Type(c.type);
        if (c.fixed) {
            c.stored_length = static_cast<std::uint16_t>(Fixed_Column_Size(c.type));
            if (c.type == f::Type_Boolean) c.stored_length = 1;  // declared size; no bytes in the row
            c.fixed_offset = fixed_offset;
            fixed_offset = static_cast<std::uint16_t>(fixed_offset + Fixed_Column_Size(c.type));
            c.var_index = var_count;  // Access records the var columns seen so far
        } else {
            c.fixed_offset = 0;
            c.var_index = var_count++;
            switch (c.type) {
                case f::Type_Text:
                    if (c.length == 0 || c.length > 255)
                        throw Error("table " + name + ", column " + c.name +
                                    ": text columns hold 1 to 255 characters",
                                    Error_Kind::Unsupported);
                    c.stored_length = static_cast<std::uint16_t>(c.length * 2);
                    break;
                case f::Type_Binary:
                    if (c.length == 0 || c.length > 510)
                        throw Error("table " + name + ", column " + c.name +
                                    ": binary columns hold 1 to 510 bytes",
                                    Error_Kind::Unsupported);
                    c.stored_length = c.length;
                    break;
                case f::Type_Memo:
                case f::Type_Ole: c.stored_length = 0; break;
                default:
                    throw Error("table " + name + ", column " + c.name + ": unsupported column type " +
                                std::to_string(c.type),
                                Error_Kind::Unsupported);
            }
        }
    }
}

std::uint16_t Table_Layout::Column_Number(const std::string& column_name) const {
    for (const Column_Layout& c : columns)
        if (c.name == column_name) return c.number;
    throw Error("table " + name + " has no column " + column_name, Error_Kind::Not_Found);
}

std::size_t Table_Layout::Fixed_Area_Size() const {
    std::size_t size = 0;
    for (const Column_Layout& c : columns) size += Fixed_Column_Size(c.type);
    return size;
}

std::size_t Table_Layout::Var_Column_Count() const {
    return static_cast<std::size_t>(
        std::count_if(columns.begin(), columns.end(), [](const Column_Layout& c) { return !c.fixed; }));
}

namespace {

// The header and the (writer-filled) index statistics.
std::vector<std::uint8_t> Definition_Header(const Table_Layout& table) {
    std::vector<std::uint8_t> out;
    out.reserve(1024);
    out.assign(f::Tdef_Min_Length + f::Index_Stats_Size * table.indexes.size(), 0);
    std::span<std::uint8_t> head(out);
    head[f::Page_Type] = f::Page_Type_Tdef;
    head[f::Page_Marker] = f::Page_Marker_Value;
    Put_U32(head, f::Tdef_Magic, f::Tdef_Magic_Value);
    Put_U32(head, f::Tdef_Autonumber, table.last_autonumber);
    head[f::Tdef_Autonumber_Flag] = f::Tdef_Autonumber_Flag_Value;
    if (!table.system) Put_U32(head, f::User_Tdef_Filler, f::User_Tdef_Filler_Value);
    head[f::Tdef_Table_Type] = table.system ? f::Table_Type_System : f::Table_Type_User;
    Put_U16(head, f::Tdef_Max_Columns, static_cast<std::uint16_t>(table.columns.size()));
    Put_U16(head, f::Tdef_Var_Columns, static_cast<std::uint16_t>(table.Var_Column_Count()));
    Put_U16(head, f::Tdef_Columns, static_cast<std::uint16_t>(table.columns.size()));
    Put_U32(head, f::Tdef_Logical_Indexes, static_cast<std::uint32_t>(table.logical_indexes.size()));
    Put_U32(head, f::Tdef_Real_Indexes, static_cast<std::uint32_t>(table.indexes.size()));
    return out;
}

void Append_Column_Block(std::vector<std::uint8_t>& out, const Table_Layout& table, const Column_Layout& c) {
    std::uint8_t block[f::Column_Block_Size] = {};
    std::span<std::uint8_t> b(block);
    b[f::Column_Type] = c.type;
    Put_U32(b, f::Column_Magic, f::Tdef_Magic_Value);
    Put_U16(b, f::Column_Number, c.number);
    Put_U16(b, f::Column_Var_Index, c.var_index);
    Put_U16(b, f::Column_Number_Again, table.system ? 0 : c.number);
    if (c.type == f::Type_Numeric) {
        b[f::Column_Misc] = c.precision;
        b[f::Column_Misc + 1] = c.scale;
    } else {
        Put_U16(b, f::Column_Misc, f::General_Lcid);  // text: LCID, then 0 and sort version 0
    }
    std::uint8_t flags = f::Column_Flag_Updatable;
    if (c.fixed) flags |= f::Column_Flag_Fixed;
    if (c.auto_number) flags |= f::Column_Flag_Auto_Long;
    if (table.system) {
        flags |= f::System_Column_Flag;
        if (c.type == f::Type_Binary && (c.name == "Owner" || c.name == "SID"))
            flags |= f::System_Sid_Column_Flag;
    }
    b[f::Column_Flags] = flags;
    if (!table.system && (c.type == f::Type_Text || c.type == f::Type_Memo))
        b[f::Column_Extra_Flags] = f::Column_Extra_Compressed;
    Put_U16(b, f::Column_Fixed_Offset, c.fixed_offset);
    Put_U16(b, f::Column_Length, c.stored_length);
    out.insert(out.end(), std::begin(block), std::end(block));
}

// The column blocks, then their names; Jet's own tables list them by name.
void Append_Columns(std::vector<std::uint8_t>& out, const Table_Layout& table) {
    std::vector<std::size_t> order(table.columns.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (table.blocks_by_name)
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return Less_Case_Blind(table.columns[a].name, table.columns[b].name);
        });
    for (std::size_t i : order) Append_Column_Block(out, table, table.columns[i]);
    for (std::size_t i : order) Append_Name(out, table.columns[i].name);
}

void Append_Real_Indexes(std::vector<std::uint8_t>& out, const Table_Layout& table) {
    for (const Index_Layout& index : table.indexes) {
        if (index.columns.empty() || index.columns.size() > f::Real_Index_Max_Columns)
            throw Error("table " + table.name + ": an index has 1 to 10 columns", Error_Kind::Unsupported);
        std::uint8_t block[f::Real_Index_Block_Size] = {};
        std::span<std::uint8_t> b(block);
        Put_U32(b, f::Real_Index_Magic, f::Real_Index_Magic_Value);
        for (std::size_t k = 0; k < f::Real_Index_Max_Columns; ++k) {
            std::size_t at = f::Real_Index_Columns + k * f::Real_Index_Column_Size;
            if (k < index.columns.size()) {
                Put_U16(b, at, index.columns[k].first);
                b[at + f::Real_Index_Column_Flags] = index.columns[k].second ? f::Index_Column_Ascending : 0;
            } else {
                Put_U16(b, at, f::Real_Index_Unused_Column);
            }
        }
        b[f::Real_Index_Flags] = static_cast<std::uint8_t>(index.flags | f::Index_Flag_Always);
        out.insert(out.end(), std::begin(block), std::end(block));
    }
}

// The logical index blocks, then their names.
void Append_Logical_Indexes(std::vector<std::uint8_t>& out, const Table_Layout& table) {
    for (std::size_t i = 0; i < table.logical_indexes.size(); ++i) {
        const Logical_Index_Layout& li = table.logical_indexes[i];
        if (li.real_index >= table.indexes.size())
            throw Error("table " + table.name + ", index " + li.name + ": no such real index", Error_Kind::Unsupported);
        std::uint8_t block[f::Logical_Index_Block_Size] = {};
        std::span<std::uint8_t> b(block);
        Put_U32(b, f::Logical_Index_Magic, f::Tdef_Magic_Value);
        Put_U32(b, f::Logical_Index_Number, static_cast<std::uint32_t>(i));
        Put_U32(b, f::Logical_Index_Real, li.real_index);
        b[f::Logical_Index_Rel_Type] = li.relation_role;
        Put_U32(b, f::Logical_Index_Rel_Index, static_cast<std::uint32_t>(li.related_index));
        Put_U32(b, f::Logical_Index_Rel_Table, li.related_table_page);
        const bool foreign = li.type == f::Logical_Index_Foreign_Key;
        b[f::Logical_Index_Cascade_Update] = foreign ? li.cascade_update : f::Plain_Index_Cascade_Bytes;
        b[f::Logical_Index_Cascade_Delete] = foreign ? li.cascade_delete : f::Plain_Index_Cascade_Bytes;
        b[f::Logical_Index_Type] = li.type;
        out.insert(out.end(), std::begin(block), std::end(block));
    }
    for (const Logical_Index_Layout& li : table.logical_indexes) Append_Name(out, li.name);
}

// One map entry per memo/OLE column (its maps are the writer's), then the end marker.
void Append_Column_Maps(std::vector<std::uint8_t>& out, const Table_Layout& table) {
    for (const Column_Layout& c : table.columns) {
        if (c.type != f::Type_Memo && c.type != f::Type_Ole) continue;
        const std::size_t at = out.size();
        out.resize(at + f::Column_Map_Entry_Size, 0);
        Put_U16(std::span<std::uint8_t>(out), at, c.number);
    }
    Append_U16(out, f::Tdef_End_Marker);
}

}  // namespace

std::vector<std::uint8_t> Build_Definition(const Table_Layout& table) {
    std::vector<std::uint8_t> out = Definition_Header(table);
    Append_Columns(out, table);
    Append_Real_Indexes(out, table);
    Append_Logical_Indexes(out, table);
    Append_Column_Maps(out, table);
    Put_U32(std::span<std::uint8_t>(out), f::Tdef_Length, static_cast<std::uint32_t>(out.size()));
    return out;
}

}  // namespace kelbrook::jet
