// jetdb: the engine's command-line tool. Sub-commands register themselves through
// Command_Registration objects in their own source files; main dispatches on the first
// argument and turns any exception into "jetdb: <message>" on stderr with exit status 2.
#include <exception>
#include <iostream>
#include <map>

#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

struct Command {
    std::string usage;
    Command_Function run;
};

std::map<std::string, Command>& Registry() {
    static std::map<std::string, Command> commands;
    return commands;
}

void Print_Usage(std::ostream& out) {
    out << "usage: jetdb COMMAND [ARGS]\ncommands:\n";
    for (const auto& [name, command] : Registry()) out << "  jetdb " << name << " " << command.usage << "\n";
}

}  // namespace

Command_Registration::Command_Registration(std::string name, std::string usage, Command_Function run) {
    Registry()[std::move(name)] = Command{std::move(usage), std::move(run)};
}

}  // namespace kelbrook::tools

int main(int argc, char** argv) {
    using namespace kelbrook::tools;
    if (argc < 2) {
        Print_Usage(std::cerr);
        return 2;
    }
    std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        Print_Usage(std::cout);
        return 0;
    }
    auto it = Registry().find(name);
    if (it == Registry().end()) {
        std::cerr << "jetdb: unknown command \"" << name << "\"\n";
        Print_Usage(std::cerr);
        return 2;
    }
    try {
        std::vector<std::string> args(argv + 2, argv + argc);
        int status = it->second.run(args);
        std::cout.flush();
        if (!std::cout) {
            std::cerr << "jetdb: cannot write the output\n";
            return 2;
        }
        return status;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "jetdb: " << e.what() << "\n";
        return 2;
    }
}
