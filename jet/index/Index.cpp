#include "jet/index/Index.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <set>

namespace kelbrook::jet {

namespace {

// An index page's entries, prefixes restored, kept end to end in one reused buffer.
struct Flat_Index_Page {
    std::uint8_t type = 0;
    std::uint32_t tdef_page = 0;
    std::uint32_t prev = 0, next = 0, tail = 0;
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> ends;
    std::size_t prefix = 0;  // the bytes every entry after the first shares with the first
    std::size_t Count() const { return ends.size(); }
    std::span<const std::uint8_t> Entry(std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends[i - 1];
        return std::span<const std::uint8_t>(bytes).subspan(begin, ends[i] - begin);
    }
};

void Parse_Index_Page(const Page_File& file, std::uint32_t page, Flat_Index_Page& out) {
    Page_Ref p = file.Read(page);
    const Page& b = *p;
    out.bytes.clear();
    out.ends.clear();
    out.type = b[format::Page_Type];
    if (out.type != format::Page_Type_Index_Leaf && out.type != format::Page_Type_Index_Node)
        file.Fail(page, "expected an index page, found page type " + std::to_string(out.type));
    out.tdef_page = Get_U32(b, format::Index_Tdef_Page);
    out.prev = Get_U32(b, format::Index_Prev_Page);
    out.next = Get_U32(b, format::Index_Next_Page);
    out.tail = Get_U32(b, format::Index_Tail_Page);
    const std::size_t prefix = Get_U16(b, format::Index_Prefix_Length);
    out.prefix = prefix;
    std::size_t start = format::Index_Entries;
    const std::size_t min_entry = format::Index_Row_Pointer_Size +
                                  (out.type == format::Page_Type_Index_Node ? format::Index_Child_Pointer_Size : 0);
    // The mask's set bits, lowest first, eight bytes at a time (most of a page's bits are clear).
    for (std::size_t chunk = 0; chunk < format::Index_Entry_Mask_Size; chunk += 8) {
        const std::size_t chunk_bytes = std::min<std::size_t>(8, format::Index_Entry_Mask_Size - chunk);
        std::uint64_t bits = 0;
        if (chunk_bytes == 8) {
            bits = Get_U64(b, format::Index_Entry_Mask + chunk);
        } else {
            for (std::size_t k = 0; k < chunk_bytes; ++k)
                bits |= std::uint64_t{b[format::Index_Entry_Mask + chunk + k]} << (8 * k);
        }
        for (; bits != 0; bits &= bits - 1) {
            const std::size_t bit = 8 * chunk + static_cast<std::size_t>(std::countr_zero(bits));
            std::size_t end = format::Index_Entries + bit;
            if (end > format::Page_Size) file.Fail(page, "an index entry ends past the end of the page");
            if (end <= start) file.Fail(page, "an index entry has no bytes");
            const std::size_t begin = out.bytes.size();
            std::size_t shared = 0;
            if (!out.ends.empty()) {
                if (prefix > out.ends.front())
                    file.Fail(page, "the shared prefix (" + std::to_string(prefix) +
                                        " bytes) is longer than the first entry");
                shared = prefix;
            }
            // The first entry's leading bytes, then this entry's own.
            out.bytes.resize(begin + shared + (end - start));
            std::copy_n(out.bytes.begin(), shared, out.bytes.begin() + static_cast<std::ptrdiff_t>(begin));
            std::copy(b.begin() + static_cast<std::ptrdiff_t>(start), b.begin() + static_cast<std::ptrdiff_t>(end),
                      out.bytes.begin() + static_cast<std::ptrdiff_t>(begin + shared));
            if (out.bytes.size() - begin < min_entry) file.Fail(page, "an index entry is too short for its row pointer");
            out.ends.push_back(out.bytes.size());
            start = end;
        }
    }
}

}  // namespace

Index_Page Read_Index_Page(const Page_File& file, std::uint32_t page) {
    Flat_Index_Page flat;
    Parse_Index_Page(file, page, flat);
    Index_Page out;
    out.type = flat.type;
    out.tdef_page = flat.tdef_page;
    out.prev = flat.prev;
    out.next = flat.next;
    out.tail = flat.tail;
    for (std::size_t i = 0; i < flat.Count(); ++i) {
        const auto e = flat.Entry(i);
        out.entries.emplace_back(e.begin(), e.end());
    }
    return out;
}

namespace {

// Key bytes (unsigned, shorter prefix first), then page, then row; the first `from` key
// bytes are known to be equal.
int Compare_Keys_And_Rows(std::span<const std::uint8_t> a, Row_Pointer a_row, std::span<const std::uint8_t> b,
                          Row_Pointer b_row, std::size_t from = 0) {
    const std::size_t common = std::min(a.size(), b.size());
    from = std::min(from, common);
    if (const int c = common > from ? std::memcmp(a.data() + from, b.data() + from, common - from) : 0; c != 0)
        return c < 0 ? -1 : 1;
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    if (a_row.page != b_row.page) return a_row.page < b_row.page ? -1 : 1;
    if (a_row.row != b_row.row) return a_row.row < b_row.row ? -1 : 1;
    return 0;
}

}  // namespace

int Compare_Entries(const Index_Entry& a, const Index_Entry& b) {
    return Compare_Keys_And_Rows(a.key, a.row, b.key, b.row);
}

namespace {

struct Walker {
    static constexpr int max_depth = 32;
    const Page_File& file;
    const Table_Definition& table;
    const std::function<void(const Index_Entry&)>& visit;
    std::vector<std::uint32_t>* pages;
    bool compare = false;
    std::vector<bool> seen;
    std::vector<Flat_Index_Page> levels;  // one per depth, reused
    Index_Entry out;
    Index_Entry last;  // the last entry of the leaves walked so far, when comparing
    bool any = false;  // whether there was one

