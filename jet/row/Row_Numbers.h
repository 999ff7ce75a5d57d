// The number of a live row among its table's rows (0, 1, ... in page and slot order), by
// the row's pointer: index entries name rows by pointer, the written copy by number.
// Per page up to the last holding rows: its first row's number and which of its first 64
// slots hold rows; the rare page with rows in later slots keeps those in a second table.
// 16 bytes a page and one cache miss a lookup, which matters because an index's entries
// come in key order, at random over the rows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "jet/util/Bytes.h"

namespace kelbrook::jet {

class Row_Numbers {
public:
    // The next row; rows come in ascending (page, slot) order. Throws Error otherwise.
    void Add(Row_Pointer row);
    std::uint32_t Count() const { return count_; }
    // The row's number, or nothing when no row was added there.
    std::optional<std::uint32_t> Of(Row_Pointer row) const;

private:
    struct Page_Rows {
        std::uint32_t first : 30 = 0;  // the number of the page's first row (a 2 GB file holds < 2^28)
        std::uint32_t used : 1 = 0;    // the page holds rows
        std::uint32_t more : 1 = 0;    // some in slots 64 and up, kept in more_
        std::uint64_t slots = 0;       // bit s: slot s holds a row
    };
    using Later_Slots = std::array<std::uint64_t, 3>;  // slots 64 to 255
    std::uint32_t count_ = 0;
    std::optional<Row_Pointer> last_;
    std::vector<Page_Rows> pages_;                              // by page number
    std::vector<std::pair<std::uint32_t, Later_Slots>> more_;  // by page, ascending
};

}  // namespace kelbrook::jet
