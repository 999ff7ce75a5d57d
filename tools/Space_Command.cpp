// jetdb space: how close a database file is to the smallest page count that holds its
// live rows, long values and index entries (see jet/Space.h). The last three lines are
// meant for scripts: "pages: N", "smallest pages: M", "ratio: R".
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "jet/Database.h"
#include "jet/Space.h"
#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

const std::string space_usage = "[--tables] [--password PW] FILE";

std::string Category_Line(const std::string& name, const jet::Space_Category& c) {
    return name + ": " + std::to_string(c.bytes) + " bytes, smallest " + std::to_string(c.smallest_pages) +
           " pages, in the file " + std::to_string(c.file_pages) + " pages";
}

std::string Pages(const jet::Space_Category& c) {
    return std::to_string(c.file_pages) + "/" + std::to_string(c.smallest_pages);
}

const Command_Registration space_command("space", space_usage, [](const std::vector<std::string>& args) {
    const std::string usage = "jetdb space " + space_usage;
    std::string password, file;
    bool tables = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--password") {
            if (i + 1 >= args.size()) throw std::runtime_error("--password needs a value; usage: " + usage);
            password = args[++i];
        } else if (args[i] == "--tables") {
            tables = true;
        } else if (args[i].size() > 2 && args[i].starts_with("--")) {
            throw std::runtime_error("unknown option " + args[i] + "; usage: " + usage);
        } else if (file.empty()) {
            file = args[i];
        } else {
            throw std::runtime_error("usage: " + usage);
        }
    }
    if (file.empty()) throw std::runtime_error("usage: " + usage);

    jet::Database db(file, password);
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
});

}  // namespace
}  // namespace kelbrook::tools
