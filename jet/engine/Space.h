// How much of a database file its content needs. Measure_Space walks every table of an
// open database (system tables included): live rows, their memo/OLE values kept outside
// the row, and the entries of every real index. From their sizes it works out the
// smallest number of pages that could hold them with perfect packing (every page filled
// to the byte), and it counts the pages each kind of content occupies in the file. The
// ratio of the file's pages to that smallest count says how well the file is packed: a
// freshly compacted file should come close to 1, one in long use lies well above it.
//
// The smallest count is a lower bound, not a layout: pages are filled across row
// boundaries, index keys are taken without the prefix sharing an index page allows (so
// a writer that shares prefixes may use fewer index pages than counted), and the
// usage-map bitmap pages of very large files are left out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelbrook::jet {

class Database;

// One kind of content: its bytes as laid out on pages (slots, chain links and row
// pointers included), the fewest pages they fit on and the pages they use in the file.
struct Space_Category {
    std::uint64_t bytes = 0;
    std::uint64_t smallest_pages = 0;
    std::uint64_t file_pages = 0;
};

struct Table_Space {
    std::string name;
    std::uint64_t rows = 0;
    Space_Category row_data;     // live rows
    Space_Category long_values;  // memo/OLE values stored outside their row
    Space_Category indexes;      // real index entries (leaf and node pages)
    std::uint64_t definition_pages = 0;
    std::uint64_t usage_maps = 0;  // map rows the table needs: its own, its indexes', its columns'
};

struct Space_Report {
    std::vector<Table_Space> tables;  // in catalogue order
    Space_Category row_data;
    Space_Category long_values;
    Space_Category indexes;
    // Pages every file has besides its content: page 0, the global map page, the table
    // definitions and the pages hosting the usage maps.
    std::uint64_t fixed_pages = 0;
    std::uint64_t smallest_pages = 0;  // the three categories' smallest pages + fixed_pages
    std::uint64_t pages = 0;           // the file's actual page count

    // pages / smallest_pages (0 for a database with no pages to measure against).
    double Ratio() const;
};

// Walks `db` and measures it. Throws Error when the walk meets a damaged page.
Space_Report Measure_Space(const Database& db);

}  // namespace kelbrook::jet
