#include "jet/row/Salvage_Rows.h"

#include <algorithm>
#include <set>

#include "jet/file/Format.h"
#include "jet/row/Data_Page.h"
#include "jet/util/Error.h"

namespace kelbrook::jet {

namespace f = format;

namespace {

using Lost = std::function<void(const Row_Loss&)>;

// Damage is passed over; a failure of the host (a read refused) is not.
void Unless_Damage(const Error& e) {
    if (e.kind() != Error_Kind::Corrupt) throw;
}

// The table's data pages from its map; when the map cannot be read, every data page that
// names the table as its owner.
std::vector<std::uint32_t> Pages_Of(const Page_File& file, const Table_Definition& table, const Lost& lost) {
    try {
        return Table_Data_Pages(file, table);
    } catch (const Error& e) {
        Unless_Damage(e);
        lost(Row_Loss{Row_Pointer{table.page, 0}, true,
                      std::string("the table's page map cannot be read (") + e.what() +
                          "); its data pages were found by their owner instead",
                      false});
    }
    std::vector<std::uint32_t> pages;
    for (std::uint32_t p = 1; p < file.Page_Count(); ++p) {
        try {
            if (file.Data_Page_Table(p) == table.page) pages.push_back(p);
        } catch (const Error& e) {
            Unless_Damage(e);
        }
    }
    return pages;
}

// A page the table's map lists that is not one of its data pages: another table's page
// or a free one (a map left stale), or one that names the table but is no data page
// (its type damaged).
bool Damaged_Type(const Page& page, const Table_Definition& table) {
    return page[0] != f::Page_Type_Data && Get_U32(page, f::Data_Tdef_Page) == table.page;
}

// The bounds of row `r` where its neighbour's offset (which ends it) is damaged: a row
// ends where the row stored just above it starts, or at the page's end. Throws Error when
// its own offset is impossible.
Row_Slot Slot_Despite_Neighbours(const Page_File& file, std::uint32_t page_number, const Page& page, unsigned r,
                                 std::uint16_t count) {
    const std::size_t table_end = f::Data_Row_Table + 2 * static_cast<std::size_t>(count);
    const std::uint16_t raw = Get_U16(page, f::Data_Row_Table + 2 * r);
    Row_Slot slot;
    slot.start = raw & f::Row_Offset_Mask;
    slot.deleted = (raw & f::Row_Flag_Deleted) != 0;
    slot.overflow = (raw & f::Row_Flag_Overflow) != 0;
    if (slot.start < table_end || slot.start >= f::Page_Size)
        file.Fail(page_number, "row " + std::to_string(r) + " starts at offset " + std::to_string(slot.start) +
                                   ", outside the page's rows");
    std::size_t end = f::Page_Size;
    for (unsigned k = 0; k < count; ++k) {
        const std::size_t other = Get_U16(page, f::Data_Row_Table + 2 * k) & f::Row_Offset_Mask;
        if (other > slot.start && other < end) end = other;
    }
    slot.end = static_cast<std::uint16_t>(end);
    return slot;
}

// The bytes of the row at `at` (overflow followed); throws Error when it cannot be read.
Row_Slot Resolve(const Page_File& file, const Table_Definition& table, Row_Pointer header, Row_Slot slot,
                 Page_Ref& holder) {
    constexpr int max_hops = 8;
    for (int hop = 0; slot.overflow; ++hop) {
        if (slot.end - slot.start < 4) file.Fail(header.page, "an overflow row is too short for its pointer");
        const Row_Pointer next = Get_Row_Pointer(*holder, slot.start);
        if (hop >= max_hops) file.Fail(header.page, "the row overflows in a loop");
        holder = file.Read(next.page);
        if ((*holder)[0] != f::Page_Type_Data || Get_U32(*holder, f::Data_Tdef_Page) != table.page)
            file.Fail(header.page, "the row overflows to page " + std::to_string(next.page) +
                                       ", which is not a data page of its table");
        slot = Get_Row_Slot(file, next.page, *holder, next.row);
    }
    return slot;
}

// Reads a long value into lv.value as far as it goes; the reason it stops short, if it does.
std::string Read_Value(const Page_File& file, std::span<const std::uint8_t> field, Long_Value_Field& lv,
                       Long_Value_Claims* claims, Row_Pointer owner) {
    if (field.size() < f::Long_Value_Definition_Size) return "its definition is cut short";
    const std::uint32_t length = lv.length;
    if (lv.storage == f::Long_Value_Inline) {
        const std::size_t have = field.size() - f::Long_Value_Definition_Size;
        lv.value.assign(field.begin() + f::Long_Value_Definition_Size,
                        field.begin() + static_cast<std::ptrdiff_t>(f::Long_Value_Definition_Size + std::min<std::size_t>(have, length)));
        return have < length ? "the row holds only " + std::to_string(have) + " of its bytes" : std::string{};
    }
    if (lv.storage != f::Long_Value_Single_Row && lv.storage != f::Long_Value_Chain) return "its storage type is unknown";
    std::set<Row_Pointer> seen;
    Row_Pointer at = Get_Row_Pointer(field, f::Long_Value_Pointer);
    const bool chain = lv.storage == f::Long_Value_Chain;
    while (lv.value.size() < length) {
        if (at.page == 0 || at.page >= file.Page_Count()) return "its chain ends";
        if (!seen.insert(at).second) return "its chain loops";
        if (claims && !claims->Claim(at, owner, lv.column_number)) return "its chain runs into another value";
        try {
            const Page_Ref page = file.Read(at.page);
            if ((*page)[0] != f::Page_Type_Data) return "its chain reaches a page that is not a data page";
            const Row_Slot slot = Get_Row_Slot(file, at.page, *page, at.row);
            const auto b = std::span<const std::uint8_t>(*page).subspan(slot.start, slot.end - slot.start);
            const std::size_t skip = chain ? f::Long_Value_Chain_Link : 0;
            if (b.size() < skip) return "a row of its chain is too short";
            const std::size_t take = std::min(b.size() - skip, length - lv.value.size());
            lv.value.insert(lv.value.end(), b.begin() + static_cast<std::ptrdiff_t>(skip),
                            b.begin() + static_cast<std::ptrdiff_t>(skip + take));
            lv.pages.push_back(at.page);
            if (!chain) return lv.value.size() < length ? "its row is too short" : std::string{};
            at = Get_Row_Pointer(b, 0);
        } catch (const Error& e) {
            Unless_Damage(e);
            return "a row of its chain cannot be read";
        }
    }
    return {};
}

// One readable row's long values; a value that stops short is kept as far as it goes
// and no longer counts as stored in the row.
void Read_Values(const Page_File& file, const Table_Definition& table, const std::vector<Field>& fields,
                 bool long_values, Long_Value_Claims* claims, Live_Row& row, const Lost& lost) {
    row.long_values.clear();
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        const Column& c = table.columns[i];
        if (!c.Is_Long_Value() || fields[i].null) continue;
        Long_Value_Field& lv = row.long_values.emplace_back();
        lv.column_number = c.number;
        lv.definition_offset = static_cast<std::uint16_t>(fields[i].offset);
        const auto field = std::span<const std::uint8_t>(row.bytes).subspan(fields[i].offset, fields[i].length);
        lv.storage = field.size() >= 4 ? static_cast<std::uint8_t>(field[3] & 0xC0) : f::Long_Value_Chain;
        lv.length = field.size() >= 4 ? Get_U32(field, f::Long_Value_Length) & f::Long_Value_Length_Mask : 0;
        if (!long_values && lv.storage != f::Long_Value_Inline) continue;
        const std::string why = Read_Value(file, field, lv, claims, row.header);
        if (why.empty()) continue;
        lost(Row_Loss{row.header, true,
                      "the value of column \"" + c.name + "\" is damaged (" + why + "); " +
                          std::to_string(lv.value.size()) + " of its " + std::to_string(lv.length) +
                          " bytes were kept"});
        lv.storage = f::Long_Value_Single_Row;  // kept out of the row from now on
        lv.length = static_cast<std::uint32_t>(lv.value.size());
        if (!long_values) lv.value.clear();
    }
}

}  // namespace

