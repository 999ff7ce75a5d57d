// jetdb space: how close a database file is to the smallest page count that holds its
// live rows, long values and index entries (see jet/engine/Space.h). The last three lines are
// meant for scripts: "pages: N", "smallest pages: M", "ratio: R".
#include <cstdio>
#include <iostream>
#include <memory>

#include "jet/engine/Database.h"
#include "jet/engine/Space.h"
#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

std::string Category_Line(const std::string& name, const jet::Space_Category& c) {
    return name + ": " + std::to_string(c.bytes) + " bytes, smallest " + std::to_string(c.smallest_pages) +
           " pages, in the file " + std::to_string(c.file_pages) + " pages";
}

std::string Pages(const jet::Space_Category& c) {
    return std::to_string(c.file_pages) + "/" + std::to_string(c.smallest_pages);
}

int Space(const Database_Args& a, bool tables) {
    jet::Database db(a.file, a.password);
    const jet::Space_Report r = jet::Measure_Space(db);
    if (tables) {
        // Pages in the file / smallest pages, per kind of content.
        for (const auto& t : r.tables)
            std::cout << "table " << t.name << ": " << t.rows << " rows; row pages " << Pages(t.row_data)
                      << ", long-value pages " << Pages(t.long_values) << ", index pages " << Pages(t.indexes)
                      << "\n";
    }
    std::cout << Category_Line("rows", r.row_data) << "\n"
              << Category_Line("long values", r.long_values) << "\n"
              << Category_Line("index entries", r.indexes) << "\n"
              << "fixed pages: " << r.fixed_pages << " (header, global map, definitions, usage maps)\n"
              << "pages: " << r.pages << "\n"
              << "smallest pages: " << r.smallest_pages << "\n";
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.3f", r.Ratio());
    std::cout << "ratio: " << ratio << "\n";
    return 0;
}

const Command_Registration space_command(
    "space", "[--tables] [--password PW] FILE",
    "pages against the fewest its rows, long values and index entries need", [](CLI::App& cmd) {
        auto tables = std::make_shared<bool>(false);
        cmd.add_flag("--tables", *tables, "one line a table first");
        auto a = Add_Database_Args(cmd, false);
        return Command_Function([a, tables] { return Space(*a, *tables); });
    });

}  // namespace
}  // namespace kelbrook::tools
