#include "Qt_Program.h"

#include <QApplication>
#include <QStyleFactory>

#include "Constants.h"
#include "Qt_Main_View.h"

namespace kelbrook::qt {

int Run_Program(int argc, char* argv[], Window_Services services) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(Constants::Internal_Name.data(),
                                                       static_cast<qsizetype>(Constants::Internal_Name.size())));
    // One look everywhere, so that the buttons show their own colours.
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(style);
    QApplication::setWindowIcon(Program_Icon());

    Qt_Main_View view;
    frm_Main form(view, std::move(services));
    view.Attach(form);
    form.Form_Load();
    view.Place_At_Start();
    view.show();
    QApplication::exec();
    return view.Exit_Status();
}

}  // namespace kelbrook::qt
