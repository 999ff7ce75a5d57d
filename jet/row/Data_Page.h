// Data pages (type 0x01): the row-offset table and row bounds. Rows grow down from the
// end of the page; row k spans from its offset to the offset of row k-1 (row 0 ends at
// the page end). Slots flagged deleted keep their bytes; slots flagged overflow hold a
// row pointer to where the row now lives. Also usage maps, which are rows on data pages:
// inline (start page + bitmap) or by reference (pointers to 0x05 bitmap pages).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "jet/util/Bytes.h"
#include "jet/file/Page_File.h"

namespace kelbrook::jet {

struct Row_Slot {
    std::uint16_t start = 0;
    std::uint16_t end = 0;
    bool deleted = false;
    bool overflow = false;
};

// Whether a page carries the signature of a long-value page.
bool Is_Lval_Page(const Page& page);

// Number of row slots on a data page, checked against the page size.
std::uint16_t Row_Count(const Page_File& file, std::uint32_t page_number, const Page& page);

// The bounds of row `row`; throws Error naming the page when they are impossible.
Row_Slot Get_Row_Slot(const Page_File& file, std::uint32_t page_number, const Page& page, unsigned row);

// The bytes of the row that `where` points at, which must be on a data page.
// `what` describes the row for messages ("usage map", "long value").
struct Row_Data {
    Page_Ref page;  // keeps the bytes alive
    Row_Slot slot;
    std::span<const std::uint8_t> bytes() const {
        return std::span<const std::uint8_t>(*page).subspan(slot.start, slot.end - slot.start);
    }
};
Row_Data Read_Row(const Page_File& file, Row_Pointer where, const std::string& what);

struct Usage_Map {
    bool present = false;            // false: the pointer was 0 (no map)
    bool reference = false;          // a reference map (0x05 pages)
    std::vector<std::uint32_t> bitmap_pages;  // the 0x05 pages of a reference map
    std::uint32_t page_count = 0;    // pages of the file
    std::vector<std::uint64_t> in_file;  // bit p of word p / 64: page p of the file is set
    std::uint64_t beyond_end = 0;    // set bits for pages past the end of the file
    std::uint64_t covered_start = 0; // pages [covered_start, covered_end) are described
    std::uint64_t covered_end = 0;

    bool Has(std::uint32_t page) const { return page < page_count && (in_file[page / 64] >> (page % 64) & 1) != 0; }
    bool Covers(std::uint64_t page) const { return page >= covered_start && page < covered_end; }
    std::vector<std::uint32_t> Pages() const;  // set bits inside the file, ascending
};

// Reads the usage map stored in the row at `where`; a zero pointer gives an empty map.
Usage_Map Read_Usage_Map(const Page_File& file, Row_Pointer where, const std::string& what);

}  // namespace kelbrook::jet
