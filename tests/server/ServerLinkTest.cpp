// The server link against the stand-in server, run as a real process on
// loopback: login, loss, reconnection, refusals and a few relays.

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
        return l_connected.wait(5000) || l_connected.count() == 1;
    }

    // How many attempts the half-minute reconnection tick starts.
    int AttemptsOnTick(Server& io_server)
    {
        QSignalSpy l_connecting(&io_server, &Server::Connecting);
        io_server.EveryHalfMinute();
        return l_connecting.count();
    }

private slots:
    void init()
    {
        ResetStore();
        mp_standin = std::make_unique<StandinProcess>();
        QVERIFY(mp_standin->Start());
    }

    void cleanup()
    {
        mp_server.reset();
        mp_standin.reset();
    }

    void LoginEmitsConnectingThenConnected()
    {
        Server& l_server = MakeServer();
        QSignalSpy l_connecting(&l_server, &Server::Connecting);
        // Without a user name nothing starts.
        SetSetting("username", QString());
        l_server.Connect();
        QCOMPARE(l_connecting.count(), 0);
        PointAt(mp_standin->Port());
        QStringList l_order;
        connect(&l_server, &Server::Connecting, this, [&]() { l_order << "connecting"; });
        connect(&l_server, &Server::Connected, this, [&]() { l_order << "connected"; });
        QVERIFY(LogIn(l_server));
        QCOMPARE(l_order, QStringList({"connecting", "connected"}));
        QVERIFY(l_server.IsAbruptlyDisconnected());
        // A second Connect while logged in starts nothing.
        l_server.Connect();
        QCOMPARE(l_connecting.count(), 1);
        // The user's disconnect stops reconnection; he can connect again.
        QSignalSpy l_disconnected(&l_server, &Server::Disconnected);
        l_server.Disconnect();
        QCOMPARE(l_disconnected.count(), 1);
        QVERIFY(!l_server.IsAbruptlyDisconnected());
        QCOMPARE(AttemptsOnTick(l_server), 0);
        QVERIFY(LogIn(l_server));
    }

    void LinkLossKeepsRoomsAndReconnectsWithTrackedUsers()
    {
        RawClient l_bob;
        QVERIFY(l_bob.Login(mp_standin->Port(), "bob"));
        l_bob.Send(ServerOut::JoinRoom("lobby", false));
        QVERIFY(l_bob.mp_collector->Take(ServerCode::JOIN_ROOM));

        Server& l_server = MakeServer();
        QSignalSpy l_answers(&l_server, &Server::AddUserResponse);
        l_server.TrackUser("bob"); // offline: only remembered
        QVERIFY(LogIn(l_server));
        QTRY_COMPARE(l_answers.count(), 1);
        QCOMPARE(l_answers.at(0), QList<QVariant>({"bob", true}));
        QVERIFY(User("bob").IsConnected("is_online"));

        l_server.EnterRoom("lobby", false);
        QTRY_COMPARE(RoomState("lobby"), QString("in_room, bob, alice, count 2"));

        QSignalSpy l_disconnected(&l_server, &Server::Disconnected);
        mp_standin->Command("kick alice");
        QVERIFY(l_disconnected.wait(5000));
        QCOMPARE(l_server.GetState(), Server::STATE_DISCONNECTED);
        QCOMPARE(d.GetType("is_online")->GetGlobalNullItem().CountItems("user"), std::size_t(0));
        QCOMPARE(RoomState("lobby"), QString("in_room, bob, alice, count 2"));
        QVERIFY(l_server.IsAbruptlyDisconnected());

        // The next half-minute tick logs in again and asks for bob again.
        QSignalSpy l_connected(&l_server, &Server::Connected);
        l_server.EveryHalfMinute();
        QVERIFY(l_connected.wait(5000));
        QTRY_COMPARE(l_answers.count(), 2);
        QTRY_VERIFY(User("bob").IsConnected("is_online"));
    }

    // A refused login or connection: a known-bad login would only be
    // refused again, and where none was sent there is nothing to resume.
    void RefusalsStopRetrying()
    {
        RawClient l_carol;
        QVERIFY(l_carol.Login(mp_standin->Port(), "carol", "right"));
        QTcpServer l_probe;
        QVERIFY(l_probe.listen(QHostAddress::LocalHost, 0));
        quint16 const l_deadPort = l_probe.serverPort();
        l_probe.close();
        Server& l_server = MakeServer();
        struct Case
        {
            QString m_user;
            quint16 m_port;
            char const* mp_reason;
        } const l_cases[] = {{"carol", mp_standin->Port(), "INVALIDPASS"},
                             {QString(31, QLatin1Char('x')), mp_standin->Port(), "INVALIDUSERNAME"},
                             {"carol", l_deadPort, "socket error"}};
        for (Case const& l_case : l_cases) {
            PointAt(l_case.m_port, l_case.m_user, "wrong");
            QSignalSpy l_failed(&l_server, &Server::ConnectionFailed);
            QSignalSpy l_disconnected(&l_server, &Server::Disconnected);
            l_server.Connect();
            QVERIFY(l_failed.wait(5000));
            QCOMPARE(l_failed.at(0).at(0).toString(), QString(l_case.mp_reason));
            QCOMPARE(l_disconnected.count(), 0);
            QVERIFY(!l_server.IsAbruptlyDisconnected());
            QCOMPARE(l_server.GetState(), Server::STATE_DISCONNECTED);
            QCOMPARE(AttemptsOnTick(l_server), 0);
        }
    }

    void LoginElsewhereEndsTheLinkForGood()
    {
        Server& l_server = MakeServer();
        PointAt(mp_standin->Port(), "dave", "pw");
        QVERIFY(LogIn(l_server));
        QSignalSpy l_elsewhere(&l_server, &Server::LoggedInElsewhere);
        QSignalSpy l_disconnected(&l_server, &Server::Disconnected);
        RawClient l_twin;
        QVERIFY(l_twin.Login(mp_standin->Port(), "dave", "pw"));
        QVERIFY(l_elsewhere.wait(5000) || l_elsewhere.count() == 1);
        QCOMPARE(l_disconnected.count(), 1);
        QVERIFY(!l_server.IsAbruptlyDisconnected());
        QCOMPARE(AttemptsOnTick(l_server), 0);
    }

    void RelaysPrivateChats()
    {
        RawClient l_bob;
        QVERIFY(l_bob.Login(mp_standin->Port(), "bob"));
        Server& l_server = MakeServer();
        QVERIFY(LogIn(l_server));

        QSignalSpy l_chat(&l_server, &Server::PrivateChat);
        l_bob.Send(*ServerOut::PrivateChat("alice", "hello alice"));
        QVERIFY(l_chat.wait(5000));
        QCOMPARE(l_chat.at(0).mid(0, 2), QList<QVariant>({"bob", "hello alice"}));
        QCOMPARE(l_chat.at(0).at(3).toBool(), true);

        QVERIFY(l_server.SendPrivateChat("bob", "two\nlines"));
        QByteArray l_received;
        QVERIFY(l_bob.mp_collector->Take(ServerCode::PRIVATE_CHAT, &l_received));
        MemStream l_in(l_received);
        auto const l_sent = std::get<ServerIn::PrivateChat>(DecodeServerMessage(ServerCode::PRIVATE_CHAT, l_in));
        QCOMPARE(l_sent.m_user + "|" + l_sent.m_text, QString("alice|two lines"));
        // (Relayed searches and administrators' messages: the search page's
        // road test and the main window's test.)
    }

    void PrivateRoomsTickersAndGifts()
    {
        RawClient l_bob;
        QVERIFY(l_bob.Login(mp_standin->Port(), "bob"));
        Server& l_server = MakeServer();
        QVERIFY(LogIn(l_server));

        // Joining a room that does not exist as private creates it, owned.
        l_server.EnterRoom("club", true);
        QTRY_COMPARE(RoomState("club"), QString("in_room, is_owner, is_member, alice, count 1, owner alice, members alice"));

        l_server.AddPrivateRoomMember("club", "bob");
        QVERIFY(l_bob.mp_collector->Take(ServerCode::PRIVATE_ROOM_STATE));
        l_bob.Send(ServerOut::JoinRoom("club", false));
        QTRY_COMPARE(RoomState("club"), QString("in_room, is_owner, is_member, alice, bob, count 2, owner alice, members alice, members bob"));

        QSignalSpy l_chat(&l_server, &Server::RoomChat);
        l_server.SendRoomChat("club", "welcome");
        QVERIFY(l_chat.wait(5000));
        QCOMPARE(l_chat.at(0), QList<QVariant>({"club", "alice", "welcome"}));

        l_server.SetRoomTicker("club", "my ticker");
        QVERIFY(l_bob.mp_collector->Take(ServerCode::ROOM_TICKER_SET));
        l_server.GetRoomList();
        QTRY_COMPARE(GetSetting("accept_room_list"), QString("no"));
        QCOMPARE(RoomState("club"), QString("in_room, is_owner, is_member, alice, bob, count 2, alice: my ticker, owner alice, members alice, members bob"));

        // Gifted privileges show in the receiver's own privileges answer.
        // The stand-in handles alice's requests in order, so the answer to
        // her next one means the gift is in.
        QSignalSpy l_stats(&l_server, &Server::ReceivedUserStats);
        l_server.GiftPrivileges("bob", 2);
        l_server.GetUserStats("alice");
        QVERIFY(l_stats.wait(5000));
        l_bob.Send(ServerCode::PRIVILEGES);
        QByteArray l_seconds;
        QVERIFY(l_bob.mp_collector->Take(ServerCode::PRIVILEGES, &l_seconds));
        QCOMPARE(l_seconds, QByteArray::fromHex("00a30200")); // 172800

        // The owner removes bob: he is out of the room and its members.
        l_server.RemovePrivateRoomMember("club", "bob");
        QVERIFY(l_bob.mp_collector->Take(ServerCode::PRIVATE_ROOM_REMOVED));
        QTRY_COMPARE(RoomState("club"), QString("in_room, is_owner, is_member, alice, count 1, alice: my ticker, owner alice, members alice"));
    }

    void PeerAddressesConnectBackAndParents()
    {
        RawClient l_bob;
        QVERIFY(l_bob.Login(mp_standin->Port(), "bob"));
        l_bob.Send(ServerOut::ListeningPorts(4000, 4001));
        l_bob.Send(ServerOut::DistributedFlag(ServerCode::DNET_CAN_PARENT, true));
        // An answer to a later request of bob's means both are in.
        l_bob.Send(ServerOut::GetUserStats("bob"));
        QVERIFY(l_bob.mp_collector->Take(ServerCode::USER_STATS));

        Server& l_server = MakeServer();
        SetSetting("listening_port", qint64(5000));
        SetSetting("obfuscated_listening_port", qint64(5001));
        QVERIFY(LogIn(l_server));

        QSignalSpy l_address(&l_server, &Server::PeerAddress);
        l_server.GetPeerAddress("bob");
        l_server.GetPeerAddress("nobody");
        QTRY_COMPARE(l_address.count(), 2);
        QCOMPARE(l_address.at(0), QList<QVariant>({"bob", quint32(0x7F000001), 4000, 4001}));
        QCOMPARE(l_address.at(1), QList<QVariant>({"nobody", quint32(0), 0, 0}));

        // The request reaches bob with alice's address and ports.
        QSignalSpy l_cannot(&l_server, &Server::CannotConnect);
        l_server.RequestConnectBack("bob", 55, "P");
        QByteArray l_request;
        QVERIFY(l_bob.mp_collector->Take(ServerCode::CONNECT_BACK, &l_request));
        MemStream l_in(l_request);
        QVERIFY(DecodeServerMessage(ServerCode::CONNECT_BACK, l_in)
                == ServerMessage(ServerIn::ConnectBack{"alice", "P", 0x7F000001, 5000, 55, false, 5001}));
        // bob could not reach alice; an offline user is not asked at all.
        l_bob.Send(ServerOut::CannotConnect(55, "alice"));
        QVERIFY(l_cannot.wait(5000));
        QCOMPARE(l_cannot.at(0), QList<QVariant>({"bob", quint32(55)}));
        l_server.RequestConnectBack("ghost", 56, "F");
        QTRY_COMPARE(l_cannot.count(), 2);
        QCOMPARE(l_cannot.at(1), QList<QVariant>({"ghost", quint32(56)}));

        // Without a parent, alice is offered the users that take children.
        PossibleParentList l_parents;
        bool l_offered = false;
        connect(&l_server, &Server::DNetPossibleParents, this, [&](PossibleParentList& i_parents) {
            l_parents = i_parents;
            l_offered = true;
        });
        l_server.SendDNetHasParent(false);
        QTRY_VERIFY(l_offered);
        QVERIFY(l_parents == PossibleParentList({{"bob", {0x7F000001, 4000}}}));
    }

    void StandinStopsOnTerm()
    {
        mp_standin->m_process.terminate();
        QVERIFY(mp_standin->m_process.waitForFinished(5000));
        QCOMPARE(mp_standin->m_process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(mp_standin->m_process.exitCode(), 0);
        QVERIFY(mp_standin->m_process.readAllStandardOutput().contains("stopped"));
    }
};

QTEST_MAIN(ServerLinkTest)
#include "ServerLinkTest.moc"
