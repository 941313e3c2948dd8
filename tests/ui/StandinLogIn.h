#ifndef QUILLMAR_TESTS_UI_STANDINLOGIN_H
#define QUILLMAR_TESTS_UI_STANDINLOGIN_H

// A page test's managers logged in to the stand-in server, run as a child
// process, as a user whose peers reach him on 127.0.0.1.

#include "../server/ServerTestHelpers.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "store/Settings.h"

#include <QSignalSpy>

// Starts the stand-in server and logs in to it as i_user (password "pw"),
// listening on a port the system picks.
inline bool LogInToStandin(StandinProcess& io_standin, Server& io_server, PeerMessenger& io_messenger,
                           QString const& i_user)
{
    if (!io_standin.Start())
        return false;
    PointAt(io_standin.Port(), i_user, "pw");
    SetSetting("listening_port", qint64(0));
    io_messenger.DataLoaded();
    QSignalSpy l_connected(&io_server, &Server::Connected);
    io_server.Connect();
    return l_connected.wait(WAIT_MS);
}

#endif
