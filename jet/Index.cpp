#include "jet/Index.h"

#include <algorithm>
#include <set>

namespace kelbrook::jet {

Index_Page Read_Index_Page(const Page_File& file, std::uint32_t page) {
    Page_Ref p = file.Read(page);
    const Page& b = *p;
    Index_Page out;
    out.type = b[0];
    if (out.type != format::Page_Type_Index_Leaf && out.type != format::Page_Type_Index_Node)
        file.Fail(page, "expected an index page, found page type " + std::to_string(out.type));
    out.tdef_page = Get_U32(b, format::Index_Tdef_Page);
    out.prev = Get_U32(b, format::Index_Prev_Page);
    out.next = Get_U32(b, format::Index_Next_Page);
    out.tail = Get_U32(b, format::Index_Tail_Page);
    std::size_t prefix = Get_U16(b, format::Index_Prefix_Length);
    std::size_t start = format::Index_Entries;
    const std::size_t min_entry = format::Index_Row_Pointer_Size +
                                  (out.type == format::Page_Type_Index_Node ? format::Index_Child_Pointer_Size : 0);
    for (std::size_t bit = 0; bit < format::Index_Entry_Mask_Size * 8; ++bit) {
        if (!(b[format::Index_Entry_Mask + bit / 8] & (1u << (bit % 8)))) continue;
        std::size_t end = format::Index_Entries + bit;
        if (end > format::Page_Size) file.Fail(page, "an index entry ends past the end of the page");
        if (end <= start) file.Fail(page, "an index entry has no bytes");
        std::vector<std::uint8_t> entry;
        if (!out.entries.empty()) {
            const auto& first = out.entries.front();
            if (prefix > first.size())
                file.Fail(page, "the shared prefix (" + std::to_string(prefix) + " bytes) is longer than the first entry");
            entry.assign(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(prefix));
        }
        entry.insert(entry.end(), b.begin() + static_cast<std::ptrdiff_t>(start), b.begin() + static_cast<std::ptrdiff_t>(end));
        if (entry.size() < min_entry) file.Fail(page, "an index entry is too short for its row pointer");
        out.entries.push_back(std::move(entry));
        start = end;
    }
    return out;
}

int Compare_Entries(const Index_Entry& a, const Index_Entry& b) {
    auto c = std::lexicographical_compare_three_way(a.key.begin(), a.key.end(), b.key.begin(), b.key.end());
    if (c != 0) return c < 0 ? -1 : 1;
    if (a.row.page != b.row.page) return a.row.page < b.row.page ? -1 : 1;
    if (a.row.row != b.row.row) return a.row.row < b.row.row ? -1 : 1;
    return 0;
}

namespace {

struct Walker {
    const Page_File& file;
    const Table_Definition& table;
    const std::function<void(const Index_Entry&)>& visit;
    std::vector<std::uint32_t>* pages;
    std::set<std::uint32_t> seen;

    void Walk(std::uint32_t page, int depth) {
        constexpr int max_depth = 32;
        if (depth > max_depth) file.Fail(page, "the index tree is deeper than " + std::to_string(max_depth) + " levels");
        if (!seen.insert(page).second) file.Fail(page, "the index tree reaches this page twice (a loop)");
        if (pages) pages->push_back(page);
        Index_Page p = Read_Index_Page(file, page);
        if (p.tdef_page != table.page)
            file.Fail(page, "index page belongs to table definition " + std::to_string(p.tdef_page) + ", not " +
                                std::to_string(table.page));
        if (p.type == format::Page_Type_Index_Leaf) {
            for (const auto& e : p.entries) {
                Index_Entry out;
                std::size_t n = e.size() - format::Index_Row_Pointer_Size;
                out.key.assign(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(n));
                out.row = Row_Pointer{Get_U24_Big(e, n), e[n + 3]};
                visit(out);
            }
            return;
        }
        for (const auto& e : p.entries) Walk(Get_U32_Big(e, e.size() - format::Index_Child_Pointer_Size), depth + 1);
        if (p.tail != 0) Walk(p.tail, depth + 1);
    }
};

}  // namespace

void Walk_Index(const Page_File& file, const Table_Definition& table, const Real_Index& index,
                const std::function<void(const Index_Entry&)>& visit, std::vector<std::uint32_t>* pages) {
    Walker w{file, table, visit, pages, {}};
    if (index.root == 0) return;
    w.Walk(index.root, 0);
}

}  // namespace kelbrook::jet
