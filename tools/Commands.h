// jetdb's sub-commands register themselves here; main dispatches on the first argument.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kelbrook::tools {

// Runs one command with the arguments after its name; returns the exit status
// (0 success, 1 a finding such as check problems, 2 an error). Throwing is allowed: main
// turns any exception into a message on stderr and exit status 2.
using Command_Function = std::function<int(const std::vector<std::string>& args)>;

struct Command_Registration {
    Command_Registration(std::string name, std::string usage, Command_Function run);
};

}  // namespace kelbrook::tools
