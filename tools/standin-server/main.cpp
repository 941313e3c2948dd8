// The stand-in server: quillmar-standin-server PORT
// PORT 0 lets the system choose; the chosen port is printed as the first
// line ("listening on port N"). One line per message goes to standard
// output. Commands are read from standard input, one per line (see
// StandinServer::RunCommand). SIGTERM and SIGINT stop it.

#include "StandinServer.h"
#include "tools/common/StdinLines.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int s_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    char const l_byte = 1;
    ssize_t l_ignored = ::write(s_signalPipe[1], &l_byte, 1);
    (void)l_ignored;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    QStringList const l_arguments = l_app.arguments();
    bool l_ok = l_arguments.size() == 2;
    uint const l_port = l_ok ? l_arguments.at(1).toUInt(&l_ok) : 0;
    if (!l_ok || l_port > 65535) {
        std::fprintf(stderr, "usage: %s PORT   (0 = let the system choose)\n", argv[0]);
        return 2;
    }

    // Signals reach the event loop through a socket pair.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, s_signalPipe) != 0) {
        std::perror("socketpair");
        return 1;
    }
    QSocketNotifier l_signalNotifier(s_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&l_signalNotifier, &QSocketNotifier::activated, &l_app, [&]() {
        char l_byte = 0;
        ssize_t l_ignored = ::read(s_signalPipe[0], &l_byte, 1);
        (void)l_ignored;
        std::printf("stopping on signal\n");
        std::fflush(stdout);
        l_app.quit();
    });
    struct sigaction l_action = {};
    l_action.sa_handler = OnSignal;
    sigemptyset(&l_action.sa_mask);
    sigaction(SIGTERM, &l_action, nullptr);
    sigaction(SIGINT, &l_action, nullptr);

    StandinServer l_server;
    if (!l_server.Listen(quint16(l_port))) {
        std::fprintf(stderr, "cannot listen on port %u\n", l_port);
        return 1;
    }
    std::printf("listening on port %u\n", unsigned(l_server.Port()));
    std::fflush(stdout);
    QObject::connect(&l_server, &StandinServer::QuitRequested, &l_app, &QCoreApplication::quit);

    // Commands, one per line; once standard input closes, it keeps serving.
    StdinLines l_commands;
    QObject::connect(&l_commands, &StdinLines::Line, &l_server, &StandinServer::RunCommand);

    int const l_result = l_app.exec();
    std::printf("stopped\n");
    std::fflush(stdout);
    return l_result;
}
