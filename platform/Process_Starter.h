// Starting another program without waiting for it.
#pragma once

#include <memory>
#include <string>

namespace kelbrook::platform {

// Window styles a started program's main window opens with.
inline constexpr int Show_Maximized = 3;

class Process_Starter {
public:
    virtual ~Process_Starter() = default;
    // Starts the command line (program path, then its arguments, Windows quoting) as a new
    // process whose window opens with the given style; does not wait. Throws on failure.
    virtual void Start(const std::string& command_line, int window_style) = 0;
};

std::unique_ptr<Process_Starter> Create_Process_Starter();

}  // namespace kelbrook::platform
