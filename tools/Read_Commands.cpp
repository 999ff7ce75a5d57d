// jetdb's reading commands: info, tables, count, json and check. Each takes
// --password PW (the database password, when the file has one).
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "jet/Check.h"
#include "jet/Database.h"
#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

struct Parsed_Args {
    std::string password;
    bool system = false;
    bool strict = false;
    std::vector<std::string> positional;
};

Parsed_Args Parse(const std::vector<std::string>& args, const std::string& usage, std::size_t positional,
                  bool allow_system = false, bool allow_strict = false) {
    Parsed_Args p;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--password") {
            if (i + 1 >= args.size()) throw std::runtime_error("--password needs a value; usage: " + usage);
            p.password = args[++i];
        } else if (allow_system && args[i] == "--system") {
            p.system = true;
        } else if (allow_strict && args[i] == "--strict") {
            p.strict = true;
        } else if (args[i].size() > 2 && args[i].starts_with("--")) {
            throw std::runtime_error("unknown option " + args[i] + "; usage: " + usage);
        } else {
            p.positional.push_back(args[i]);
        }
    }
    if (p.positional.size() != positional) throw std::runtime_error("usage: " + usage);
    return p;
}

std::string Json_Name(const std::string& s) {
    jet::Value v;
    v.kind = jet::Value::Kind::Text;
    v.text = s;
    return jet::Value_To_Json(v);
}

const std::string info_usage = "[--password PW] FILE";
const std::string tables_usage = "[--system] [--password PW] FILE";
const std::string count_usage = "[--password PW] FILE TABLE";
const std::string json_usage = "[--password PW] FILE TABLE";
const std::string check_usage = "[--strict] [--password PW] FILE";

const Command_Registration info_command("info", info_usage, [](const std::vector<std::string>& args) {
    auto p = Parse(args, "jetdb info " + info_usage, 1);
    jet::Database db(p.positional[0], p.password);
    const auto& h = db.Header();
    std::cout << "format: Jet 4.0\n"
              << "pages: " << db.File().Page_Count() << "\n"
              << "code page: " << h.code_page << "\n"
              << "sort order: " << h.sort_order << " (version " << static_cast<int>(h.sort_order_version) << ")\n"
              << "encoded: " << (h.database_key != 0 ? "yes" : "no") << "\n"
              << "password: " << (h.password.empty() ? "no" : "yes") << "\n"
              << "created: " << jet::Format_Date(h.creation_date) << "\n"
              << "tables: " << db.Tables(false).size() << " (" << db.Tables(true).size() << " with system tables)\n";
    return 0;
});

const Command_Registration tables_command("tables", tables_usage, [](const std::vector<std::string>& args) {
    auto p = Parse(args, "jetdb tables " + tables_usage, 1, true);
    jet::Database db(p.positional[0], p.password);
    for (const auto& t : db.Tables(p.system)) std::cout << t.name << "\n";
    return 0;
});

const Command_Registration count_command("count", count_usage, [](const std::vector<std::string>& args) {
    auto p = Parse(args, "jetdb count " + count_usage, 2);
    jet::Database db(p.positional[0], p.password);
    const auto& table = db.Definition(db.Find_Table(p.positional[1]));
    std::uint64_t count = 0;
    db.Rows(table, [&count](const jet::Live_Row&) { ++count; });
    std::cout << count << "\n";
    return 0;
});

const Command_Registration json_command("json", json_usage, [](const std::vector<std::string>& args) {
    auto p = Parse(args, "jetdb json " + json_usage, 2);
    jet::Database db(p.positional[0], p.password);
    const auto& table = db.Definition(db.Find_Table(p.positional[1]));
    std::vector<std::string> names;
    for (const auto& c : table.columns) names.push_back(Json_Name(c.name));
    std::string line;
    db.Rows(table, [&](const jet::Live_Row& row) {
        auto values = db.Decode(table, row);
        line.clear();
        line += '{';
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i) line += ',';
            line += names[i];
            line += ':';
            jet::Append_Json(line, values[i]);
        }
        line += "}\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
    });
    std::fflush(stdout);
    if (std::ferror(stdout)) throw std::runtime_error("cannot write the output");
    return 0;
});

const Command_Registration check_command("check", check_usage, [](const std::vector<std::string>& args) {
    auto p = Parse(args, "jetdb check " + check_usage, 1, false, true);
    jet::Check_Options options;
    options.strict_global_map = p.strict;
    auto problems = jet::Check(p.positional[0], p.password, options);
    for (const auto& line : problems) std::cout << line << "\n";
    return problems.empty() ? 0 : 1;
});

}  // namespace
}  // namespace kelbrook::tools
