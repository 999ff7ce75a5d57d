// The Linux window itself: its controls where the design puts them, its colours, focus
// and tab order, and a whole run clicked through the real widgets on a real file system
// (drive C: a temporary folder, the engine a double). Screenshots of the states are saved
// beside the build as artefacts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>

#include <filesystem>

#include "Constants.h"
#include "Qt_Main_View.h"
#include "Window_Design.h"
#include "frm_Main.h"
#include "support/Engine_Double.h"
#include "support/Temp_Drive.h"

namespace kelbrook::qt {
namespace {

namespace fs = std::filesystem;
using Window_Design::Pixels;

const char* Variant_Name = KELBROOK_VARIANT_EMAILING ? "emailing" : "support";

QApplication& Application() {
    static int argc = 1;
    static char name[] = "qt_window_tests";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* application = [] {
        auto* app = new QApplication(argc, argv);
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        return app;
    }();
    return *application;
}

void Save_Artefact(QWidget& window, const std::string& state) {
    const fs::path folder = KELBROOK_ARTEFACTS_DIR;
    fs::create_directories(folder);
    const fs::path file = folder / ("window-" + std::string(Variant_Name) + "-" + state + ".png");
    EXPECT_TRUE(window.grab().save(QString::fromStdString(file.string()))) << file;
}

struct Starter_Log final : platform::Process_Starter {
    std::vector<std::string>* Started;
    explicit Starter_Log(std::vector<std::string>* started) : Started(started) {}
    void Start(const std::string& command_line, int) override { Started->push_back(command_line); }
};

class Qt_Window : public ::testing::Test {
protected:
    testing::Temp_Drive Drive;
    std::shared_ptr<testing::Engine_Log> Engine_Calls = std::make_shared<testing::Engine_Log>();
    testing::Engine_Double::Action Engine_Action = testing::Engine_Double::Copying(" compacted");
    std::vector<std::string> Started;
    std::unique_ptr<Qt_Main_View> View;
    std::unique_ptr<frm_Main> Form;

    void SetUp() override {
        Application();
        Drive.Write(std::string(Constants::Data_Database), "data");
        Drive.Write(std::string(Constants::History_Database), "history");
        Drive.Write(std::string(Constants::Data_Folder) + "Debug Files\\trace.log", "trace");
        Drive.Make_Folder(std::string(Constants::Backup_Folder));
    }
    void TearDown() override {
        Form.reset();
        View.reset();
    }

    // The window as the program opens it.
    Qt_Main_View& Open() {
        View = std::make_unique<Qt_Main_View>();
        Window_Services services;
        services.Make_Jet_Engine = [this] { return std::make_unique<testing::Engine_Double>(Engine_Action, Engine_Calls); };
        services.Make_Process_Starter = [this] { return std::make_unique<Starter_Log>(&Started); };
        Form = std::make_unique<frm_Main>(*View, services);
        View->Attach(*Form);
        Form->Form_Load();
        View->Place_At_Start();
        View->show();
        QApplication::setActiveWindow(View.get());
        EXPECT_TRUE(QTest::qWaitForWindowExposed(View.get()));
        return *View;
    }

    QPushButton* Button(Control control) { return static_cast<QPushButton*>(View->Widget_Of(control)); }
    QLabel* Label() { return static_cast<QLabel*>(View->Widget_Of(Control::lbl_Getting_files)); }

    std::vector<Control> Shown() {
        std::vector<Control> shown;
        for (const auto& design : Window_Design::Controls)
            if (View->Widget_Of(design.Id)->isVisible()) shown.push_back(design.Id);
        return shown;
    }

    // Closes the message box that the next step opens, keeping what it said.
    void Answer_Message_Box(QString* title, QString* text, QMessageBox::Icon* icon) {
        QTimer::singleShot(0, [=] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr) << "no message box";
            *title = box->windowTitle();
            *text = box->text();
            *icon = box->icon();
            box->accept();
        });
    }
};

