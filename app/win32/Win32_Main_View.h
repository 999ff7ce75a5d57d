// The main window on Windows: a plain Win32 window with one label and three buttons,
// built from the window design and driving frm_Main's event handlers.
#pragma once

#include <array>
#include <string>

#include "Main_View.h"
#include "platform/win32/Win32_Text.h"

namespace kelbrook {

class frm_Main;

namespace win32 {

class Win32_Main_View final : public Main_View {
public:
    explicit Win32_Main_View(HINSTANCE instance);
    ~Win32_Main_View() override;
    Win32_Main_View(const Win32_Main_View&) = delete;
    Win32_Main_View& operator=(const Win32_Main_View&) = delete;

    // Makes the window and its controls, hidden; events go to form from then on.
    void Create(frm_Main& form);
    // Places the window where the variant opens it and shows it.
    void Show(int show_command);
    HWND Window() const { return window_; }
    // The exit status Close was given (0 when the window went another way).
    int Exit_Status() const { return exit_status_; }

    // Main_View
    void Set_Title(const std::string& title) override;
    void Set_Visible(Control control, bool visible) override;
    void Set_Label_Text(const std::string& text) override;
    void Repaint() override;
    void Show_Message(const std::string& text, const std::string& title, Message_Icon icon) override;
    void Close(int exit_status) override;

private:
    static LRESULT CALLBACK Window_Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT Handle(UINT message, WPARAM w, LPARAM l);
    void On_Command(int id);
    void Draw_Button(const DRAWITEMSTRUCT& item);
    void Size_Label();
    // Runs one event handler; a failure nothing caught is reported and ends the program.
    template <typename Handler>
    void Run_Handler(Handler&& handler);

    int Pixels(int twips) const;
    HWND Control_Window(Control control) const;

    HINSTANCE instance_;
    HWND window_ = nullptr;
    HFONT font_ = nullptr;
    std::array<HWND, 4> controls_{};  // in the design's tab order
    std::array<HBRUSH, 4> brushes_{};  // the coloured buttons' backgrounds
    frm_Main* form_ = nullptr;
    HWND last_focus_ = nullptr;
    int dpi_ = 96;
    int exit_status_ = 0;
    bool closing_ = false;
};

}  // namespace win32
}  // namespace kelbrook
