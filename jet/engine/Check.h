// Consistency check of a whole database, for users ("jetdb check") and for the compactor
// (on its own output). It reads everything reachable from the catalogue and reports, one
// line per problem, naming the file, page and object:
//  - page references out of range or to a page of the wrong type, damaged rows, long
//    values, table definitions and index pages (whatever the reader refuses);
//  - usage maps that disagree with the pages their table, index or memo/OLE column owns;
//  - pages in use that the global page map (page 1, row 0; a set bit = free) marks free;
//  - indexes out of byte order, entries pointing at anything but a live row, live rows
//    missing from an index or listed twice (ignore-nulls indexes may leave out rows
//    whose index columns are all null).
// Access leaves orphan pages marked in use and stale row counts behind, so those are
// reported only under strict_global_map, which our own writer's output must pass.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "jet/engine/Database.h"

namespace kelbrook::jet {

struct Check_Options {
    // Also require: the global map marks exactly the reachable pages in use and covers
    // the whole file; every table's row count is exact; no data page of a table is left
    // out of its map.
    bool strict_global_map = false;
    // Decode every value (text, numbers, dates) to catch values no reader can show. The
    // compactor, which compares its output byte for byte with the source, leaves it off.
    bool decode_values = true;
    // Called with every live row the check reads (each once, with its long values).
    std::function<void(const Table_Definition&, const Live_Row&)> on_row;
    // Called now and then with the share of the work done, 0 to 1 (by rows read).
    std::function<void(double done)> progress;
};

// Problem lines; empty when the database is sound. A database that cannot be opened at
// all gives one line. A wrong password still throws Password_Error.
std::vector<std::string> Check(const std::filesystem::path& path, const std::string& password = {},
                               const Check_Options& options = {});
std::vector<std::string> Check(const Database& database, const Check_Options& options = {});

}  // namespace kelbrook::jet
