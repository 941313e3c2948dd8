// The stand-in server: what it answers, and against clients that misbehave:
// it keeps its memory, its connections and its event loop bounded, and still
// serves the others.
// Run in the test's own process, so that its limits and clock can be set.

#include "ServerTestHelpers.h"
#include "tools/standin-server/StandinServer.h"

class StandinLimitsTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StandinServer> mp_server;
    qint64 m_now = 0;

    // A stand-in on a system-picked port, with the limits i_change sets.
    void Start(std::function<void(StandinServer::Limits&)> const& i_change)
    {
        StandinServer::Limits l_limits;
        i_change(l_limits);
        mp_server = std::make_unique<StandinServer>();
        mp_server->SetLimits(l_limits);
        mp_server->SetClock([this]() { return m_now; });
        QVERIFY(mp_server->Listen(0));
    }

    // A raw connection that has sent i_bytes and is still open once the
    // stand-in has read them and the event loop has come round (a close it
    // put off would have come before).
    bool StaysOpen(QTcpSocket& io_socket, QByteArray const& i_bytes)
    {
        qint64 const l_read = mp_server->BytesRead() + i_bytes.size();
        int const l_connections = mp_server->ConnectionCount();
        io_socket.write(i_bytes);
        io_socket.flush();
        auto const l_open = [&]() { return mp_server->ConnectionCount() == l_connections; };
        WaitUntil([&]() { return !l_open() || mp_server->BytesRead() >= l_read; });
        return mp_server->BytesRead() >= l_read && LoopComesRound() && l_open()
               && io_socket.state() == QAbstractSocket::ConnectedState;
    }

    // One that the server closes after it has sent i_bytes.
    bool Closes(QTcpSocket& io_socket, QByteArray const& i_bytes)
    {
        io_socket.write(i_bytes);
        io_socket.flush();
        return WaitUntil([&io_socket]() { return io_socket.state() != QAbstractSocket::ConnectedState; });
    }

