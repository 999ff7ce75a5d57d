// jetdb generate: makes a new Jet 4.0 database of a chosen profile and size, with a
// history of deletions, moved rows and a dropped table, for demos, tests and benchmarks.
#include <charconv>
#include <iostream>
#include <stdexcept>

#include "jet/Generator.h"
#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

const std::string generate_usage =
    "[--profile every-type|instrument-data|instrument-history] [--size-mb N | --rows N] "
    "[--deleted-fraction F] [--password PW] [--encrypt] [--seed N] OUT";

std::uint64_t Whole_Number(const std::string& option, const std::string& text) {
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size())
        throw std::runtime_error(option + " needs a whole number, not \"" + text + "\"");
    return v;
}

double Number(const std::string& option, const std::string& text) {
    try {
        std::size_t used = 0;
        double v = std::stod(text, &used);
        if (used == text.size()) return v;
    } catch (const std::exception&) {
    }
    throw std::runtime_error(option + " needs a number, not \"" + text + "\"");
}

const Command_Registration generate_command("generate", generate_usage, [](const std::vector<std::string>& args) {
    jet::Generate_Options options;
    std::vector<std::string> positional;
    bool by_rows = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw std::runtime_error(a + " needs a value; usage: jetdb generate " + generate_usage);
            return args[++i];
        };
        if (a == "--profile") options.profile = value();
        else if (a == "--size-mb") options.size_mb = Number(a, value());
        else if (a == "--rows") {
            options.rows = Whole_Number(a, value());
            by_rows = true;
        } else if (a == "--deleted-fraction") options.deleted_fraction = Number(a, value());
        else if (a == "--password") options.password = value();
        else if (a == "--encrypt") options.encrypt = true;
        else if (a == "--seed") options.seed = Whole_Number(a, value());
        else if (a.size() > 2 && a.starts_with("--"))
            throw std::runtime_error("unknown option " + a + "; usage: jetdb generate " + generate_usage);
        else positional.push_back(a);
    }
    if (positional.size() != 1) throw std::runtime_error("usage: jetdb generate " + generate_usage);
    if (by_rows && options.size_mb > 0) throw std::runtime_error("give --size-mb or --rows, not both");
    if (by_rows && options.rows == 0) throw std::runtime_error("--rows needs at least 1");

    jet::Generate_Result r = jet::Generate_Database(options, positional[0]);
    std::cout << positional[0] << ": " << r.pages << " pages (" << r.bytes << " bytes), profile " << options.profile;
    if (!r.password.empty()) std::cout << ", password set";
    if (r.database_key != 0) std::cout << ", encoded";
    std::cout << "\n  live data: " << r.live_bytes << " bytes\n";
    for (const auto& t : r.tables)
        std::cout << "  " << t.name << ": " << t.live_rows << " rows, " << t.deleted_rows << " deleted, "
                  << t.overflow_rows << " moved\n";
    if (r.freed_pages != 0) std::cout << "  dropped table left " << r.freed_pages << " free pages\n";
    return 0;
});

}  // namespace
}  // namespace kelbrook::tools
