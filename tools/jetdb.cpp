// jetdb: the engine's command-line tool. Sub-commands register themselves through
// Command_Registration objects in their own source files; main builds the command line
// (CLI11) from them, answers --help and --version, and turns a bad call or any exception
// into "jetdb: <message>" on stderr with exit status 2.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "jet/util/Memory.h"
#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

struct Command {
    std::string name;
    std::string usage;
    std::string summary;
    Command_Setup setup;
};

std::vector<Command>& Registry() {
    static std::vector<Command> commands;
    return commands;
}

const Command* Find_Command(const std::string& name) {
    for (const auto& c : Registry())
        if (c.name == name) return &c;
    return nullptr;
}

// The order commands are listed in: reading, then writing.
int Rank(const std::string& name) {
    static const std::vector<std::string> order = {"info",    "tables",  "count",        "json",  "export",
                                                   "schema",  "check",   "space",        "compact",
                                                   "compact-conn", "generate"};
    auto it = std::find(order.begin(), order.end(), name);
    return static_cast<int>(it - order.begin());
}

std::string Usage_Line(const Command& c) { return "jetdb " + c.name + " " + c.usage; }

std::string Overview() {
    std::string out =
        "jetdb: reads, checks, exports, compacts and generates Jet 4.0 (.mdb) databases\n"
        "usage: jetdb COMMAND [OPTIONS] ARGUMENTS\n"
        "       jetdb COMMAND --help      a command's options\n"
        "       jetdb --version\n"
        "commands:\n";
    for (const auto& c : Registry()) out += "  " + Usage_Line(c) + "\n      " + c.summary + "\n";
    out += "Errors go to stderr with exit status 2.\n";
    return out;
}

// CLI11's help, with our usage lines (they show which options exclude each other) and
// the overview for jetdb itself.
class Help_Format : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        if (app->get_parent() == nullptr) return Overview();
        return CLI::Formatter::make_help(app, std::move(name), mode);
    }
    std::string make_usage(const CLI::App* app, std::string) const override {
        const Command* c = Find_Command(app->get_name());
        return c ? "usage: " + Usage_Line(*c) + "\n" : std::string();
    }
};

// The text after "prefix" in `message`, or "" when it does not start so.
std::string After(const std::string& message, const std::string& prefix) {
    auto at = message.find(prefix);
    return at == std::string::npos ? std::string() : message.substr(at + prefix.size());
}

// CLI11's message for a bad call, in the tool's words where they differ.
std::string Parse_Message(const CLI::ParseError& e) {
    const std::string m = e.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        std::string extras = After(m, "expected: ");
        std::string first = extras.substr(0, extras.find(' '));
        return (first.starts_with("-") ? "unknown option " : "unexpected argument ") + first;
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
        const std::string option = m.substr(0, m.find(':'));
        if (m.ends_with(" missing")) return option + " needs a value";
        if (m.find("At Most") != std::string::npos) return "give " + option + " once";
    }
    if (dynamic_cast<const CLI::ExcludesError*>(&e)) {
        const auto at = m.find(" excludes ");
        if (at != std::string::npos) return "give " + m.substr(0, at) + " or " + m.substr(at + 10) + ", not both";
    }
    if (dynamic_cast<const CLI::ConversionError*>(&e)) {
        const auto at = m.find(" = ");
        const std::string option = After(m.substr(0, at), "convert: ");
        if (at != std::string::npos) return option + " needs a number, not \"" + m.substr(at + 3) + "\"";
    }
    if (dynamic_cast<const CLI::ValidationError*>(&e) && m.find(": needs ") != std::string::npos)
        return m.substr(0, m.find(": needs ")) + m.substr(m.find(": needs ") + 1);
    if (dynamic_cast<const CLI::RequiredError*>(&e) && m.ends_with(" is required"))
        return m.substr(0, m.size() - 12) + " is missing";
    return m;
}

int Bad_Call(const std::string& message, const Command* command) {
    std::cerr << "jetdb: " << message << "\n";
    if (command) std::cerr << "jetdb: usage: " << Usage_Line(*command) << "\n";
    else std::cerr << "usage: jetdb COMMAND [OPTIONS] ARGUMENTS (jetdb --help lists the commands)\n";
    return 2;
}

