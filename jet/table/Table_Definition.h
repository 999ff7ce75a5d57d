// Table definitions (tdefs): the logical tdef buffer (first page in full plus each
// continuation page less its 8-byte header) and what it describes: columns of every
// Jet 4.0 type, real (physical) indexes with their usage map and root page, logical
// indexes with their foreign-key data, and the usage maps of memo/OLE columns.
// Every structure records the offset, in the logical buffer, of each field a writer
// patches when it lays the table out afresh (num_rows, usage-map pointers, index
// statistics, index map/root, column map entries, foreign-key table page), so the
// compactor can copy the buffer and patch only those. Parsing checks every length and
// offset against the buffer and names the tdef page in its errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "jet/util/Bytes.h"
#include "jet/file/Format.h"
#include "jet/file/Page_File.h"

namespace kelbrook::jet {

struct Column {
    std::string name;            // UTF-8
    std::uint8_t type = 0;       // format::Type_*
    std::uint16_t number = 0;    // null-mask bit; includes deleted columns
    std::uint16_t var_index = 0; // slot in the row's var-offset table (variable columns)
    std::uint16_t fixed_offset = 0;  // offset in the row's fixed area (fixed columns)
    std::uint16_t length = 0;    // stored length; text: bytes
    std::uint8_t flags = 0;      // format::Column_Flag_*
    std::uint8_t extra_flags = 0;
    std::uint8_t precision = 0;  // numeric
    std::uint8_t scale = 0;      // numeric
    std::uint16_t sort_order = 0;    // text: LCID
    std::size_t block_offset = 0;    // the 25-byte block in the tdef buffer

    // Memo/OLE columns: their page maps, when the tdef lists them.
    bool has_page_maps = false;
    Row_Pointer owned_map;           // LVAL pages of this column
    Row_Pointer free_map;            // LVAL pages with room
    std::size_t page_map_entry_offset = 0;  // the 10-byte entry in the tdef buffer

    bool Is_Fixed() const { return (flags & format::Column_Flag_Fixed) != 0; }
    bool Is_Long_Value() const { return type == format::Type_Memo || type == format::Type_Ole; }
    bool Is_Compressed() const { return (extra_flags & format::Column_Extra_Compressed) != 0; }
};

// Bytes a value of this type occupies in a row's fixed area: 0 for booleans (their value
// is the null-mask bit) and for the variable-length types.
std::size_t Fixed_Column_Size(std::uint8_t type);
// Whether columns of this type live in the fixed area (booleans included).
bool Is_Fixed_Type(std::uint8_t type);
// Bytes a fixed column occupies in the fixed area: Fixed_Column_Size for the known types,
// the declared length for any other.
std::size_t Fixed_Size(std::uint8_t type, std::uint16_t declared_length);
std::string Type_Name(std::uint8_t type);

struct Index_Column {
    std::uint16_t column_number = 0;
    std::uint8_t flags = 0;
    bool Ascending() const { return (flags & format::Index_Column_Ascending) != 0; }
};

struct Real_Index {
    std::uint32_t number = 0;          // position among the table's real indexes
    std::vector<Index_Column> columns;
    Row_Pointer page_map;              // usage map of the index's pages
    std::uint32_t root = 0;            // root page
    std::uint8_t flags = 0;            // format::Index_Flag_*
    std::uint32_t stats_entries = 0;   // statistics dword 0
    std::uint32_t stats_distinct = 0;  // statistics dword 1
    std::size_t block_offset = 0;      // the 52-byte block
    std::size_t stats_offset = 0;      // the 12-byte statistics
    std::size_t page_map_offset() const { return block_offset + format::Real_Index_Map; }
    std::size_t root_offset() const { return block_offset + format::Real_Index_Root; }
    bool Unique() const { return (flags & format::Index_Flag_Unique) != 0; }
    bool Ignore_Nulls() const { return (flags & format::Index_Flag_Ignore_Nulls) != 0; }
};

struct Logical_Index {
    std::string name;
    std::uint32_t number = 0;
    std::uint32_t real_index = 0;
    std::uint8_t relation_role = 0;          // FK: 1 primary side, 2 secondary side
    std::int32_t related_index = -1;         // FK: logical index number in the other table
    std::uint32_t related_table_page = 0;    // FK: the other table's tdef page
    std::uint8_t cascade_updates = 0;
    std::uint8_t cascade_deletes = 0;
    std::uint8_t index_type = 0;             // 1 primary key, 2 foreign key, 0 other
    std::size_t block_offset = 0;            // the 28-byte block
    std::size_t related_table_offset() const { return block_offset + format::Logical_Index_Rel_Table; }
    bool Is_Foreign_Key() const { return index_type == format::Logical_Index_Foreign_Key; }
};

// An entry of the long-value column maps that close a definition, whether or not it
// names a memo/OLE column.
struct Column_Map_Entry {
    std::uint16_t column = 0;
    std::size_t offset = 0;  // of the 10-byte entry in the definition
};

struct Table_Definition {
    std::uint32_t page = 0;                  // first tdef page (= table id)
    std::vector<std::uint32_t> pages;        // every tdef page, first one first
    std::vector<std::uint8_t> bytes;         // the logical tdef buffer
    std::uint32_t num_rows = 0;
    std::uint32_t autonumber = 0;
    std::uint8_t table_type = 0;
    std::uint16_t max_columns = 0;
    std::uint16_t var_columns = 0;
    Row_Pointer owned_map;                   // data pages of the table
    Row_Pointer free_map;                    // data pages with room
    std::vector<Column> columns;             // in column-number order
    std::vector<Real_Index> real_indexes;    // in definition order
    std::vector<Logical_Index> logical_indexes;
    std::size_t page_maps_offset = 0;        // first long-value column map entry
    std::vector<Column_Map_Entry> column_maps;  // every map entry, in definition order
    std::size_t end_offset = 0;              // just past the closing FF FF

    // Offsets of the header fields a writer patches.
    static constexpr std::size_t num_rows_offset = format::Tdef_Num_Rows;
    static constexpr std::size_t owned_map_offset = format::Tdef_Owned_Map;
    static constexpr std::size_t free_map_offset = format::Tdef_Free_Map;

    const Column* Find_Column(std::uint16_t number) const;
    const Column* Find_Column(const std::string& name) const;
};

// Parses a logical tdef buffer; `where` prefixes errors (file and page).
Table_Definition Parse_Table_Definition(std::vector<std::uint8_t> bytes, const std::string& where);

// Reads and parses the tdef starting on `page`, following continuation pages. With
// `taken` (page -> first page of the definition it belongs to), a page some other
// definition already holds is an Error as soon as the chain reaches it.
Table_Definition Read_Table_Definition(const Page_File& file, std::uint32_t page,
                                       const std::map<std::uint32_t, std::uint32_t>* taken = nullptr);

}  // namespace kelbrook::jet
