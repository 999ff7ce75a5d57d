// jetdb's sub-commands register themselves here, each from its own source file; main
// builds one CLI11 command line from them. What they share: the --password option, the
// progress line on a terminal, and checked output.
#pragma once

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace kelbrook::tools {

// Runs a command once its options are parsed; returns the exit status (0 success, 1 a
// finding such as check problems, 2 an error). Throwing is allowed: main turns any
// exception into a message on stderr and exit status 2.
using Command_Function = std::function<int()>;

// Declares a command's options and arguments on `command`, bound to state the returned
// function shares, and returns that function.
using Command_Setup = std::function<Command_Function(CLI::App& command)>;

struct Command_Registration {
    // `usage` is the arguments part of the usage line ("[--password PW] FILE TABLE"),
    // `summary` one line on what the command does.
    Command_Registration(std::string name, std::string usage, std::string summary, Command_Setup setup);
};

// Adds --password PW: the database password, for commands that open a database.
CLI::Option* Add_Password_Option(CLI::App& command, std::string& password);

struct Database_Args {
    std::string password;
    std::string file;
    std::string table;
};
// Adds --password PW and FILE (and TABLE when the command reads one table).
std::shared_ptr<Database_Args> Add_Database_Args(CLI::App& command, bool with_table);

// Accepts whole numbers from `least` up ("12"; not "-1", "1.5" or "x").
CLI::Validator Whole_Number(std::uint64_t least);

// A "what: NN%" line on stderr, rewritten in place as the work goes on; only when stderr
// is a terminal, so that logs and pipes stay clean. The line is wiped when the object goes,
// whether the work ended or failed. Update may be called from any thread.
class Progress {
public:
    explicit Progress(std::string what);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Takes the share of the work done, 0 to 1.
    void Update(double done);
    // A callback for the engine's progress hooks, valid while this object lives.
    std::function<void(double)> Callback() {
        return [this](double done) { Update(done); };
    }

private:
    std::mutex mutex_;
    std::string what_;
    bool shown_ = false;
    int last_percent_ = -1;
    std::chrono::steady_clock::time_point last_time_{};
};

// Writes `text` to stdout; throws when the output cannot take it (a closed pipe, a full disk).
void Write_Out(const std::string& text);

}  // namespace kelbrook::tools
