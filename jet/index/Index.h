// Index pages (0x04 leaf, 0x03 node) and walking a real index. Entries sit from 0x1E0;
// a bitmap at 0x1B marks where each one ends; every entry after the first omits the
// page's shared prefix, taken from the first entry. A leaf entry is key bytes + 3-byte
// big-endian page + 1-byte row; a node entry adds the 4-byte big-endian child page, and
// a node's last child is named by its tail pointer instead of an entry. Walk_Index
// descends from the root and hands out the leaf entries in tree order, catching loops,
// excessive depth and entries that run past their page.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "jet/util/Bytes.h"
#include "jet/file/Page_File.h"
#include "jet/table/Table_Definition.h"

namespace kelbrook::jet {

struct Index_Entry {
    std::vector<std::uint8_t> key;  // encoded key bytes, without the row pointer
    Row_Pointer row;
    // False when the entry does not come after the one before it in the walk (see
    // Compare_Entries); set only by walks asked to compare.
    bool ordered = true;
};

// One parsed index page: its entries with the prefix restored.
struct Index_Page {
    std::uint8_t type = 0;
    std::uint32_t tdef_page = 0;
    std::uint32_t prev = 0, next = 0, tail = 0;
    std::vector<std::vector<std::uint8_t>> entries;  // full entry bytes
};
Index_Page Read_Index_Page(const Page_File& file, std::uint32_t page);

// Compares entries the way Jet orders them: key bytes (unsigned, shorter prefix first),
// then page, then row.
int Compare_Entries(const Index_Entry& a, const Index_Entry& b);

// Walks `index` of `table`. `pages`, when given, receives every page of the tree. With
// `compare`, each entry's `ordered` says whether it comes after the one before it; the
// entries of a leaf page are compared past the prefix they share.
void Walk_Index(const Page_File& file, const Table_Definition& table, const Real_Index& index,
                const std::function<void(const Index_Entry&)>& visit, std::vector<std::uint32_t>* pages = nullptr,
                bool compare = false);

}  // namespace kelbrook::jet
