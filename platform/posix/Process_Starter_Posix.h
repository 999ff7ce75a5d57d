// Starting a program named by a Windows command line on a host without Windows: the
// command line is split, Windows' file manager stands for the desktop's opener, and
// paths on drive C: become the host's files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelbrook::platform {

// Splits a command line the way Windows' file manager reads its own: blanks separate,
// double quotes group (and are dropped), backslashes are path separators, never escapes.
std::vector<std::string> Split_Command_Line(std::string_view command_line);

// The host program and arguments for a split Windows command line: "c:\windows\explorer.exe"
// (any case) becomes "xdg-open"; arguments and a program on drive C: become host paths (a
// folder's trailing backslash stays as a trailing slash). The program is left unresolved.
std::vector<std::string> Host_Command(const std::vector<std::string>& windows_arguments);

// The executable file a program name stands for: a name holding a slash as it is, else the
// first match on PATH. Throws Service_Error naming the program when there is none.
std::string Find_Program(const std::string& program);

}  // namespace kelbrook::platform
