// Connections through the server: the stand-in server relays connect-back
// requests between this client and a second user ("bob") played by hand.

#include "PeerTestSupport.h"
#include "../server/ServerTestHelpers.h"
#include "peers/PeerMessenger.h"

using ConnectBack = ServerIn::ConnectBack;

class PeerRelayTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StandinProcess> mp_standin;
    Server* mp_server = nullptr;
    PeerMessenger* mp_messenger = nullptr;
    RawClient m_bob;
    QTcpServer m_bobListener;

    // Bob tells the server where he listens. The stand-in handles frames in
    // order: a peer-address request answered means the ports are recorded.
    void BobListensOn(quint16 i_port)
    {
        m_bob.Send(ServerOut::ListeningPorts(i_port, 0));
        m_bob.Send(ServerOut::GetPeerAddress("bob"));
        QVERIFY(m_bob.mp_collector->Take(ServerCode::PEER_ADDRESS));
    }

    // Waits for the server's relay of our connect-back request.
    bool TakeConnectBack(ConnectBack& o_request)
    {
        QByteArray l_payload;
        if (!m_bob.mp_collector->Take(ServerCode::CONNECT_BACK, &l_payload))
            return false;
        MemStream l_in(l_payload);
        ServerMessage const l_message = DecodeServerMessage(ServerCode::CONNECT_BACK, l_in);
        o_request = std::get_if<ConnectBack>(&l_message) ? std::get<ConnectBack>(l_message) : ConnectBack();
        return !o_request.m_user.isEmpty();
    }

    // The connect-back handshake, and whatever bob sends in the same write.
    std::unique_ptr<QTcpSocket> BobConnectsBack(ConnectBack const& i_request, QByteArray const& i_after = {})
    {
        auto lp_socket = std::make_unique<QTcpSocket>();
        lp_socket->connectToHost(QHostAddress(i_request.m_ip), quint16(i_request.m_port));
        if (!lp_socket->waitForConnected(WAIT_MS))
            return nullptr;
        lp_socket->write(PeerWire::BuildFrame(PeerWire::BuildConnectBackHandshake(i_request.m_token, "bob"), false) +
                         i_after);
        return lp_socket;
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QTcpSocket*>();
        DeclareSettingsTypes();
        mp_standin = std::make_unique<StandinProcess>();
        QVERIFY(mp_standin->Start());
        PointAt(mp_standin->Port(), "me", "pw");
        SetSetting("listening_port", qint64(0));
        mp_server = new Server;
        mp_server->CreateData();
        mp_messenger = new PeerMessenger;
        mp_messenger->DataLoaded();
        QSignalSpy l_connected(mp_server, &Server::Connected);
        mp_server->Connect();
        QVERIFY(l_connected.wait(WAIT_MS));
        QVERIFY(m_bob.Login(mp_standin->Port(), "bob"));
        QVERIFY(m_bobListener.listen(QHostAddress::LocalHost, 0));
    }

    void cleanupTestCase()
    {
        delete mp_messenger;
        delete mp_server;
        mp_standin.reset();
    }

    // Bob cannot be reached directly; the server has him connect back and
    // the queued message flows.
    void messagesFlowThroughAConnectBack()
    {
        BobListensOn(ClosedPort());
        MemStream l_message(Msg(15));
        mp_messenger->SendMessage("bob", l_message);
        ConnectBack l_request;
        QVERIFY(TakeConnectBack(l_request));
        QCOMPARE(l_request.m_user + l_request.m_type, QString("meP"));
        QCOMPARE(l_request.m_port, int(mp_messenger->ListeningPort()));
        auto lp_socket = BobConnectsBack(l_request);
        QVERIFY(lp_socket);
        QByteArray l_payload;
        QVERIFY(AwaitFrame(*lp_socket, l_payload));
        QCOMPARE(l_payload, Msg(15));
        QCOMPARE(mp_messenger->UnsentMessageCount("bob"), 0);
    }

    void rolesSurviveTheRelay_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("weAsk");
        QTest::newRow("file we ask for") << QString("F") << true;
        QTest::newRow("file bob asks for") << QString("F") << false;
        QTest::newRow("distributed we ask for") << QString("D") << true;
        QTest::newRow("distributed bob asks for") << QString("D") << false;
    }

    // Whoever asked gets the "accepted" signal, the other side the
    // "requested" one, however the connection went through the server; the
    // F token is read by the side that did not ask, and not one byte more.
    // Only the user asked, with the token given, is taken.
    void rolesSurviveTheRelay()
    {
        QFETCH(QString, type);
        QFETCH(bool, weAsk);
        bool l_file = type == QLatin1String("F");
        QSignalSpy l_handed(mp_messenger, l_file ? (weAsk ? SIGNAL(FileConnectionAccepted(QString, QTcpSocket*))
                                                          : SIGNAL(FileConnectionRequested(QString, QTcpSocket*, uint)))
                                                 : (weAsk ? SIGNAL(DNetConnectionAccepted(QString, QTcpSocket*))
                                                          : SIGNAL(DNetConnectionRequested(QString, QTcpSocket*))));
        std::unique_ptr<QTcpSocket> lp_bob;
        if (weAsk) {
            BobListensOn(ClosedPort());
            SetUserAddress("bob", ClosedPort());
            l_file ? mp_messenger->RequestFileConnectionToUser("bob") : mp_messenger->RequestDNetConnection("bob");
            ConnectBack l_request;
            QVERIFY(TakeConnectBack(l_request));
            QCOMPARE(l_request.m_type, type);
            // Another name with bob's token gets nowhere.
            auto lp_stranger = ConnectRaw(mp_messenger->ListeningPort());
            lp_stranger->write(
                PeerWire::BuildFrame(PeerWire::BuildConnectBackHandshake(l_request.m_token, "mallory"), false));
            QVERIFY(AwaitClosed(*lp_stranger));
            QCOMPARE(l_handed.count(), 0);
            lp_bob = BobConnectsBack(l_request, "ABCDEFGH");
        } else {
            // Bob, listening, asks through the server; we connect to him.
            BobListensOn(m_bobListener.serverPort());
            m_bob.Send(ServerOut::ConnectBack(555, "me", type));
            PeerWire::Handshake l_handshake;
            lp_bob = AcceptHandshake(m_bobListener, l_handshake);
            QVERIFY(lp_bob);
            QCOMPARE(QString("%1 %2 %3").arg(l_handshake.m_code).arg(l_handshake.m_user).arg(l_handshake.m_token),
                     QString("0 me 555"));
            lp_bob->write((l_file ? Le32(4242) : QByteArray()) + "ABCDEFGH");
        }
        QVERIFY(lp_bob);
        QTRY_COMPARE(l_handed.count(), 1);
        QCOMPARE(l_handed.at(0).at(0).toString(), QString("bob"));
        if (l_file && !weAsk)
            QCOMPARE(l_handed.at(0).at(2).toUInt(), 4242u);
        std::unique_ptr<QTcpSocket> l_owned(l_handed.at(0).at(1).value<QTcpSocket*>());
        QTRY_COMPARE(l_owned->bytesAvailable(), qint64(8));
        QCOMPARE(l_owned->readAll(), QByteArray("ABCDEFGH"));
    }

    void cannotConnectGoesToTheServer_data()
    {
        QTest::addColumn<bool>("hangs");
        QTest::newRow("refused") << false;
        QTest::newRow("no answer within our time") << true;
    }

    // We cannot reach bob for his request: the server hears so when the
    // connection is refused, or when our own time for it is up, not at the
    // next sweep.
    void cannotConnectGoesToTheServer()
    {
        QFETCH(bool, hangs);
        HangingPort l_hanging;
        PeerMessenger::Limits l_limits;
        l_limits.m_connectBackMs = 300;
        mp_messenger->SetLimits(l_limits);
        BobListensOn(hangs ? l_hanging.Port() : ClosedPort());
        m_bob.Send(ServerOut::ConnectBack(556, "me", "P"));
        QByteArray l_payload;
        QVERIFY(m_bob.mp_collector->Take(ServerCode::CANNOT_CONNECT, &l_payload));
        QCOMPARE(l_payload, H("2c020000 02000000") + "me");
        mp_messenger->SetLimits(PeerMessenger::Limits());
    }

    // A connection from another address calling itself bob: the server
    // places bob elsewhere, so it gets none of bob's waiting messages and
    // its transfer messages and requests come to nothing; bob's own
    // connection counts once the server has said where he is.
    void impostorFromAnotherAddress()
    {
        QTRY_COMPARE(mp_messenger->OpenMessagingConnectionCount("bob"), 0);
        MemStream l_waiting(H("3c000000 01000000 77 0100000000000000"));
        mp_messenger->SendMessage("bob", l_waiting);
        QStringList l_queued;
        connect(mp_messenger, &PeerMessenger::QueueUploadRequested, this,
                [&](QString i_user, QString i_file) { l_queued << i_user + " " + i_file; });
        QSignalSpy l_info(mp_messenger, &PeerMessenger::UserInfoRequested);
        auto lp_impostor = ConnectRaw(mp_messenger->ListeningPort(), "127.0.0.2");
        lp_impostor->write(HandshakeFrame("bob", "P") + PeerWire::BuildFrame(Msg(43, H("01000000 78")), false));
        auto lp_bob = ConnectRaw(mp_messenger->ListeningPort());
        lp_bob->write(HandshakeFrame("bob", "P") + PeerWire::BuildFrame(Msg(43, H("01000000 79")), false) +
                      PeerWire::BuildFrame(Msg(15), false));
        QByteArray l_payload;
        QVERIFY(AwaitFrame(*lp_bob, l_payload));
        QCOMPARE(l_payload, l_waiting.ToByteArray());
        QVERIFY(l_info.count() == 1 || l_info.wait(WAIT_MS));
        QTRY_COMPARE(l_queued, QStringList({"bob y"}));
        QSignalSpy l_impostorInfo(mp_messenger, &PeerMessenger::UserInfoReceived);
        lp_impostor->write(PeerWire::BuildFrame(Msg(43, H("01000000 7a")), false) +
                           PeerWire::BuildFrame(Msg(15), false) + PeerWire::BuildFrame(WHOLE_MESSAGES[0], false));
        QVERIFY(l_impostorInfo.wait(WAIT_MS));
        QCOMPARE(l_queued, QStringList({"bob y"}));
        QCOMPARE(l_info.count(), 1); // bob's request, answered once he was known
        QCOMPARE(lp_impostor->bytesAvailable(), qint64(0));
        disconnect(mp_messenger, nullptr, this, nullptr);
    }

    // Answers to a name that nobody answers to: the server cannot place
    // him, so they go, and he gets no more for a while; our own messages to
    // him still wait and are tried. After the hold he is tried again.
    void unreachableUserGetsNoAnswers()
    {
        QSignalSpy l_failed(mp_messenger, &PeerMessenger::ConnectionToUserFailed);
        MemStream l_answer(Msg(9, "x"));
        MemStream l_own(Msg(15));
        mp_messenger->SendMessageToUser("ghost", l_answer);
        mp_messenger->SendMessage("ghost", l_own);
        QCOMPARE(mp_messenger->UnsentMessageCount("ghost"), 2);
        QVERIFY(l_failed.wait(WAIT_MS));
        QCOMPARE(mp_messenger->UnsentMessageCount("ghost"), 1);
        mp_messenger->SendMessageToUser("ghost", l_answer);
        QCOMPARE(mp_messenger->UnsentMessageCount("ghost") + mp_messenger->AttemptCount(), 1);
        mp_messenger->SendMessage("ghost", l_own);
        QCOMPARE(mp_messenger->UnsentMessageCount("ghost"), 2);
        QCOMPARE(mp_messenger->AttemptCount(), 1);
        QVERIFY(l_failed.wait(WAIT_MS));
        PeerMessenger::Limits l_limits;
        l_limits.m_unreachableHoldMs = 0;
        mp_messenger->SetLimits(l_limits);
        mp_messenger->SendMessageToUser("ghost", l_answer);
        QCOMPARE(mp_messenger->UnsentMessageCount("ghost"), 3);
        QVERIFY(l_failed.wait(WAIT_MS));
        QCOMPARE(mp_messenger->UnsentMessageCount("ghost"), 2);
        mp_messenger->SetLimits(PeerMessenger::Limits());
    }

    // A user we could not reach who then reaches us (he restarted) is
    // answered over his own connection: the hold is for names nobody
    // answers to. His request for our share list went unanswered for five
    // minutes.
    void unreachableUserWhoConnectsIsAnswered()
    {
        BobListensOn(ClosedPort());
        mp_messenger->SetAttemptTimeouts(300, 300, 300);
        QSignalSpy l_failed(mp_messenger, &PeerMessenger::ConnectionToUserFailed);
        MemStream l_answer(Msg(9, "x"));
        mp_messenger->SendMessageToUser("bob", l_answer);
        QVERIFY(l_failed.wait(WAIT_MS));
        mp_messenger->SetAttemptTimeouts(4000, 5000, 12000);
        QCOMPARE(mp_messenger->UnsentMessageCount("bob"), 0);
        auto lp_bob = ConnectRaw(mp_messenger->ListeningPort());
        lp_bob->write(HandshakeFrame("bob", "P") + PeerWire::BuildFrame(Msg(15), false));
        QTRY_COMPARE(mp_messenger->OpenMessagingConnectionCount("bob"), 1);
        mp_messenger->SendMessageToUser("bob", l_answer);
        QByteArray l_payload;
        QVERIFY(AwaitFrame(*lp_bob, l_payload));
        QCOMPARE(l_payload, l_answer.ToByteArray());
    }

    // Each phase of our own attempt ends on its timer: the direct one that
    // hangs, then the wait for bob to connect back; then the failure.
    void attemptPhasesTimeOut()
    {
        HangingPort l_hanging;
        SetUserAddress("bob", l_hanging.Port());
        mp_messenger->SetAttemptTimeouts(300, 300, 300);
        QSignalSpy l_failed(mp_messenger, &PeerMessenger::ConnectionToUserFailed);
        mp_messenger->RequestFileConnectionToUser("bob");
        ConnectBack l_request;
        QVERIFY(TakeConnectBack(l_request));
        QVERIFY(l_failed.wait(WAIT_MS));
        QCOMPARE(l_failed.at(0), QList<QVariant>({"bob", "F"}));
        mp_messenger->SetAttemptTimeouts(4000, 5000, 12000);
    }
};

QTEST_MAIN(PeerRelayTest)
#include "PeerRelayTest.moc"
