// jetdb generate: makes a new Jet 4.0 database of a chosen profile and size, with a
// history of deletions, moved rows and a dropped table, for demos, tests and benchmarks.
#include <iostream>
#include <memory>
#include <optional>

#include "jet/generator/Generator.h"
#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

struct Generate_Args {
    jet::Generate_Options options;
    std::optional<std::uint64_t> rows;
    std::string password;
    CLI::Option* password_option = nullptr;  // given, even empty: replaces the profile's password
    std::string out;
};

void Add_Generate_Options(CLI::App& cmd, Generate_Args& a) {
    cmd.add_option("--profile", a.options.profile, "what the file holds (default every-type)")
        ->check(CLI::IsMember(jet::Generator_Profiles()))
        ->option_text("NAME");
    auto* size = cmd.add_option("--size-mb", a.options.size_mb, "the file's size in MiB, within 10%")
                     ->option_text("N");
    auto* rows = cmd.add_option("--rows", a.rows, "live rows of the profile's main table (default 1000)")
                     ->check(Whole_Number(1))
                     ->option_text("N");
    size->excludes(rows);
    rows->excludes(size);
    cmd.add_option("--deleted-fraction", a.options.deleted_fraction,
                   "share of the written rows left deleted, 0 to 0.95 (default 0.15)")
        ->option_text("F");
    a.password_option = Add_Password_Option(cmd, a.password);
    cmd.add_flag("--encrypt", a.options.encrypt, "encode every page with a database key");
    cmd.add_option("--seed", a.options.seed, "seed of the values (default 1); same options, same bytes")
        ->check(Whole_Number(0))
        ->option_text("N");
    cmd.add_option("OUT", a.out, "the new file (must not exist)")->required();
}

void Report(const std::string& out, const std::string& profile, const jet::Generate_Result& r) {
    std::cout << out << ": " << r.pages << " pages (" << r.bytes << " bytes), profile " << profile;
    if (!r.password.empty()) std::cout << ", password set";
    if (r.database_key != 0) std::cout << ", encoded";
    std::cout << "\n  live data: " << r.live_bytes << " bytes\n";
    for (const auto& t : r.tables)
        std::cout << "  " << t.name << ": " << t.live_rows << " rows, " << t.deleted_rows << " deleted, "
                  << t.overflow_rows << " moved\n";
    if (r.freed_pages != 0) std::cout << "  dropped table left " << r.freed_pages << " free pages\n";
}

const Command_Registration generate_command(
    "generate",
    "[--profile every-type|instrument-data|instrument-history] [--size-mb N | --rows N] "
    "[--deleted-fraction F] [--password PW] [--encrypt] [--seed N] OUT",
    "makes a new database with made-up rows and a history of deletions", [](CLI::App& cmd) {
        auto a = std::make_shared<Generate_Args>();
        Add_Generate_Options(cmd, *a);
        return Command_Function([a] {
            jet::Generate_Options options = a->options;
            if (a->rows) options.rows = *a->rows;
            if (a->password_option->count() > 0) options.password = a->password;
            jet::Generate_Result r;
            {
                Progress progress("generating");
                options.progress = progress.Callback();
                r = jet::Generate_Database(options, a->out);
            }
            Report(a->out, options.profile, r);
            return 0;
        });
    });

}  // namespace
}  // namespace kelbrook::tools
