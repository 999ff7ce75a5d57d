// Table descriptions for databases we build from nothing: columns, real and logical
// indexes, laid out the way Jet lays them out (column numbers in definition order, fixed
// columns packed in number order, variable columns numbered in number order), and turned
// into the logical table-definition buffer the writer stores. Every page pointer in the
// buffer (usage maps, index roots, column maps) is left 0 for the writer to fill in;
// foreign-key table pages and everything else are ours.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "jet/file/Format.h"
#include "jet/table/Table_Definition.h"  // Fixed_Column_Size, Is_Fixed_Type

namespace kelbrook::jet {

struct Column_Layout {
    std::string name;
    std::uint8_t type = 0;       // format::Type_*
    std::uint16_t length = 0;    // text: characters; binary: bytes; other types: ignored
    std::uint8_t precision = 18; // numeric only
    std::uint8_t scale = 0;      // numeric only
    bool auto_number = false;    // int32 counter column

    // Filled in by Table_Layout::Lay_Out().
    std::uint16_t number = 0;
    std::uint16_t var_index = 0;
    std::uint16_t fixed_offset = 0;
    std::uint16_t stored_length = 0;  // bytes in the fixed area, or the text/binary limit
    bool fixed = false;
};

// One real (physical) index.
struct Index_Layout {
    std::vector<std::pair<std::uint16_t, bool>> columns;  // column number, ascending
    std::uint8_t flags = format::Index_Flag_Always;
};

struct Logical_Index_Layout {
    std::string name;
    std::uint32_t real_index = 0;
    std::uint8_t type = 0;                 // 0 plain, 1 primary key, 2 foreign key
    std::uint8_t relation_role = 0;        // foreign keys: 1 referenced side, 2 referencing
    std::int32_t related_index = -1;       // foreign keys: logical index in the other table
    std::uint32_t related_table_page = 0;  // foreign keys: the other table's tdef page
    std::uint8_t cascade_update = 0;
    std::uint8_t cascade_delete = 0;
};

struct Table_Layout {
    std::string name;
    bool system = false;           // one of Jet's own four tables
    bool blocks_by_name = false;   // column blocks sorted by name, as Jet writes its own tables
    std::uint32_t last_autonumber = 0;  // the counter column's last value handed out
    std::vector<Column_Layout> columns;  // column i gets number i
    std::vector<Index_Layout> indexes;
    std::vector<Logical_Index_Layout> logical_indexes;  // logical index i gets number i

    // Numbers the columns and places them in the row; call after the columns are final.
    void Lay_Out();
    // The column's number; throws Error for an unknown name.
    std::uint16_t Column_Number(const std::string& column_name) const;
    std::size_t Fixed_Area_Size() const;
    std::size_t Var_Column_Count() const;
};

// The logical tdef buffer for a laid-out table (num_rows 0, pointers 0).
std::vector<std::uint8_t> Build_Definition(const Table_Layout& table);

}  // namespace kelbrook::jet
