#include "app/Application.h"
#include "app/MainWindow.h"
#include "peers/ConnectionCount.h"
#include "server/Server.h"

#include <QCommandLineParser>
#include <QStyle>
#include <QStyleFactory>

#include <cstdio>

int main(int argc, char** argv)
{
    Application l_application(QStringLiteral("QuillmarQt"), argc, argv);
    QCommandLineParser l_parser;
    l_parser.addHelpOption();
    QCommandLineOption const l_server(QStringLiteral("server"),
                                      QStringLiteral("Log in to the server at HOST:PORT, now and at later starts."),
                                      QStringLiteral("HOST:PORT"));
    l_parser.addOption(l_server);
    l_parser.process(l_application);
    QString const l_serverAddress = l_parser.value(l_server).trimmed();
    QString l_host;
    quint16 l_port = 0;
    if (l_parser.isSet(l_server) && !Server::SplitServerAddress(l_serverAddress, l_host, l_port)) {
        std::fprintf(stderr, "Quillmar: \"%s\" is no server address; --server takes HOST:PORT, such as "
                             "localhost:2242.\n", qPrintable(l_serverAddress));
        return 2;
    }
    if (l_application.isRunning())
        return 0;
    if (!l_application.HoldsInstanceLock()) {
        std::fputs("Quillmar is not starting: no single-instance lock could be made in the runtime folder or in "
                   "the home folder, and a second instance would lose the first one's saved data.\n",
                   stderr);
        return 1;
    }

    // Room for the connections' bound and, beside it, for the files.
    ConnectionCount::RaiseDescriptorLimit();
    if (QStyle* lp_style = QStyleFactory::create(QStringLiteral("Plastique")))
        QApplication::setStyle(lp_style);
    QuitEventLoopOnTerminationSignals();

    MainWindow l_window;
    l_window.SetServerAddress(l_serverAddress);
    l_application.SetSaveDataFunction([&l_window]() { l_window.SaveData(); });
    l_window.setVisible(true);
    l_window.Init();

    int l_result = TerminationRequested() ? 0 : l_application.exec();
    l_application.SetSaveDataFunction(nullptr);
    return l_result;
}
