// The server link against the stand-in server, run as a real process on
// loopback: login, loss, reconnection, a login elsewhere and private rooms.

#include "ServerTestHelpers.h"

class ServerLinkTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StandinProcess> mp_standin;
    std::unique_ptr<Server> mp_server;

    // A new link pointed at the stand-in server as alice.
    Server& MakeServer()
    {
        mp_server = std::make_unique<Server>();
        mp_server->CreateData();
        PointAt(mp_standin->Port());
        return *mp_server;
    }

    bool LogIn(Server& io_server)
    {
        QSignalSpy l_connected(&io_server, &Server::Connected);
        io_server.Connect();
        return l_connected.count() == 1 || l_connected.wait(WAIT_MS);
    }

private slots:
    void init()
    {
        ResetStore();
        mp_standin = std::make_unique<StandinProcess>();
        QVERIFY(mp_standin->Start());
    }

    // After each test, the stand-in stops cleanly on TERM.
    void cleanup()
    {
        mp_server.reset();
        QProcess& l_process = mp_standin->m_process;
        l_process.terminate();
        QVERIFY(l_process.waitForFinished(WAIT_MS) && l_process.exitStatus() == QProcess::NormalExit);
        QVERIFY(l_process.exitCode() == 0 && l_process.readAllStandardOutput().contains("stopped"));
        mp_standin.reset();
    }

    // A lost link keeps the rooms and is resumed on the next tick, with the
    // tracked users asked for again; a login elsewhere is not resumed.
    void LinkLossAndLoginElsewhere()
    {
        RawClient l_bob;
        QVERIFY(l_bob.Login(mp_standin->Port(), "bob"));
        l_bob.Send(ServerOut::JoinRoom("lobby", false));
        QVERIFY(l_bob.mp_collector->Take(ServerCode::JOIN_ROOM));

        Server& l_server = MakeServer();
        l_server.TrackUser("bob"); // offline: only remembered
        QVERIFY(LogIn(l_server));
        QTRY_VERIFY(User("bob").IsConnected("is_online"));

        l_server.EnterRoom("lobby", false);
        QTRY_COMPARE(RoomState("lobby"), QString("in_room, bob, alice, count 2"));

        QSignalSpy l_disconnected(&l_server, &Server::Disconnected);
        mp_standin->Command("kick alice");
        QVERIFY(l_disconnected.wait(WAIT_MS));
        QCOMPARE(l_server.GetState(), Server::STATE_DISCONNECTED);
        QCOMPARE(d.GetType("is_online")->GetGlobalNullItem().CountItems("user"), std::size_t(0));
        QCOMPARE(RoomState("lobby"), QString("in_room, bob, alice, count 2"));
        QVERIFY(l_server.IsAbruptlyDisconnected());

        // The next half-minute tick logs in again and asks for bob again.
        QSignalSpy l_connected(&l_server, &Server::Connected);
        l_server.EveryHalfMinute();
        QVERIFY(l_connected.wait(WAIT_MS));
        QTRY_VERIFY(User("bob").IsConnected("is_online"));

        // Another login with the account ends the link for good.
        QSignalSpy l_elsewhere(&l_server, &Server::LoggedInElsewhere);
        RawClient l_twin;
        QVERIFY(l_twin.Login(mp_standin->Port(), "alice", "secret"));
        QVERIFY(l_elsewhere.count() == 1 || l_elsewhere.wait(WAIT_MS));
        QVERIFY(l_disconnected.count() == 2 && !l_server.IsAbruptlyDisconnected());
        QSignalSpy l_connecting(&l_server, &Server::Connecting);
        l_server.EveryHalfMinute(); // nothing to resume
        QCOMPARE(l_connecting.count(), 0);
    }

    void PrivateRoomsAndTickers()
    {
        RawClient l_bob;
        QVERIFY(l_bob.Login(mp_standin->Port(), "bob"));
        Server& l_server = MakeServer();
        QVERIFY(LogIn(l_server));

        // Joining a room that does not exist as private creates it, owned.
        QString const l_owned = "in_room, is_owner, is_member, alice, ";
        l_server.EnterRoom("club", true);
        QTRY_COMPARE(RoomState("club"), l_owned + "count 1, owner alice, members alice");

        l_server.AddPrivateRoomMember("club", "bob");
        QVERIFY(l_bob.mp_collector->Take(ServerCode::PRIVATE_ROOM_STATE));
        l_bob.Send(ServerOut::JoinRoom("club", false));
        QTRY_COMPARE(RoomState("club"), l_owned + "bob, count 2, owner alice, members alice, members bob");

        l_server.SetRoomTicker("club", "my ticker");
        QVERIFY(l_bob.mp_collector->Take(ServerCode::ROOM_TICKER_SET));

        // The owner removes bob: he is out of the room and its members.
        l_server.RemovePrivateRoomMember("club", "bob");
        QVERIFY(l_bob.mp_collector->Take(ServerCode::PRIVATE_ROOM_REMOVED));
        QTRY_COMPARE(RoomState("club"), l_owned + "count 1, alice: my ticker, owner alice, members alice");
    }
};

QTEST_MAIN(ServerLinkTest)
#include "ServerLinkTest.moc"
