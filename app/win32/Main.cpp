// Program start on Windows: make the one window, load it, show it and run its events
// until it is gone.
#include <exception>
#include <string>

#include "Win32_Main_View.h"
#include "frm_Main.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
    using kelbrook::win32::Win32_Main_View;
    try {
        Win32_Main_View view(instance);
        kelbrook::frm_Main form(view);
        view.Create(form);
        form.Form_Load();
        view.Show(show_command);

        MSG message{};
        for (;;) {
            const BOOL got = GetMessageW(&message, nullptr, 0, 0);
            if (got == 0) break;  // WM_QUIT: the window is gone
            if (got == -1) return kelbrook::Exit_Run_Failed;
            // The dialog keys: Tab and the arrow keys move between the controls, Space and
            // Enter press the button that has the focus.
            HWND window = view.Window();
            if (window != nullptr && IsDialogMessageW(window, &message)) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        return static_cast<int>(message.wParam);
    } catch (const std::exception& failure) {
        const std::wstring text = kelbrook::platform::win32::Display_Wide(failure.what());
        MessageBoxW(nullptr, text.c_str(), kelbrook::platform::win32::Wide(kelbrook::frm_Main::Title()).c_str(),
                    MB_OK | MB_ICONERROR);
        return kelbrook::Exit_Run_Failed;
    }
}
