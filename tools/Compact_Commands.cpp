// jetdb's compaction commands:
//   compact [--password PW] [--new-password PW | --no-password] [--encrypt | --no-encrypt] SRC DST
//   compact-conn "SOURCE CONNECTION" "DESTINATION CONNECTION"
// Both print the pages before and after.
#include <iostream>
#include <optional>
#include <stdexcept>

#include "jet/Compactor.h"
#include "jet/Connection_String.h"
#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

const std::string compact_usage =
    "[--password PW] [--new-password PW | --no-password] [--encrypt | --no-encrypt] SRC DST";
const std::string compact_conn_usage = "\"SOURCE CONNECTION\" \"DESTINATION CONNECTION\"";

// Quotes a connection-string value so that any text survives: "..." with inner quotes doubled.
std::string Quoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

int Report(const std::string& source, const std::string& destination, const jet::Compact_Result& r) {
    std::cout << "compacted " << source << " (" << r.pages_before << " pages) into " << destination << " ("
              << r.pages_after << " pages)\n";
    return 0;
}

const Command_Registration compact_command(
    "compact", compact_usage, [](const std::vector<std::string>& args) {
        const std::string usage = "usage: jetdb compact " + compact_usage;
        std::string password;
        std::optional<std::string> new_password;
        std::optional<bool> encrypt;
        std::vector<std::string> files;
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= args.size()) throw std::runtime_error(a + " needs a value; " + usage);
                return args[++i];
            };
            if (a == "--password") {
                password = value();
            } else if (a == "--new-password") {
                if (new_password) throw std::runtime_error("give --new-password or --no-password once; " + usage);
                new_password = value();
            } else if (a == "--no-password") {
                if (new_password) throw std::runtime_error("give --new-password or --no-password once; " + usage);
                new_password = std::string();
            } else if (a == "--encrypt" || a == "--no-encrypt") {
                if (encrypt) throw std::runtime_error("give --encrypt or --no-encrypt once; " + usage);
                encrypt = a == "--encrypt";
            } else if (a.size() > 2 && a.starts_with("--")) {
                throw std::runtime_error("unknown option " + a + "; " + usage);
            } else {
                files.push_back(a);
            }
        }
        if (files.size() != 2) throw std::runtime_error(usage);
        std::string source = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + Quoted(files[0]) +
                             ";Jet OLEDB:Database Password=" + Quoted(password) + ";";
        std::string destination = "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;Data Source=" +
                                  Quoted(files[1]) + ";Jet OLEDB:Database Password=" +
                                  Quoted(new_password.value_or(password)) + ";";
        if (encrypt) destination += std::string("Jet OLEDB:Encrypt Database=") + (*encrypt ? "True" : "False") + ";";
        return Report(files[0], files[1], jet::CompactDatabase(source, destination));
    });

const Command_Registration compact_conn_command(
    "compact-conn", compact_conn_usage, [](const std::vector<std::string>& args) {
        if (args.size() != 2) throw std::runtime_error("usage: jetdb compact-conn " + compact_conn_usage);
        const auto result = jet::CompactDatabase(args[0], args[1]);
        return Report(jet::Parse_Connection_String(args[0]).data_source.value_or(""),
                      jet::Parse_Connection_String(args[1]).data_source.value_or(""), result);
    });

}  // namespace
}  // namespace kelbrook::tools
