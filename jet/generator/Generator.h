// Makes Jet 4.0 databases from nothing: page 0, Jet's four system tables with their
// catalogue (containers, MSysDb, permissions, relationships) and user tables filled with
// generated rows, written through Write_Database. A history pass then makes the file
// look like one in use for years: rows deleted here and there (slots flagged deleted,
// their bytes kept), rows that outgrew their page and moved (overflow rows), and a
// dropped table whose pages are left behind as free pages with stale contents.
//
// Profiles:
//   every-type          tables with every common column type, nulls, a primary key, a
//                       unique, a text and a multi-column index, and a foreign key
//   instrument-data     a measuring instrument's data database (operators, samples,
//                       results with timestamps and units, an audit trail); protected by
//                       the password "wexo4m" unless another is given
//   instrument-history  the instrument's history database (methods, runs, run events,
//                       calibrations)
// The same options always give the same bytes: values come from a seeded generator of
// our own and every date is fixed. Rows are never all held: they are made once to plan
// the file and made again whenever the writer reads them (Building.h), and the history
// pass edits the written file page by page (History.h), so memory grows only with the
// index entries, the writer's layout and a few bits a row.
//
// The parts: Values.h (random values, words), Profiles.h (the tables of each profile),
// System_Tables.h (page 0 and Jet's own tables), Building.h, Page_Editor.h, History.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "jet/file/File_Io.h"
#include "jet/row/Row_Builder.h"

namespace kelbrook::jet {

struct Generate_Options {
    std::string profile = "every-type";
    std::uint64_t rows = 0;        // live rows of the profile's main table; 0: default or size
    double size_mb = 0;            // wanted file size in MiB (within 10%); 0: by rows
    double deleted_fraction = 0.15;  // share of the written rows that end up deleted
    std::optional<std::string> password;  // none given: the profile's default
    bool encrypt = false;          // encode every page with a database key
    std::uint64_t seed = 1;
    std::function<void(double)> progress;
    const File_System* files = nullptr;  // where the file is written; null: the host's
};

struct Generated_Table {
    std::string name;
    std::uint64_t live_rows = 0;      // rows a reader sees
    std::uint64_t deleted_rows = 0;   // slots flagged deleted
    std::uint64_t overflow_rows = 0;  // live rows stored through an overflow pointer
    std::uint64_t live_bytes = 0;     // bytes of the live rows and their memo/OLE values
    std::vector<std::vector<Field_Value>> first_rows;  // the first few live rows, as generated
    std::vector<std::string> column_names;
};

struct Generate_Result {
    std::uint32_t pages = 0;
    std::uint64_t bytes = 0;
    std::uint32_t freed_pages = 0;  // pages of the dropped table, now free
    std::uint64_t live_bytes = 0;   // the tables' live_bytes together
    std::string password;           // the password the file carries (empty: none)
    std::uint32_t database_key = 0;
    std::vector<Generated_Table> tables;  // the user tables a reader sees
};

// The profile names Generate_Database accepts.
std::vector<std::string> Generator_Profiles();

// Writes a new database to `path`, which must not exist. Throws Error on bad options or
// when writing fails (no file is left behind then).
Generate_Result Generate_Database(const Generate_Options& options, const std::filesystem::path& path);

}  // namespace kelbrook::jet
