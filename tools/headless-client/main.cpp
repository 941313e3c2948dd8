// The headless client: quillmar-headless-client [prepare KEY=VALUE... share=PATH...]
// Without arguments it loads the data file of $HOME, logs in when a user
// name is stored, scans its shares, and takes commands on standard input,
// one per line, until "quit" or the end of its input. With "prepare" it
// writes the settings and shared folders given into the data file of $HOME
// and ends. The channel is described in docs/headless-client.md.

#include "HeadlessClient.h"
#include "peers/ConnectionCount.h"
#include "tools/common/StdinLines.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    ConnectionCount::RaiseDescriptorLimit();
    QStringList l_arguments = l_app.arguments().mid(1);
    bool const l_prepare = !l_arguments.isEmpty() && l_arguments.first() == QLatin1String("prepare");
    if (!l_arguments.isEmpty() && !l_prepare) {
        std::fprintf(stderr, "usage: %s [prepare KEY=VALUE... share=PATH...]\n", argv[0]);
        return 2;
    }

    HeadlessClient l_client([](QString const& i_line) {
        QByteArray const l_bytes = (i_line + QLatin1Char('\n')).toUtf8();
        std::fwrite(l_bytes.constData(), 1, size_t(l_bytes.size()), stdout);
        std::fflush(stdout);
    });
    if (!l_client.Load())
        return 1;
    if (l_prepare)
        return l_client.Prepare(l_arguments.mid(1)) ? 0 : 1;

    StdinLines l_commands;
    QObject::connect(&l_commands, &StdinLines::Line, &l_client, &HeadlessClient::RunCommand);
    QObject::connect(&l_commands, &StdinLines::Closed, &l_app, &QCoreApplication::quit);
    QObject::connect(&l_client, &HeadlessClient::QuitRequested, &l_app, &QCoreApplication::quit);
    l_client.Start();
    return l_app.exec();
}
