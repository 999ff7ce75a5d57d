// What the main window's logic asks of a window toolkit. The front ends (Win32, Qt)
// implement it; tests use a double. It holds no toolkit type.
#pragma once

#include <string>

namespace kelbrook {

enum class Control { lbl_Getting_files, cmd_Exit, cmd_Continue, cmd_Cancel };

enum class Message_Icon { Exclamation, Error };

class Main_View {
public:
    virtual ~Main_View() = default;
    virtual void Set_Title(const std::string& title) = 0;
    virtual void Set_Visible(Control control, bool visible) = 0;
    // The label sizes itself to its text: width to its longest line, height to its lines.
    virtual void Set_Label_Text(const std::string& text) = 0;
    // Paints the window once, now, without taking input.
    virtual void Repaint() = 0;
    // A modal message box; returns when the user has closed it.
    virtual void Show_Message(const std::string& text, const std::string& title, Message_Icon icon) = 0;
    // Closes the window; the program ends with the given exit status once it is gone.
    virtual void Close(int exit_status) = 0;
};

}  // namespace kelbrook