std::uint32_t Mistyped_Data_Page(const Page_File& file, const Table_Definition& table) {
    for (std::uint32_t page_number : Table_Data_Pages(file, table)) {
        if (file.Data_Page_Table(page_number) == table.page) continue;
        if (Damaged_Type(*file.Read(page_number), table)) return page_number;
    }
    return 0;
}

void Salvage_Rows(const Page_File& file, const Table_Definition& table,
                  const Live_Row_Visitor& visit, bool long_values, Long_Value_Claims* claims,
                  const Lost& lost) {
    Live_Row row;
    for (std::uint32_t page_number : Pages_Of(file, table, lost)) {
        Page_Ref page;
        std::uint16_t count = 0;
        try {
            if (file.Data_Page_Table(page_number) != table.page) {
                page = file.Read(page_number);
                if (Damaged_Type(*page, table))
                    lost(Row_Loss{Row_Pointer{page_number, 0}, false,
                                  "the table's page map lists this page, which names the table but is of type " +
                                      std::to_string((*page)[0]) + ", not a data page; the rows it held are lost"});
                continue;
            }
            page = file.Read(page_number);
            count = Row_Count(file, page_number, *page);
        } catch (const Error& e) {
            Unless_Damage(e);
            lost(Row_Loss{Row_Pointer{page_number, 0}, false,
                          std::string("the page cannot be read (") + e.what() + "); its rows are lost"});
            continue;
        }
        for (unsigned r = 0; r < count; ++r) {
            row.header = Row_Pointer{page_number, static_cast<std::uint8_t>(r)};
            std::vector<Field> fields;
            try {
                Row_Slot slot;
                try {
                    slot = Get_Row_Slot(file, page_number, *page, r);
                } catch (const Error& e) {
                    Unless_Damage(e);
                    slot = Slot_Despite_Neighbours(file, page_number, *page, r, count);
                }
                if (slot.deleted) continue;
                Page_Ref holder = page;
                slot = Resolve(file, table, row.header, slot, holder);
                row.bytes.assign(holder->begin() + slot.start, holder->begin() + slot.end);
                fields = Split_Row(table, row.bytes, file.Name() + ": page " + std::to_string(page_number));
            } catch (const Error& e) {
                Unless_Damage(e);
                lost(Row_Loss{row.header, false, std::string("the row cannot be read (") + e.what() + "); it is lost"});
                continue;
            }
            Read_Values(file, table, fields, long_values, claims, row, lost);
            visit(row);
        }
    }
}

}  // namespace kelbrook::jet
