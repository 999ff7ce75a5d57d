#include "jet/row/Data_Page.h"

#include <algorithm>
#include <bit>

namespace kelbrook::jet {

bool Is_Lval_Page(const Page& page) {
    return std::equal(format::Lval_Signature.begin(), format::Lval_Signature.end(),
                      page.begin() + format::Data_Tdef_Page);
}

std::uint16_t Row_Count(const Page_File& file, std::uint32_t page_number, const Page& page) {
    std::uint16_t count = Get_U16(page, format::Data_Row_Count);
    if (format::Data_Row_Table + 2 * static_cast<std::size_t>(count) > format::Page_Size)
        file.Fail(page_number, "the row count " + std::to_string(count) + " does not fit on the page");
    return count;
}

Row_Slot Get_Row_Slot(const Page_File& file, std::uint32_t page_number, const Page& page, unsigned row) {
    std::uint16_t count = Row_Count(file, page_number, page);
    if (row >= count)
        file.Fail(page_number, "row " + std::to_string(row) + " does not exist (the page has " +
                                   std::to_string(count) + " rows)");
    std::uint16_t raw = Get_U16(page, format::Data_Row_Table + 2 * row);
    Row_Slot s;
    s.start = raw & format::Row_Offset_Mask;
    s.deleted = (raw & format::Row_Flag_Deleted) != 0;
    s.overflow = (raw & format::Row_Flag_Overflow) != 0;
    s.end = row == 0 ? static_cast<std::uint16_t>(format::Page_Size)
                     : static_cast<std::uint16_t>(Get_U16(page, format::Data_Row_Table + 2 * (row - 1)) &
                                                  format::Row_Offset_Mask);
    // Every reader takes a row's bytes from here: the span must lie between the row table
    // and the end of the page, whatever the offsets say.
    std::size_t table_end = format::Data_Row_Table + 2 * static_cast<std::size_t>(count);
    if (s.start < table_end || s.start > s.end || s.end > format::Page_Size)
        file.Fail(page_number, "row " + std::to_string(row) + " has an impossible position (offset " +
                                   std::to_string(s.start) + ", end " + std::to_string(s.end) + ")");
    return s;
}

Row_Data Read_Row(const Page_File& file, Row_Pointer where, const std::string& what) {
    Page_Ref page = file.Read(where.page);
    if ((*page)[format::Page_Type] != format::Page_Type_Data)
        file.Fail(where.page, what + " points at a page of type " + std::to_string((*page)[0]) +
                                  ", not a data page");
    Row_Data d{page, Get_Row_Slot(file, where.page, *page, where.row)};
    return d;
}

std::vector<std::uint32_t> Usage_Map::Pages() const {
    std::size_t count = 0;
    for (std::uint64_t word : in_file) count += static_cast<std::size_t>(std::popcount(word));
    std::vector<std::uint32_t> out;
    out.reserve(count);
    for (std::size_t w = 0; w < in_file.size(); ++w)
        for (std::uint64_t word = in_file[w]; word != 0; word &= word - 1)
            out.push_back(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(word))));
    return out;
}

namespace {

// Sets the pages whose bits are set in `bitmap`, bit 0 standing for page `base`.
void Set_Bits(Usage_Map& m, std::uint64_t base, std::span<const std::uint8_t> bitmap) {
    for (std::size_t i = 0; i < bitmap.size(); ++i) {
        if (bitmap[i] == 0) continue;  // most bytes of most maps
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (!(bitmap[i] & (1u << bit))) continue;
            const std::uint64_t page = base + 8 * i + bit;
            if (page < m.page_count)
                m.in_file[page / 64] |= std::uint64_t{1} << (page % 64);
            else
                ++m.beyond_end;
        }
    }
}

}  // namespace

Usage_Map Read_Usage_Map(const Page_File& file, Row_Pointer where, const std::string& what) {
    Usage_Map m;
    m.page_count = file.Page_Count();
    m.in_file.assign((std::size_t{m.page_count} + 63) / 64, 0);
    if (where.page == 0 && where.row == 0) return m;
    m.present = true;
    Row_Data row = Read_Row(file, where, what);
    auto b = row.bytes();
    if (b.empty()) file.Fail(where.page, what + " (row " + std::to_string(where.row) + ") is empty");
    if (b[format::Map_Type] == format::Map_Type_Inline) {
        if (b.size() < format::Map_Inline_Bitmap)
            file.Fail(where.page, what + " (row " + std::to_string(where.row) + ") is too short");
        std::uint64_t start = Get_U32(b, format::Map_Inline_Start);
        std::size_t bits = (b.size() - format::Map_Inline_Bitmap) * 8;
        m.covered_start = start;
        m.covered_end = start + bits;
        Set_Bits(m, start, b.subspan(format::Map_Inline_Bitmap));
    } else if (b[format::Map_Type] == format::Map_Type_Reference) {
        m.reference = true;
        std::size_t count = (b.size() - format::Map_Reference_Pointers) / 4;
        m.covered_start = 0;
        m.covered_end = static_cast<std::uint64_t>(count) * format::Bitmap_Page_Bits;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint32_t bitmap_page = Get_U32(b, format::Map_Reference_Pointers + 4 * i);
            // Blocks that start past the end of the file describe no page of it; Access
            // leaves whatever is there.
            if (bitmap_page == 0 || static_cast<std::uint64_t>(i) * format::Bitmap_Page_Bits >= file.Page_Count())
                continue;
            Page_Ref bp = file.Read(bitmap_page);
            if ((*bp)[format::Page_Type] != format::Page_Type_Usage_Bitmap)
                file.Fail(bitmap_page, what + " (on page " + std::to_string(where.page) +
                                           ") names this page as a usage bitmap, but it has type " +
                                           std::to_string((*bp)[0]));
            m.bitmap_pages.push_back(bitmap_page);
            std::uint64_t base = static_cast<std::uint64_t>(i) * format::Bitmap_Page_Bits;
            Set_Bits(m, base, std::span<const std::uint8_t>(*bp).subspan(format::Bitmap_Page_Data));
        }
    } else {
        file.Fail(where.page, what + " (row " + std::to_string(where.row) + ") has unknown map type " +
                                  std::to_string(b[0]));
    }
    return m;
}

}  // namespace kelbrook::jet
