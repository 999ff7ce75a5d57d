// Building a generated database as an image for the writer (Writer.h). The user tables'
// rows are never held: one pass makes every row once to gather what must be known before
// writing (index keys, row counts, which rows end up deleted or moved), and each table's
// Row_Source makes its rows again, identically, from the random state saved at the
// table's start, whenever the writer reads them. Jet's own tables are small and held.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "jet/engine/Writer.h"
#include "jet/generator/Generator.h"

namespace kelbrook::jet::generator {

// What the history pass (History.h) must do to one table of the written file. Rows are
// numbered in the order they are stored: the table's data pages in page order, their
// slots in slot order.
struct Table_History {
    std::string name;
    std::uint32_t tdef_page = 0;
    std::uint64_t live = 0;        // the row count a reader sees
    std::uint32_t stored = 0;      // rows written, deleted ones and moved rows' two places included
    std::vector<bool> deleted;     // per stored row: to be flagged deleted
    std::vector<std::pair<std::uint32_t, std::uint32_t>> moved;  // header row, row of its new version
};

struct Built {
    Database_Image image;
    std::vector<Table_History> history;
    std::vector<std::uint32_t> dropped_tdef_pages;  // tables whose pages are freed
    std::vector<std::uint32_t> tdef_pages;          // every table's, in image order
    std::vector<Generated_Table> tables;            // the user tables a reader sees
};

// The image of a database of the options' profile with `main_rows` live rows in its main
// table; the user tables' index entries beyond `spill`'s budget wait in its file (null:
// all held). Throws Error when the rows cannot fit a Jet 4.0 file.
Built Build(const Generate_Options& options, std::uint64_t main_rows,
            const std::shared_ptr<Spill_Space>& spill = nullptr);

}  // namespace kelbrook::jet::generator
