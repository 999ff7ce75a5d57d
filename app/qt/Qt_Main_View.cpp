#include "Qt_Main_View.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QScreen>

#include "Kelbrook_Icon.xpm.h"
#include "Window_Design.h"
#include "frm_Main.h"

namespace kelbrook::qt {

namespace {

QString From(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QRect Pixel_Rect(const Window_Design::Control_Design& design) {
    using Window_Design::Pixels;
    return QRect(Pixels(design.Left), Pixels(design.Top), Pixels(design.Width), Pixels(design.Height));
}

}  // namespace

QFont Window_Font() {
    QFont font;
    const QString family = From(Window_Design::Font_Name);
    if (QFontDatabase::hasFamily(family)) font.setFamily(family);
    // Points at the design's 96 dots per inch, whatever the screen reports.
    font.setPixelSize(static_cast<int>(Window_Design::Font_Points * 96.0 / 72.0 + 0.5));
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

QString Label_Text(const std::string& text) {
    QString shown = QString::fromStdString(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return shown;
}

QIcon Program_Icon() {
    QIcon icon;
    icon.addPixmap(QPixmap(Kelbrook_Icon_32));
    icon.addPixmap(QPixmap(Kelbrook_Icon_16));
    return icon;
}

Qt_Main_View::Qt_Main_View() {
    using namespace Window_Design;
    setWindowIcon(Program_Icon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(Pixels(Client_Width), Pixels(Client_Height));
    setFont(Window_Font());

    QWidget* previous = nullptr;
    for (const Control_Design& design : Controls) {
        QWidget* widget = nullptr;
        if (design.Kind_Of == Kind::Label) {
            auto* label = new QLabel(From(design.Text), this);
            label->setTextFormat(Qt::PlainText);
            label->setWordWrap(false);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setGeometry(Pixel_Rect(design));
            label->adjustSize();
            lbl_Getting_files_ = label;
            widget = label;
        } else {
            auto* button = new QPushButton(From(design.Text), this);
            button->setGeometry(Pixel_Rect(design));
            button->setFocusPolicy(Qt::StrongFocus);
            button->setAutoDefault(false);
            if (design.Background) {
                QPalette palette = button->palette();
                const QColor colour(design.Background->Red, design.Background->Green, design.Background->Blue);
                palette.setColor(QPalette::Button, colour);
                button->setPalette(palette);
            }
            if (design.Id == Control::cmd_Exit) cmd_Exit_ = button;
            if (design.Id == Control::cmd_Continue) cmd_Continue_ = button;
            if (design.Id == Control::cmd_Cancel) cmd_Cancel_ = button;
            widget = button;
        }
        widget->setObjectName(From(design.Name));
        widget->setVisible(design.Visible_At_Start);
        if (previous) QWidget::setTabOrder(previous, widget);
        previous = widget;
    }
}

void Qt_Main_View::Attach(frm_Main& form) {
    form_ = &form;
    connect(cmd_Continue_, &QPushButton::clicked, this, [this] { form_->cmd_Continue_Click(); });
    connect(cmd_Cancel_, &QPushButton::clicked, this, [this] { form_->cmd_Cancel_Click(); });
    connect(cmd_Exit_, &QPushButton::clicked, this, [this] { form_->cmd_Exit_Click(); });
}

void Qt_Main_View::Place_At_Start() {
    using namespace Window_Design;
    const QSize size(Pixels(Client_Width), Pixels(Client_Height));
    if constexpr (Constants::Start_Position == Constants::Window_Start_Position::Design_Position) {
        setGeometry(QRect(QPoint(Pixels(Design_Left), Pixels(Design_Top)), size));
    } else {
        QScreen* screen = QGuiApplication::primaryScreen();
        const QRect area = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
        QRect client(QPoint(0, 0), size);
        client.moveCenter(area.center());
        setGeometry(client);
    }
}

void Qt_Main_View::Set_Title(const std::string& title) { setWindowTitle(QString::fromStdString(title)); }

QWidget* Qt_Main_View::Widget_Of(Control control) const {
    switch (control) {
        case Control::lbl_Getting_files:
            return lbl_Getting_files_;
        case Control::cmd_Exit:
            return cmd_Exit_;
        case Control::cmd_Continue:
            return cmd_Continue_;
        case Control::cmd_Cancel:
            return cmd_Cancel_;
    }
    return nullptr;
}

void Qt_Main_View::Set_Visible(Control control, bool visible) {
    QWidget* widget = Widget_Of(control);
    widget->setVisible(visible);
    // A hidden control keeps no focus (keys would still reach it); a button that appears
    // takes the focus when no visible control holds it.
    QWidget* focus = focusWidget();
    if (!visible && focus == widget) widget->clearFocus();
    focus = focusWidget();
    if (visible && widget->focusPolicy() != Qt::NoFocus && (focus == nullptr || !focus->isVisible()))
        widget->setFocus();
}

void Qt_Main_View::Set_Label_Text(const std::string& text) {
    lbl_Getting_files_->setText(Label_Text(text));
    // Width to the longest line, height to the number of lines; the top-left stays.
    lbl_Getting_files_->adjustSize();
}

void Qt_Main_View::Repaint() {
    // Paints now, through the backing store to the screen; no event is taken meanwhile.
    if (isVisible()) repaint();
}

void Qt_Main_View::Show_Message(const std::string& text, const std::string& title, Message_Icon icon) {
    QMessageBox box(icon == Message_Icon::Error ? QMessageBox::Critical : QMessageBox::Warning,
                    QString::fromStdString(title), Label_Text(text), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("Message"));
    box.exec();
}

void Qt_Main_View::Close(int exit_status) {
    exit_status_ = exit_status;
    closing_by_program_ = true;
    close();
}

void Qt_Main_View::closeEvent(QCloseEvent* event) {
    if (unloaded_) {
        event->accept();
        return;
    }
    // The close box asks the window first; a close the logic asked for always goes through.
    if (!closing_by_program_ && form_ && !form_->Form_QueryUnload()) {
        event->ignore();
        return;
    }
    if (form_) form_->Form_Unload();
    unloaded_ = true;
    event->accept();
}

void Qt_Main_View::keyPressEvent(QKeyEvent* event) {
    // Enter presses the button that has the focus, as it does on Windows.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button && button->isVisible()) {
            button->click();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

}  // namespace kelbrook::qt
