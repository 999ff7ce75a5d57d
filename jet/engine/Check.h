// Consistency check of a whole database, for users ("jetdb check") and for the compactor
// (on its own output). It reads everything reachable from the catalogue and reports, one
// line per problem, naming the file, page and object:
//  - page references out of range or to a page of the wrong type, damaged rows, long
//    values, table definitions and index pages (whatever the reader refuses);
//  - usage maps that disagree with the pages their table, index or memo/OLE column owns;
//  - pages in use that the global page map (page 1, row 0; a set bit = free) marks free;
//  - indexes out of byte order, entries pointing at anything but a live row, live rows
//    missing from an index or listed twice (ignore-nulls indexes may leave out rows
//    whose index columns are all null), entries whose key is not the one built from
//    their row's values (jet/index/Key_Encoding.h; indexes whose keys cannot be built
//    here, such as text in another sort order than General, are noted, not failed);
//  - a user table whose recorded row count is not its number of live rows, and an
//    autonumber counter below the largest value of its column.
// Access leaves orphan pages marked in use and stale row counts of its own system tables
// behind, so those are reported only under strict_global_map, which our own writer's
// output must pass.
//
// Memory: 4 bytes per row of the largest table, plus 8 per row and index while its
// indexes are checked; keys are compared by a 32-bit hash, not kept. An index checked
// against a digest costs 16 bytes per data page of its table instead.
#pragma once

#include <filesystem>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "jet/engine/Database.h"

namespace kelbrook::jet {

struct Check_Options {
    // Also require: the global map marks exactly the reachable pages in use and covers
    // the whole file; every table's row count is exact, system tables' too; no data page
    // of a table is left out of its map.
    bool strict_global_map = false;
    // Decode every value (text, numbers, dates) to catch values no reader can show. The
    // compactor, which compares its output byte for byte with the source, leaves it off.
    bool decode_values = true;
    // For a table's real index (by its number in the definition), the digest of the
    // entries it must hold: the sum of Index_Entry_Digest (Key_Encoding.h) over them, rows
    // numbered in the table's row order. Where given, the index is checked against it
    // instead of against keys built from the rows' values: the caller vouches that those
    // entries are the ones the rows' values give (the compactor, which verified them on
    // the source and compares every row of its output with the source's).
    std::function<std::optional<std::uint64_t>(const Table_Definition&, std::size_t index)> expected_entries;
    // A second handle of the same file. With it, the indexes checked against a digest are
    // walked on a second thread while this one reads the rows, in tables of at least
    // `rows_beside` rows by their definitions.
    const Database* beside = nullptr;
    std::uint32_t rows_beside = 32768;
    // Called with every live row the check reads (each once, with its long values).
    // It may take the row's bytes and its long values' (Live_Row_Visitor), nothing else.
    std::function<void(const Table_Definition&, Live_Row&)> on_row;
    // How the rows read give their long values (Table_Rows): In_Place for an on_row that
    // takes them as pieces of the pages, uncopied.
    Long_Values long_values = Long_Values::Copied;
    // Called now and then with the share of the work done, 0 to 1 (by rows read).
    std::function<void(double done)> progress;
    // Called with what the check could not verify and is no problem (at most once: the
    // index keys this engine cannot build, with the first reason).
    std::function<void(const std::string& note)> note;
};

// Problem lines; empty when the database is sound. A database that cannot be opened at
// all gives one line. A wrong password still throws Password_Error.
std::vector<std::string> Check(const std::filesystem::path& path, const std::string& password = {},
                               const Check_Options& options = {});
std::vector<std::string> Check(const Database& database, const Check_Options& options = {});

}  // namespace kelbrook::jet
