#include "platform/posix/Process_Starter_Posix.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Drive_Mapping.h"
#include "platform/File_System_Service.h"
#include "platform/Process_Starter.h"

namespace kelbrook::platform {

namespace {

constexpr std::string_view Windows_File_Manager = "c:\\windows\\explorer.exe";
constexpr const char* Desktop_Opener = "xdg-open";

bool Is_Blank(char c) { return c == ' ' || c == '\t'; }

bool On_Drive_C(std::string_view text) {
    return text.size() >= 3 && (text[0] == 'c' || text[0] == 'C') && text[1] == ':' &&
           (text[2] == '\\' || text[2] == '/');
}

std::string Host_Path(const std::string& windows_path) {
    std::string host = To_Host_Path(windows_path).string();
    const char last = windows_path.back();
    if ((last == '\\' || last == '/') && !host.empty() && host.back() != '/') host += '/';
    return host;
}

bool Is_Executable_File(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Writes all of the buffer, retrying on interruption; safe between fork and exec.
void Write_All(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
}

class Posix_Process_Starter final : public Process_Starter {
public:
    void Start(const std::string& command_line, int window_style) override;
};

// The host has no say in how the started program's window opens; the style is not used.
void Posix_Process_Starter::Start(const std::string& command_line, int /*window_style*/) {
    const std::vector<std::string> windows_arguments = Split_Command_Line(command_line);
    if (windows_arguments.empty()) throw Service_Error("Cannot start a program: the command line is empty");
    std::vector<std::string> arguments = Host_Command(windows_arguments);
    const std::string program = Find_Program(arguments.front());

    // Everything the child needs is made before the fork: after it only calls that are
    // safe in the child of a process with threads.
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        throw Service_Error("Cannot start " + program + ": " + std::strerror(errno));

    const pid_t middle = ::fork();
    if (middle < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        throw Service_Error("Cannot start " + program + ": " + std::strerror(error));
    }
    if (middle == 0) {
        // A session of its own, and a grandchild that init adopts: the program outlives
        // this one and nobody has to wait for it.
        ::close(report[0]);
        ::setsid();
        const pid_t child = ::fork();
        if (child != 0) ::_exit(child < 0 ? 1 : 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null_input = ::open("/dev/null", O_RDONLY);
        if (null_input >= 0) {
            ::dup2(null_input, 0);
            if (null_input > 2) ::close(null_input);
        }
        const long open_max = ::sysconf(_SC_OPEN_MAX);
        const int last = static_cast<int>(open_max > 0 && open_max < 65536 ? open_max : 65536);
        for (int fd = 3; fd < last; ++fd)
            if (fd != report[1]) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::execv(program.c_str(), argv.data());
        const int error = errno;
        Write_All(report[1], &error, sizeof error);
        ::_exit(127);
    }

    ::close(report[1]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    // The report pipe closes on a successful exec; an error number arrives otherwise.
    int error = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof error))
        throw Service_Error("Cannot start " + program + ": " + std::strerror(error));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw Service_Error("Cannot start " + program + ": the system could not make a new process");
}

}  // namespace

std::vector<std::string> Split_Command_Line(std::string_view command_line) {
    std::vector<std::string> arguments;
    std::string current;
    bool in_argument = false;
    bool quoted = false;
    for (char c : command_line) {
        if (c == '"') {
            quoted = !quoted;
            in_argument = true;
        } else if (Is_Blank(c) && !quoted) {
            if (in_argument) arguments.push_back(current);
            current.clear();
            in_argument = false;
        } else {
            current += c;
            in_argument = true;
        }
    }
    if (in_argument) arguments.push_back(current);
    return arguments;
}

std::vector<std::string> Host_Command(const std::vector<std::string>& windows_arguments) {
    std::vector<std::string> host;
    for (size_t i = 0; i < windows_arguments.size(); ++i) {
        const std::string& argument = windows_arguments[i];
        if (i == 0 && Names_Match(argument, Windows_File_Manager))
            host.emplace_back(Desktop_Opener);
        else if (On_Drive_C(argument))
            host.push_back(Host_Path(argument));
        else
            host.push_back(argument);
    }
    return host;
}

std::string Find_Program(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        if (Is_Executable_File(program)) return program;
        throw Service_Error("Cannot start " + program + ": " + Text_File_Not_Found);
    }
    const char* path = std::getenv("PATH");
    std::string_view folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const size_t colon = folders.find(':');
        // An empty entry is the current folder. Built in steps: GCC 12 warns falsely
        // (-Wrestrict) on a + "/" + b at -O2 and on assigning a literal at -O3.
        const std::string_view folder = folders.substr(0, colon);
        std::string candidate(folder.empty() ? std::string_view(".") : folder);
        candidate += '/';
        candidate += program;
        if (Is_Executable_File(candidate)) return candidate;
        if (colon == std::string_view::npos) break;
        folders.remove_prefix(colon + 1);
    }
    throw Service_Error("Cannot start " + program + ": it is not installed (not found on PATH)");
}

std::unique_ptr<Process_Starter> Create_Process_Starter() { return std::make_unique<Posix_Process_Starter>(); }

}  // namespace kelbrook::platform