TEST_F(Qt_Window, ReadyStateMatchesTheDesign) {
    Qt_Main_View& view = Open();
    EXPECT_EQ(view.windowTitle().toStdString(), frm_Main::Title());
    EXPECT_EQ(view.size(), QSize(590, 198));
    EXPECT_EQ(view.font().pixelSize(), 13);
    const QList<QSize> icon_sizes = view.windowIcon().availableSizes();
    EXPECT_TRUE(icon_sizes.contains(QSize(32, 32)) && icon_sizes.contains(QSize(16, 16)));

    for (const auto& design : Window_Design::Controls) {
        SCOPED_TRACE(std::string(design.Name));
        QWidget* widget = view.Widget_Of(design.Id);
        EXPECT_EQ(widget->objectName().toStdString(), design.Name);
        EXPECT_EQ(widget->isVisible(), design.Visible_At_Start);
        EXPECT_EQ(widget->pos(), QPoint(Pixels(design.Left), Pixels(design.Top)));
        if (design.Kind_Of == Window_Design::Kind::Button) {
            EXPECT_EQ(widget->size(), QSize(Pixels(design.Width), Pixels(design.Height)));
            EXPECT_EQ(static_cast<QPushButton*>(widget)->text().toStdString(), design.Text);
            if (design.Background) {
                const QColor colour = widget->palette().color(QPalette::Button);
                EXPECT_EQ(colour, QColor(design.Background->Red, design.Background->Green, design.Background->Blue));
            }
        }
    }
    // The label fits its one line of text.
    const QFontMetrics metrics(Label()->font());
    EXPECT_EQ(Label()->text().toStdString(), Constants::Startup_Notice);
    EXPECT_GE(Label()->width(), metrics.horizontalAdvance(Label()->text()));
    EXPECT_LT(Label()->height(), 2 * metrics.lineSpacing());

    // The buttons show their own colours on screen.
    const QImage shot = view.grab().toImage();
    const QColor green = shot.pixelColor(Button(Control::cmd_Continue)->geometry().center() + QPoint(0, 12));
    EXPECT_GT(green.green(), green.red() + 10);
    EXPECT_GT(green.green(), green.blue() + 10);
    const QColor orange = shot.pixelColor(Button(Control::cmd_Cancel)->geometry().center() + QPoint(0, 12));
    EXPECT_GT(orange.red(), orange.blue() + 10);
    Save_Artefact(view, "ready");
}

TEST_F(Qt_Window, TabOrderAndFirstFocus) {
    Qt_Main_View& view = Open();
    std::vector<QWidget*> chain;
    QWidget* widget = Label();
    for (int i = 0; i < 4; ++i, widget = widget->nextInFocusChain()) chain.push_back(widget);
    EXPECT_EQ(chain, (std::vector<QWidget*>{Label(), Button(Control::cmd_Exit), Button(Control::cmd_Continue),
                                             Button(Control::cmd_Cancel)}));
    EXPECT_EQ(Label()->focusPolicy(), Qt::NoFocus);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    EXPECT_EQ(QApplication::focusWidget(), Button(Control::cmd_Continue)) << "the first control that takes focus";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Button(Control::cmd_Cancel));
    // Enter presses the focused button: here "Cancel".
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(view.Unloaded());
    EXPECT_TRUE(Engine_Calls->calls.empty());
}

TEST_F(Qt_Window, AfterTheRunOnlyClickToCloseCanBeReached) {
    Qt_Main_View& view = Open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    QTest::keyClick(Button(Control::cmd_Continue), Qt::Key_Space);
    ASSERT_TRUE(Button(Control::cmd_Exit)->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), Button(Control::cmd_Exit));
    for (int i = 0; i < 4; ++i) {
        QWidget* focus = QApplication::focusWidget();
        EXPECT_TRUE(focus == nullptr || focus == Button(Control::cmd_Exit)) << focus->objectName().toStdString();
        if (focus) QTest::keyClick(focus, Qt::Key_Tab);
    }
    EXPECT_EQ(Engine_Calls->calls.size(), 2u);
}

TEST_F(Qt_Window, StartPositionOfTheVariant) {
    Qt_Main_View& view = Open();
    if constexpr (Constants::Start_Position == Constants::Window_Start_Position::Design_Position) {
        EXPECT_EQ(view.geometry().topLeft(), QPoint(20, 217));
    } else {
        const QPoint centre = QGuiApplication::primaryScreen()->geometry().center();
        EXPECT_LE((view.geometry().center() - centre).manhattanLength(), 2);
    }
}

