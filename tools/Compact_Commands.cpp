// jetdb's compaction commands:
//   compact [--password PW] [--new-password PW | --no-password] [--encrypt | --no-encrypt] SRC DST
//   compact-conn [--password PW] "SOURCE CONNECTION" "DESTINATION CONNECTION"
// Both print the pages before and after, and show progress on a terminal.
#include <iostream>
#include <memory>
#include <optional>

#include "jet/engine/Compactor.h"
#include "jet/engine/Connection_String.h"
#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

// Quotes a connection-string value so that any text survives: "..." with inner quotes doubled.
std::string Quoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

int Compact(const std::string& source_connection, const std::string& destination_connection) {
    jet::Compact_Result r;
    {
        Progress progress("compacting");
        jet::Compact_Options options;
        options.progress = progress.Callback();
        r = jet::CompactDatabase(source_connection, destination_connection, options);
    }
    std::cout << "compacted " << jet::Parse_Connection_String(source_connection).data_source.value_or("") << " ("
              << r.pages_before << " pages) into "
              << jet::Parse_Connection_String(destination_connection).data_source.value_or("") << " ("
              << r.pages_after << " pages)\n";
    // Repairs go to stderr, one a line; the copy is sound all the same.
    for (const auto& note : r.repairs)
        std::cerr << "jetdb: " << (note.recorded ? "recorded in MSysCompactError: " : "repaired: ") << jet::Describe(note) << "\n";
    return 0;
}

struct Compact_Args {
    std::string password;
    std::string new_password;
    CLI::Option* new_password_option = nullptr;
    bool no_password = false;
    bool encrypt = false;
    bool no_encrypt = false;
    std::string source, destination;
};

const Command_Registration compact_command(
    "compact", "[--password PW] [--new-password PW | --no-password] [--encrypt | --no-encrypt] SRC DST",
    "writes a compacted copy of SRC to the new file DST", [](CLI::App& cmd) {
        auto a = std::make_shared<Compact_Args>();
        Add_Password_Option(cmd, a->password);
        auto* new_password = a->new_password_option = cmd.add_option("--new-password", a->new_password, "the copy's password (default: SRC's)")
                                 ->option_text("PW");
        auto* no_password = cmd.add_flag("--no-password", a->no_password, "the copy has no password");
        new_password->excludes(no_password);
        no_password->excludes(new_password);
        auto* encrypt = cmd.add_flag("--encrypt", a->encrypt, "encode the copy's pages");
        auto* no_encrypt = cmd.add_flag("--no-encrypt", a->no_encrypt, "do not encode them (default: as SRC)");
        encrypt->excludes(no_encrypt);
        no_encrypt->excludes(encrypt);
        cmd.add_option("SRC", a->source, "the database to compact")->required();
        cmd.add_option("DST", a->destination, "the new, compacted file (must not exist)")->required();
        return Command_Function([a] {
            const std::string new_password = a->no_password                       ? std::string()
                                             : a->new_password_option->count() ? a->new_password
                                                                                : a->password;
            std::string source = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + Quoted(a->source) +
                                 ";Jet OLEDB:Database Password=" + Quoted(a->password) + ";";
            std::string destination = "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;Data Source=" +
                                      Quoted(a->destination) + ";Jet OLEDB:Database Password=" +
                                      Quoted(new_password) + ";";
            if (a->encrypt || a->no_encrypt)
                destination += std::string("Jet OLEDB:Encrypt Database=") + (a->encrypt ? "True" : "False") + ";";
            return Compact(source, destination);
        });
    });

struct Compact_Conn_Args {
    std::string password;
    CLI::Option* password_option = nullptr;
    std::string source, destination;
};

const Command_Registration compact_conn_command(
    "compact-conn", "[--password PW] \"SOURCE CONNECTION\" \"DESTINATION CONNECTION\"",
    "compacts as the platform's engine does, from two OLE DB connection strings", [](CLI::App& cmd) {
        auto a = std::make_shared<Compact_Conn_Args>();
        a->password_option = cmd.add_option("--password", a->password,
                                            "the source's database password, in place of the source connection's")
                                 ->option_text("PW");
        cmd.add_option("SOURCE", a->source, "the source connection string (Data Source=...)")->required();
        cmd.add_option("DESTINATION", a->destination, "the destination connection string")->required();
        return Command_Function([a] {
            std::string source = a->source;
            if (a->password_option->count() > 0) source += ";Jet OLEDB:Database Password=" + Quoted(a->password) + ";";
            return Compact(source, a->destination);
        });
    });

}  // namespace
}  // namespace kelbrook::tools