    // Whether entry `i` of leaf page `p` (its key `key`, its row `row`) comes after the
    // entry before it: the last one of the page, or of the leaf before.
    bool Ordered(const Flat_Index_Page& p, std::size_t i, std::span<const std::uint8_t> key, Row_Pointer row) const {
        if (i == 0) return !any || Compare_Keys_And_Rows(last.key, last.row, key, row) < 0;
        const auto e = p.Entry(i - 1);
        const std::size_t n = e.size() - format::Index_Row_Pointer_Size;
        return Compare_Keys_And_Rows(e.first(n), Row_Pointer{Get_U24_Big(e, n), e[n + 3]}, key, row, p.prefix) < 0;
    }

    void Walk(std::uint32_t page, int depth) {
        if (depth > max_depth) file.Fail(page, "the index tree is deeper than " + std::to_string(max_depth) + " levels");
        if (page < seen.size()) {
            if (seen[page]) file.Fail(page, "the index tree reaches this page twice (a loop)");
            seen[page] = true;
        }
        if (pages) pages->push_back(page);
        Flat_Index_Page& p = levels[static_cast<std::size_t>(depth)];
        Parse_Index_Page(file, page, p);
        if (p.tdef_page != table.page)
            file.Fail(page, "index page belongs to table definition " + std::to_string(p.tdef_page) + ", not " +
                                std::to_string(table.page));
        if (p.type == format::Page_Type_Index_Leaf) {
            for (std::size_t i = 0; i < p.Count(); ++i) {
                const auto e = p.Entry(i);
                const std::size_t n = e.size() - format::Index_Row_Pointer_Size;
                out.key.assign(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(n));
                out.row = Row_Pointer{Get_U24_Big(e, n), e[n + 3]};
                if (compare) out.ordered = Ordered(p, i, e.first(n), out.row);
                visit(out);
            }
            if (compare && p.Count() > 0) {
                last = out;
                any = true;
            }
            return;
        }
        for (std::size_t i = 0; i < p.Count(); ++i) {
            const auto e = p.Entry(i);
            Walk(Get_U32_Big(e, e.size() - format::Index_Child_Pointer_Size), depth + 1);
        }
        if (p.tail != 0) Walk(p.tail, depth + 1);
    }
};

}  // namespace

void Walk_Index(const Page_File& file, const Table_Definition& table, const Real_Index& index,
                const std::function<void(const Index_Entry&)>& visit, std::vector<std::uint32_t>* pages,
                bool compare) {
    Walker w{file, table, visit, pages, compare, {}, {}, {}, {}, false};
    if (index.root == 0) return;
    w.seen.assign(file.Page_Count(), false);
    w.levels.resize(Walker::max_depth + 1);
    w.Walk(index.root, 0);
}

}  // namespace kelbrook::jet