TEST_F(Qt_Window, ClickedRunGathersAndLeavesThroughTheFileManager) {
    Qt_Main_View& view = Open();
    // The working text is on screen while the databases are compacted.
    std::string label_while_compacting;
    Engine_Action = [this, &label_while_compacting, copy = Engine_Action](const std::string& source,
                                                                   const std::string& destination) {
        if (Engine_Calls->calls.size() == 1) {
            label_while_compacting = Label()->text().toStdString();
            Save_Artefact(*View, "working");
        }
        copy(source, destination);
    };
    const int one_line_width = Label()->width();
    QTest::mouseClick(Button(Control::cmd_Continue), Qt::LeftButton);

    EXPECT_EQ(label_while_compacting, "Getting 7-7 files");
    const QString text = Label()->text();
    const QStringList lines = text.split('\n');
    ASSERT_EQ(lines.size(), 3) << text.toStdString();
    EXPECT_TRUE(lines[0].endsWith(QString::fromUtf8(Constants::Output_Folder_Suffix.data()) +
                                  " folder created in DUVURA directory"));
    EXPECT_TRUE(lines[1].isEmpty());
    EXPECT_EQ(lines[2], "- please compress, then send to support desk");
    EXPECT_EQ(Shown(), (std::vector<Control>{Control::lbl_Getting_files, Control::cmd_Exit}));
    const QFontMetrics metrics(Label()->font());
    EXPECT_GE(Label()->height(), 3 * metrics.height()) << "the label grows to three lines";
    EXPECT_LT(Label()->width(), one_line_width) << "and narrows to its longest line";
    EXPECT_EQ(Label()->pos(), QPoint(42, 50));
    EXPECT_TRUE(Drive.Exists(std::string(Constants::Install_Root) + Form->Output_Folder_Name + "\\duvura-d-7-7.mdb"));
    Save_Artefact(view, "done");

    QTest::mouseClick(Button(Control::cmd_Exit), Qt::LeftButton);
    EXPECT_EQ(Started, std::vector<std::string>{"c:\\windows\\explorer.exe \"C:\\Tarvel\\KT500\\\""});
    EXPECT_TRUE(view.Unloaded());
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(view.Exit_Status(), 0);
}

TEST_F(Qt_Window, CancelAndTheCloseBoxBeforeARunChangeNothing) {
    for (bool close_box : {false, true}) {
        Qt_Main_View& view = Open();
        if (close_box)
            view.close();
        else
            QTest::mouseClick(Button(Control::cmd_Cancel), Qt::LeftButton);
        EXPECT_TRUE(view.Unloaded());
        EXPECT_EQ(view.Exit_Status(), 0);
        EXPECT_EQ(Form->State(), frm_Main::Window_State::Closed);
        EXPECT_EQ(Drive.Read(std::string(Constants::Data_Database)), "data");
        EXPECT_TRUE(Engine_Calls->calls.empty());
    }
}

TEST_F(Qt_Window, TheCloseBoxWaitsForTheRun) {
    Qt_Main_View& view = Open();
    Engine_Action = [&view, copy = Engine_Action](const std::string& source, const std::string& destination) {
        view.close();  // as if the close box were pressed mid-run
        copy(source, destination);
    };
    QTest::mouseClick(Button(Control::cmd_Continue), Qt::LeftButton);
    EXPECT_FALSE(view.Unloaded());
    EXPECT_TRUE(Button(Control::cmd_Exit)->isVisible());
    view.close();
    EXPECT_TRUE(view.Unloaded());
    EXPECT_TRUE(Started.empty()) << "the close box leaves without the file manager";
    EXPECT_EQ(view.Exit_Status(), 0);
}

TEST_F(Qt_Window, UncaughtFailureShowsAMessageAndEndsTheProgram) {
    fs::remove_all(Drive.Host(std::string(Constants::Data_Folder) + "Debug Files"));
    Qt_Main_View& view = Open();
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Answer_Message_Box(&title, &text, &icon);
    QTest::mouseClick(Button(Control::cmd_Continue), Qt::LeftButton);
    EXPECT_EQ(title.toStdString(), frm_Main::Title());
    EXPECT_FALSE(text.isEmpty());
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_TRUE(view.Unloaded());
    EXPECT_EQ(view.Exit_Status(), Exit_Run_Failed);
}

}  // namespace
}  // namespace kelbrook::qt
