// The main window on Qt 6 Widgets: the controls of the design table at their places,
// the buttons bound to frm_Main's handlers, and Main_View for the window's logic.
#pragma once

#include <QWidget>

#include "Main_View.h"

class QLabel;
class QPushButton;
class QCloseEvent;
class QKeyEvent;

namespace kelbrook {
class frm_Main;
}

namespace kelbrook::qt {

class Qt_Main_View : public QWidget, public Main_View {
public:
    Qt_Main_View();

    // Binds the buttons and the close box to the window's handlers.
    void Attach(frm_Main& form);
    // Places the window where the variant opens it: centred, or at the design position.
    void Place_At_Start();

    // Main_View
    void Set_Title(const std::string& title) override;
    void Set_Visible(Control control, bool visible) override;
    void Set_Label_Text(const std::string& text) override;
    void Repaint() override;
    void Show_Message(const std::string& text, const std::string& title, Message_Icon icon) override;
    void Close(int exit_status) override;

    QWidget* Widget_Of(Control control) const;
    // The exit status the program ends with once the window is gone.
    int Exit_Status() const { return exit_status_; }
    bool Unloaded() const { return unloaded_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    frm_Main* form_ = nullptr;
    QLabel* lbl_Getting_files_ = nullptr;
    QPushButton* cmd_Exit_ = nullptr;
    QPushButton* cmd_Continue_ = nullptr;
    QPushButton* cmd_Cancel_ = nullptr;
    int exit_status_ = 0;
    bool closing_by_program_ = false;
    bool unloaded_ = false;
};

// The window's font: "MS Sans Serif" where the host has it, else the host's own face, at
// 9.75 points on the 96-dpi design grid (13 pixels) so that the texts fit their controls.
QFont Window_Font();

// The program's icon, 32 x 32 and 16 x 16.
QIcon Program_Icon();

// The label's CR LF line ends as Qt shows them.
QString Label_Text(const std::string& text);

}  // namespace kelbrook::qt