private slots:
    void cleanup() { mp_server.reset(); }

    void ListenerPausesAtTheConnectionLimit()
    {
        Start([](StandinServer::Limits& o_limits) { o_limits.m_connections = 3; });
        QTcpSocket l_clients[5];
        for (QTcpSocket& l_client : l_clients)
            l_client.connectToHost(QHostAddress::LocalHost, mp_server->Port());
        for (QTcpSocket& l_client : l_clients)
            QVERIFY(l_client.waitForConnected(WAIT_MS));
        // All five wait to be accepted before the first's login is answered.
        FrameCollector l_first(&l_clients[0]);
        l_clients[0].write(Frame(ServerCode::LOGIN, ServerOut::Login("first", "pw").m_payload));
        QVERIFY(l_first.Take(ServerCode::LOGIN));
        QCOMPARE(mp_server->ConnectionCount(), 3);
        // Connections that close make room for both that waited.
        for (int l_index = 0; l_index < 3; ++l_index)
            l_clients[l_index].abort();
        QTRY_COMPARE(mp_server->ConnectionCount(), 2);
    }

    void FrameSizeAndStallLimits()
    {
        Start([](StandinServer::Limits& o_limits) { o_limits.m_frameBeforeLogin = 1000; });
        // Before login: a frame of the largest length allowed is read, a
        // longer one closes the connection.
        QTcpSocket l_small, l_large;
        for (QTcpSocket* lp_socket : {&l_small, &l_large}) {
            lp_socket->connectToHost(QHostAddress::LocalHost, mp_server->Port());
            QVERIFY(lp_socket->waitForConnected(WAIT_MS));
        }
        QTRY_COMPARE(mp_server->ConnectionCount(), 2); // accepted, so that StaysOpen may count them
        QVERIFY(StaysOpen(l_small, QByteArray::fromHex("e8030000ca000000") + QByteArray(996, 'x')));
        QVERIFY(Closes(l_large, QByteArray::fromHex("e9030000ca000000")));
        // After login the protocol's own limit holds.
        RawClient l_alice;
        QVERIFY(l_alice.Login(mp_server->Port(), "alice"));
        QVERIFY(StaysOpen(l_alice.m_socket, QByteArray::fromHex("a0860100ca000000") + QByteArray(99996, 'x')));

        // A frame that gets no byte for longer than the stall time closes
        // its connection; a connection with nothing unfinished stays.
        QVERIFY(StaysOpen(l_small, QByteArray::fromHex("10000000")));
        m_now += StandinServer::Limits().m_stallMs;
        mp_server->DropStalledFrames();
        QVERIFY(StaysOpen(l_small, QByteArray()));
        m_now += 1;
        mp_server->DropStalledFrames();
        QVERIFY(Closes(l_small, QByteArray()));
        QVERIFY(StaysOpen(l_alice.m_socket, QByteArray()));
    }

    void UnfinishedFramesAreCappedTogether()
    {
        Start([](StandinServer::Limits& o_limits) { o_limits.m_unfinishedFrames = 1000000; });
        RawClient l_first, l_second;
        QVERIFY(l_first.Login(mp_server->Port(), "first"));
        QVERIFY(l_second.Login(mp_server->Port(), "second"));
        QByteArray const l_half = QByteArray::fromHex("00003000ca000000") + QByteArray(600000, 'x');
        QVERIFY(StaysOpen(l_first.m_socket, l_half));
        // The one that passes the cap goes; the other is not harmed.
        QVERIFY(Closes(l_second.m_socket, l_half));
        QVERIFY(StaysOpen(l_first.m_socket, QByteArray(10, 'x')));
    }

    void ClientThatDoesNotReadIsDropped()
    {
        Start([](StandinServer::Limits& o_limits) { o_limits.m_unsentOutput = 256 * 1024; });
        RawClient l_reader, l_sleeper;
        QVERIFY(l_reader.Login(mp_server->Port(), "reader"));
        // A small window, and a buffer that is never read once full.
        l_sleeper.m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 8192);
        QVERIFY(l_sleeper.Login(mp_server->Port(), "sleeper"));
        l_sleeper.mp_collector.reset();
        l_sleeper.m_socket.setReadBufferSize(1024);
        // Each request is answered with its 64 KiB name.
        ServerRequest const l_request = ServerOut::GetUserStats(QString(65536, QLatin1Char('n')));
        for (int l_index = 0; l_index < 400 && mp_server->ConnectionCount() == 2; ++l_index) {
            l_sleeper.Send(l_request);
            QTest::qWait(5);
        }
        QTRY_COMPARE(mp_server->ConnectionCount(), 1);
        // The server still answers the others.
        l_reader.Send(ServerCode::PRIVILEGES);
        QVERIFY(l_reader.mp_collector->Take(ServerCode::PRIVILEGES));
    }

    // Watching a name that has no account yet (the stand-in restarted)
    // tells the watcher when it logs in, up to a number of such names.
    void WatchersHearALoginWhateverTheOrder()
    {
        Start([](StandinServer::Limits& o_limits) { o_limits.m_watchedNames = 1; });
        RawClient l_alice, l_bob, l_carol;
        QVERIFY(l_alice.Login(mp_server->Port(), "alice"));
        QByteArray l_answer;
        for (char const* lp_user : {"bob", "carol"}) {
            l_alice.Send(ServerOut::AddUser(lp_user));
            QVERIFY(l_alice.mp_collector->Take(ServerCode::ADD_USER, &l_answer));
        }
        QCOMPARE(l_answer.toHex(), QByteArray("050000006361726f6c00"));
        QVERIFY(l_carol.Login(mp_server->Port(), "carol"));
        QVERIFY(l_bob.Login(mp_server->Port(), "bob"));
        QVERIFY(l_alice.mp_collector->Take(ServerCode::USER_STATUS, &l_answer));
        QCOMPARE(l_answer.toHex(), QByteArray("03000000626f620200000000"));
        QVERIFY(l_alice.GotNone(ServerCode::USER_STATUS));
    }

    // What the stand-in answers, each case on a new stand-in with alice (0)
    // and bob (1) logged in, each request handled before the next is sent.
    // An answer's first bytes may be left out (a message's id and time).
    void Answers()
    {
        struct Case
        {
            char const* mp_name;
            std::vector<std::pair<int, ServerRequest>> m_requests;
            int m_to;
            quint32 m_code;
            int m_skip;
            char const* mp_hex;
        };
        auto Search = [](char const* ip_text) { return std::pair(0, ServerOut::FileSearch(1, ip_text, false)); };
        Case const l_cases[] = {
            {"a private line", {{0, *ServerOut::PrivateChat("bob", "hi")}}, 1, 22, 8,
             "05000000 616c696365 02000000 6869 01"},
            {"nobody's address", {{0, ServerOut::GetPeerAddress("nobody")}}, 0, 210, 0,
             "06000000 6e6f626f6479 00000000 00000000 00000000"},
            {"an offline user asked to connect back", {{0, ServerOut::ConnectBack(56, "ghost", "F")}}, 0, 212, 0,
             "38000000 05000000 67686f7374"},
            {"a gift of two days", {{0, ServerOut::GiftPrivileges("bob", 2)}, {1, ServerOut::GetOwnPrivileges()}},
             1, 92, 0, "00a30200"},
            {"a room line",
             {{1, ServerOut::JoinRoom("lobby", false)}, {0, ServerOut::JoinRoom("lobby", false)},
              {0, ServerOut::RoomChat("lobby", "hi")}},
             1, 13, 0, "05000000 6c6f626279 05000000 616c696365 02000000 6869"},
            {"a new private room is its creator's",
             {{0, ServerOut::JoinRoom("club", true)}, {0, ServerOut::GetRoomList()}}, 0, 64, 0,
             "00000000 01000000 04000000 636c7562 01000000 00000000 00000000"},
            // Searches that hold the word, by count, but the word itself.
            {"related searches",
             {Search("hard rock"), Search("rock live"), Search("jazz"), Search("rock live"), Search("Rock"),
              Search("rock and roll"), Search("rock live"), Search("jazz"), Search("Rock"), Search("jazz"),
              Search("rock and roll"), Search("Rock"), Search("jazz"), Search("Rock"),
              {0, ServerOut::GetSearchCorrelations("rock")}},
             0, 230, 0,
             "04000000 726f636b 03000000 09000000 726f636b206c697665 03000000"
             " 0d000000 726f636b20616e6420726f6c6c 02000000 09000000 6861726420726f636b 01000000"},
        };
        for (Case const& l_case : l_cases) {
            Start([](StandinServer::Limits&) {});
            RawClient l_users[2];
            QVERIFY(l_users[0].Login(mp_server->Port(), "alice") && l_users[1].Login(mp_server->Port(), "bob"));
            for (auto const& [l_from, l_request] : l_case.m_requests) {
                l_users[l_from].Send(l_request);
                l_users[l_from].Send(ServerOut::GetUserStats("alice"));
                QVERIFY(l_users[l_from].mp_collector->Take(ServerCode::USER_STATS));
            }
            QByteArray l_answer;
            QVERIFY2(l_users[l_case.m_to].mp_collector->Take(l_case.m_code, &l_answer), l_case.mp_name);
            QCOMPARE(l_answer.mid(l_case.m_skip).toHex(), QByteArray::fromHex(l_case.mp_hex).toHex());
        }
    }
};

QTEST_MAIN(StandinLimitsTest)
#include "StandinLimitsTest.moc"
