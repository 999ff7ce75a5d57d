// Starting a program on Windows: CreateProcessW with the window style asked for, no wait.
#include <string>
#include <vector>

#include "platform/File_System_Service.h"
#include "platform/Process_Starter.h"
#include "platform/win32/Win32_Text.h"

namespace kelbrook::platform {
namespace {

class Win32_Process_Starter final : public Process_Starter {
public:
    void Start(const std::string& command_line, int window_style) override {
        // CreateProcessW may write into the command line, so it gets its own buffer.
        const std::wstring wide = win32::Wide(command_line);
        std::vector<wchar_t> buffer(wide.begin(), wide.end());
        buffer.push_back(L'\0');

        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = static_cast<WORD>(window_style);
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            throw Service_Error(win32::File_Error_Text(GetLastError()), command_line);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
};

}  // namespace

std::unique_ptr<Process_Starter> Create_Process_Starter() { return std::make_unique<Win32_Process_Starter>(); }

}  // namespace kelbrook::platform
