// jetdb's reading commands: info, tables, count and check (json and export are in
// Export_Commands.cpp). Each takes --password PW (the database password, when the file
// has one).
#include <iostream>
#include <memory>
#include <stdexcept>

#include "jet/engine/Check.h"
#include "jet/engine/Database.h"
#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

const Command_Registration info_command(
    "info", "[--password PW] FILE", "format, pages, code page, sort order, encoding, password", [](CLI::App& cmd) {
        auto a = Add_Database_Args(cmd, false);
        return Command_Function([a] {
            jet::Database db(a->file, a->password);
            const auto& h = db.Header();
            std::cout << "format: Jet 4.0\n"
                      << "pages: " << db.File().Page_Count() << "\n"
                      << "code page: " << h.code_page << "\n"
                      << "sort order: " << h.sort_order << " (version " << static_cast<int>(h.sort_order_version)
                      << ")\n"
                      << "encoded: " << (h.database_key != 0 ? "yes" : "no") << "\n"
                      << "password: " << (h.password.empty() ? "no" : "yes") << "\n"
                      << "created: " << jet::Format_Date(h.creation_date) << "\n"
                      << "tables: " << db.Tables(false).size() << " (" << db.Tables(true).size()
                      << " with system tables)\n";
            return 0;
        });
    });

const Command_Registration tables_command(
    "tables", "[--system] [--password PW] FILE", "table names, one a line", [](CLI::App& cmd) {
        auto system = std::make_shared<bool>(false);
        cmd.add_flag("--system", *system, "list the system tables (MSys...) too");
        auto a = Add_Database_Args(cmd, false);
        return Command_Function([a, system] {
            jet::Database db(a->file, a->password);
            for (const auto& t : db.Tables(*system)) std::cout << t.name << "\n";
            return 0;
        });
    });

const Command_Registration count_command(
    "count", "[--password PW] FILE TABLE", "the table's live rows", [](CLI::App& cmd) {
        auto a = Add_Database_Args(cmd, true);
        return Command_Function([a] {
            jet::Database db(a->file, a->password);
            const auto& table = db.Definition(db.Find_Table(a->table));
            std::uint64_t count = 0;
            db.Rows(table, [&count](const jet::Live_Row&) { ++count; });
            std::cout << count << "\n";
            return 0;
        });
    });

const Command_Registration check_command(
    "check", "[--strict] [--password PW] FILE",
    "structural verification, index keys, row counts and counters; exit status 1 with one line a problem on stdout",
    [](CLI::App& cmd) {
        auto strict = std::make_shared<bool>(false);
        cmd.add_flag("--strict", *strict,
                     "also require what our own writer guarantees: exact global page map and row counts");
        auto a = Add_Database_Args(cmd, false);
        return Command_Function([a, strict] {
            std::vector<std::string> problems;
            std::vector<std::string> notes;  // what could not be verified: no problem
            {
                Progress progress("checking");
                jet::Check_Options options;
                options.strict_global_map = *strict;
                options.progress = progress.Callback();
                options.note = [&notes](const std::string& note) { notes.push_back(note); };
                problems = jet::Check(a->file, a->password, options);
            }
            for (const auto& line : problems) std::cout << line << "\n";
            for (const auto& note : notes) std::cout << "note: " << note << "\n";
            return problems.empty() ? 0 : 1;
        });
    });

}  // namespace
}  // namespace kelbrook::tools
