#include "app/Application.h"
#include "app/MainWindow.h"

#include <QStyle>
#include <QStyleFactory>

#include <cstdio>

int main(int argc, char** argv)
{
    Application l_application(QStringLiteral("QuillmarQt"), argc, argv);
    if (l_application.isRunning())
        return 0;
    if (!l_application.HoldsInstanceLock()) {
        std::fputs("Quillmar is not starting: no single-instance lock could be made in the runtime folder or in "
                   "the home folder, and a second instance would lose the first one's saved data.\n",
                   stderr);
        return 1;
    }

    if (QStyle* lp_style = QStyleFactory::create(QStringLiteral("Plastique")))
        QApplication::setStyle(lp_style);
    QuitEventLoopOnTerminationSignals();

    MainWindow l_window;
    l_application.SetSaveDataFunction([&l_window]() { l_window.SaveData(); });
    l_window.setVisible(true);
    l_window.Init();

    int l_result = TerminationRequested() ? 0 : l_application.exec();
    l_application.SetSaveDataFunction(nullptr);
    return l_result;
}