// `jetdb help [COMMAND]` is `jetdb [COMMAND] --help`.
std::vector<std::string> Arguments(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "help") {
        args.erase(args.begin());
        args.push_back("--help");
    }
    return args;
}

int Run(int argc, char** argv) {
    const std::vector<std::string> args = Arguments(argc, argv);
    if (args.empty()) return Bad_Call("a command is missing", nullptr);
    const Command* chosen = Find_Command(args[0]);
    if (!chosen && !args[0].starts_with("-")) return Bad_Call("unknown command \"" + args[0] + "\"", nullptr);

    CLI::App app("Jet 4.0 database tool", "jetdb");
    app.formatter(std::make_shared<Help_Format>());
    app.set_version_flag("--version", "jetdb " KELBROOK_VERSION);
    app.require_subcommand(1);
    std::map<const CLI::App*, Command_Function> runs;
    for (const auto& c : Registry()) {
        CLI::App* sub = app.add_subcommand(c.name, c.summary);
        runs[sub] = c.setup(*sub);
    }
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e, std::cout, std::cerr);
        return Bad_Call(Parse_Message(e), chosen);
    }
    const int status = runs.at(app.get_subcommands().at(0))();
    std::cout.flush();
    if (!std::cout) throw std::runtime_error("cannot write the output");
    return status;
}

}  // namespace

Command_Registration::Command_Registration(std::string name, std::string usage, std::string summary,
                                           Command_Setup setup) {
    auto& commands = Registry();
    const int rank = Rank(name);
    auto at = std::find_if(commands.begin(), commands.end(), [rank](const Command& c) { return Rank(c.name) > rank; });
    commands.insert(at, Command{std::move(name), std::move(usage), std::move(summary), std::move(setup)});
}

CLI::Option* Add_Password_Option(CLI::App& command, std::string& password) {
    return command.add_option("--password", password, "the database password, when the file has one")
        ->option_text("PW");
}

std::shared_ptr<Database_Args> Add_Database_Args(CLI::App& command, bool with_table) {
    auto a = std::make_shared<Database_Args>();
    Add_Password_Option(command, a->password);
    command.add_option("FILE", a->file, "the database (.mdb)")->required();
    if (with_table) command.add_option("TABLE", a->table, "the table's name (exact, else case-blind)")->required();
    return a;
}

CLI::Validator Whole_Number(std::uint64_t least) {
    return CLI::Validator(
        [least](std::string& text) -> std::string {
            std::uint64_t v = 0;
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
            if (ec == std::errc() && end == text.data() + text.size() && v >= least) return {};
            return "needs a whole number" + (least > 0 ? " of at least " + std::to_string(least) : std::string()) +
                   ", not \"" + text + "\"";
        },
        "", "whole number");
}

Progress::Progress(std::string what) : what_(std::move(what)) {}

Progress::~Progress() {
    if (!shown_) return;
    const std::string blank(what_.size() + 6, ' ');
    std::fprintf(stderr, "\r%s\r", blank.c_str());
    std::fflush(stderr);
}

void Progress::Update(double done) {
#ifdef _WIN32
    static const bool terminal = _isatty(_fileno(stderr)) != 0;
#else
    static const bool terminal = isatty(STDERR_FILENO) != 0;
#endif
    if (!terminal) return;
    std::lock_guard lock(mutex_);
    const int percent = static_cast<int>(std::clamp(done, 0.0, 1.0) * 100.0);
    const auto now = std::chrono::steady_clock::now();
    if (percent == last_percent_ || (shown_ && percent < 100 && now - last_time_ < std::chrono::milliseconds(100)))
        return;
    std::fprintf(stderr, "\r%s: %d%%", what_.c_str(), percent);
    std::fflush(stderr);
    shown_ = true;
    last_percent_ = percent;
    last_time_ = now;
}

void Write_Out(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
        throw std::runtime_error("cannot write the output");
}

}  // namespace kelbrook::tools

int main(int argc, char** argv) {
    kelbrook::jet::Return_Large_Blocks_Promptly();
    try {
        return kelbrook::tools::Run(argc, argv);
    } catch (const std::exception& e) {
        std::cout.flush();
        std::fflush(stdout);
        std::cerr << "jetdb: " << e.what() << "\n";
        return 2;
    }
}
