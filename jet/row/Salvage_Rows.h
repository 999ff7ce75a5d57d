// Reading what can still be read of a damaged table: the same walk as Table_Rows, but a
// row that cannot be read (its slot off its page, an overflow pointer to nowhere, fields
// past its end) is passed over, a page whose row table is damaged gives up its rows, and
// a memo/OLE value whose chain breaks is kept up to the break. Each such loss is handed
// to `lost`; every readable row is handed to `visit` exactly as Table_Rows would hand
// it. Two walks over the same file pass over the same rows.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "jet/row/Rows.h"

namespace kelbrook::jet {

struct Row_Loss {
    Row_Pointer row;          // the row (or, for a whole page, row 0 of that page)
    bool row_kept = false;    // true: only part of a long value is lost
    std::string what;         // what is wrong and what was lost, for people
    bool lost = true;         // false: found another way, nothing lost
};

// Pages the table's map lists as its data pages that name the table as their owner but
// are not data pages: damage that Table_Rows passes over as it does a stale map entry.
// The first such page, or 0.
std::uint32_t Mistyped_Data_Page(const Page_File& file, const Table_Definition& table);

void Salvage_Rows(const Page_File& file, const Table_Definition& table,
                  const Live_Row_Visitor& visit, bool long_values, Long_Value_Claims* claims,
                  const std::function<void(const Row_Loss&)>& lost);

}  // namespace kelbrook::jet
