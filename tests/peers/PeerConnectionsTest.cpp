// Peer connections over loopback: handshake, framing, obfuscation, the
// unsent queue, hand-over of file and distributed sockets, time-outs, and
// the bounds on sockets, buffers and connect-backs.

#include "PeerTestSupport.h"
#include "peers/ConnectionCount.h"
#include "peers/PeerMessenger.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "tests/HoldingListener.h"

#include <QtTest>

class PeerConnectionsTest : public QObject
{
    Q_OBJECT

private:
    PeerMessenger* mp_messenger = nullptr;
    qint64 m_now = 1'000'000'000'000;

    std::unique_ptr<QTcpSocket> ConnectToMessenger(bool i_obfuscated)
    {
        return ConnectRaw(i_obfuscated ? mp_messenger->ObfuscatedPort() : mp_messenger->ListeningPort());
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QTcpSocket*>();
        DeclareSettingsTypes();
        SetSetting("username", QString("me"));
        SetSetting("listening_port", qint64(0));
        mp_messenger = new PeerMessenger;
        // Sweeps run when the test says, on the test's clock.
        TimerManager::Obj()->m_halfMinuteTimer.stop();
        mp_messenger->SetClock([this]() { return m_now; });
        QCOMPARE(mp_messenger->ListeningPort(), quint16(0)); // nothing before the data is loaded
        mp_messenger->DataLoaded();
        mp_messenger->NoData();
        QVERIFY(mp_messenger->ListeningPort() != 0 && mp_messenger->ObfuscatedPort() != 0);
    }

    void cleanupTestCase() { delete mp_messenger; }

    void frames_data()
    {
        QTest::addColumn<bool>("obfuscated");
        QTest::newRow("plain port") << false;
        QTest::newRow("obfuscated port") << true;
    }

    // Frames split across writes and coalesced in one write are all
    // dispatched, in order, on both ports.
    void frames()
    {
        QFETCH(bool, obfuscated);
        QString l_user = obfuscated ? "olga" : "paul";
        QStringList l_files;
        connect(mp_messenger, &PeerMessenger::QueueUploadRequested, this,
                [&](QString i_user, QString i_file) { l_files << i_user + ":" + i_file; });
        SetUserAddress(l_user, ClosedPort());
        auto lp_peer = ConnectToMessenger(obfuscated);
        QVERIFY(lp_peer);

        auto File = [](char const* ip_name) { return Msg(43, H("01000000") + ip_name); };
        QByteArray l_first = PeerWire::BuildFrame(File("a"), obfuscated);
        // Handshake and the start of the first frame, then the rest of it.
        lp_peer->write(HandshakeFrame(l_user, "P", obfuscated) + l_first.left(5));
        QTRY_COMPARE(mp_messenger->OpenMessagingConnectionCount(l_user), 1);
        lp_peer->write(l_first.mid(5, 3));
        // Read by the messenger before the rest is written.
        QVERIFY(ReadOffTheWire(*lp_peer, FarDescriptor(*mp_messenger, *lp_peer)));
        lp_peer->write(l_first.mid(8));
        // Two frames coalesced in one write.
        lp_peer->write(PeerWire::BuildFrame(File("b"), obfuscated) + PeerWire::BuildFrame(File("c"), obfuscated));
        QTRY_COMPARE(l_files, QStringList({l_user + ":a", l_user + ":b", l_user + ":c"}));
        disconnect(mp_messenger, &PeerMessenger::QueueUploadRequested, this, nullptr);

        // Our answers on this connection are obfuscated exactly when it is.
        MemStream l_reply(Msg(15));
        mp_messenger->SendMessage(l_user, l_reply);
        QByteArray l_payload;
        QVERIFY(AwaitFrame(*lp_peer, l_payload, obfuscated));
        QCOMPARE(l_payload, Msg(15));

        // A frame of several pieces, and a small one sent behind it, arrive
        // whole and in order.
        QByteArray l_large(3 * 1024 * 1024 + 3, '\0');
        for (int l_index = 0; l_index < l_large.size(); ++l_index)
            l_large[l_index] = char(l_index * 7 + l_index / 4099);
        l_large = Msg(5, l_large);
        mp_messenger->SendMessageToUser(l_user, l_large);
        mp_messenger->SendMessage(l_user, l_reply);
        QVERIFY(AwaitFrame(*lp_peer, l_payload, obfuscated));
        QVERIFY(l_payload == l_large);
        QVERIFY(AwaitFrame(*lp_peer, l_payload, obfuscated));
        QCOMPARE(l_payload, Msg(15));
    }

    void badInputClosesTheSocket_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("obfuscated");
        QTest::newRow("malformed handshake") << Le32(6) + H("07 01000000 78") << false;
        QTest::newRow("oversize handshake frame") << Le32(100000) + QByteArray(16, 'x') << false;
        QTest::newRow("empty handshake frame") << Le32(0) << false;
        QTest::newRow("oversize obfuscated handshake frame")
            << QByteArray(4, '\0') + Le32(0x40000000) + QByteArray(16, 'x') << true;
        QByteArray l_open = HandshakeFrame("quentin", "P");
        QTest::newRow("oversize message frame") << l_open + Le32(PeerWire::MAX_MESSAGE_LENGTH + 1) << false;
        QTest::newRow("frame too short for a code") << l_open + PeerWire::BuildFrame("ab", false) << false;
    }

    void badInputClosesTheSocket()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, obfuscated);
        auto lp_peer = ConnectToMessenger(obfuscated);
        QVERIFY(lp_peer);
        lp_peer->write(bytes);
        QVERIFY(AwaitClosed(*lp_peer));
    }

    // Messages for a user without a connection wait, a connection is opened
    // to the stored address, and they go out in order after the handshake.
    void unsentMessages()
    {
        QTcpServer l_peerServer;
        QVERIFY(l_peerServer.listen(QHostAddress::LocalHost, 0));
        SetUserAddress("rita", l_peerServer.serverPort());
        for (quint32 l_code : {15u, 4u, 15u}) {
            MemStream l_message(Msg(l_code));
            mp_messenger->SendMessage("rita", l_message);
        }
        QCOMPARE(mp_messenger->UnsentMessageCount("rita"), 3);
        QCOMPARE(d.GetType("unsent_message")->GetItemCount(), std::size_t(3));
        PeerWire::Handshake l_handshake;
        auto lp_peer = AcceptHandshake(l_peerServer, l_handshake);
        QVERIFY(lp_peer);
        QCOMPARE(QString::number(l_handshake.m_code) + l_handshake.m_user + l_handshake.m_type, QString("1meP"));
        QByteArray l_payload;
        for (quint32 l_code : {15u, 4u, 15u}) {
            QVERIFY(AwaitFrame(*lp_peer, l_payload));
            QCOMPARE(l_payload, Msg(l_code));
        }
        QCOMPARE(mp_messenger->UnsentMessageCount("rita"), 0);
        QCOMPARE(d.GetType("unsent_message")->GetItemCount(), std::size_t(0));
        QCOMPARE(mp_messenger->OpenMessagingConnectionCount("rita"), 1);

        // Nobody reachable: one failure signal, reported from the event loop
        // after the call has returned, and the queue expires after 300 s on
        // the messenger's clock without a second report.
        SetUserAddress("sam", ClosedPort());
        QSignalSpy l_failed(mp_messenger, &PeerMessenger::ConnectionToUserFailed);
        MemStream l_message(Msg(15));
        mp_messenger->SendMessage("sam", l_message);
        mp_messenger->SendMessage("sam", l_message);
        mp_messenger->RequestFileConnectionToUser("nobody"); // no address, no server
        QCOMPARE(l_failed.count(), 0);
        QTRY_COMPARE(l_failed.count(), 2);
        QCOMPARE(l_failed.at(0) + l_failed.at(1), QList<QVariant>({"nobody", "F", "sam", "P"}));
        QCOMPARE(mp_messenger->UnsentMessageCount("sam"), 2);
        m_now += PeerMessenger::UNSENT_MESSAGE_LIFETIME;
        mp_messenger->EveryHalfMinute();
        QCOMPARE(mp_messenger->UnsentMessageCount("sam"), 2);
        m_now += 1;
        mp_messenger->EveryHalfMinute();
        QCOMPARE(mp_messenger->UnsentMessageCount("sam"), 0);
        QCoreApplication::processEvents();
        QCOMPARE(l_failed.count(), 2);
    }

    // At most the cap of attempts run at once; the rest wait their turn (a
    // messaging attempt once per user, however many messages wait) and
    // start as places free, in the order they were asked for.
    void attemptsWaitTheirTurn()
    {
        HangingPort l_hanging;
        PeerMessenger::Limits l_limits;
        l_limits.m_maxAttempts = 2;
        mp_messenger->SetLimits(l_limits);
        mp_messenger->SetAttemptTimeouts(300, 300, 300);
        QSignalSpy l_failed(mp_messenger, &PeerMessenger::ConnectionToUserFailed);
        MemStream l_message(Msg(15));
        for (char const* lp_user : {"va", "vb", "vc", "vd"}) {
            SetUserAddress(lp_user, l_hanging.Port());
            mp_messenger->SendMessage(lp_user, l_message);
            mp_messenger->SendMessage(lp_user, l_message);
        }
        SetUserAddress("ve", l_hanging.Port());
        mp_messenger->RequestFileConnectionToUser("ve");
        QCOMPARE(mp_messenger->AttemptCount(), 2);
        QCOMPARE(mp_messenger->WaitingAttemptCount(), 3);
        QTRY_COMPARE(l_failed.count(), 5);
        // Two at a time, each pair ending together.
        QStringList l_order;
        for (QList<QVariant> const& l_failure : l_failed)
            l_order << l_failure.at(0).toString() + l_failure.at(1).toString();
        std::sort(l_order.begin(), l_order.begin() + 2);
        std::sort(l_order.begin() + 2, l_order.begin() + 4);
        QCOMPARE(l_order, QStringList({"vaP", "vbP", "vcP", "vdP", "veF"}));
        QCOMPARE(mp_messenger->AttemptCount() + mp_messenger->WaitingAttemptCount(), 0);
        mp_messenger->SetAttemptTimeouts(4000, 5000, 12000);
        mp_messenger->SetLimits(PeerMessenger::Limits());
    }

    void unsentBounds_data()
    {
        QTest::addColumn<QString>("bound");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("sends");  // o: our own message, a: an answer; 8 bytes each with a name of 2
        QTest::addColumn<QString>("waiting");
        QTest::newRow("messages per user") << "user" << 2 << "o:wa o:wa a:wa o:wb" << "wa2 wb1";
        QTest::newRow("bytes per user") << "userBytes" << 20 << "o:wa a:wa o:wa o:wb" << "wa2 wb1";
        QTest::newRow("answers in all") << "answers" << 2 << "a:wa a:wb a:wc o:wc" << "wa1 wb1 wc1";
        QTest::newRow("answer bytes in all") << "answerBytes" << 16 << "a:wa a:wb a:wc o:wc" << "wa1 wb1 wc1";
        QTest::newRow("messages in all") << "all" << 3 << "o:wa a:wb o:wc o:wd" << "wa1 wb1 wc1";
        QTest::newRow("bytes in all") << "allBytes" << 24 << "o:wa a:wb o:wc o:wd" << "wa1 wb1 wc1";
    }

    // Messages wait for a connection within bounds per user, for answers in
    // all, and in all; past one, a message is not kept. Answers leave
    // nothing in the store.
    void unsentBounds()
    {
        QFETCH(QString, bound);
        QFETCH(int, value);
        QFETCH(QString, sends);
        QFETCH(QString, waiting);
        PeerMessenger::Limits l_limits;
        std::map<QString, std::function<void()>> const l_set = {
            {"user", [&] { l_limits.m_maxUnsentPerUser = value; }},
            {"userBytes", [&] { l_limits.m_maxUnsentBytesPerUser = value; }},
            {"answers", [&] { l_limits.m_maxUnsentAnswers = value; }},
            {"answerBytes", [&] { l_limits.m_maxUnsentAnswerBytes = value; }},
            {"all", [&] { l_limits.m_maxUnsent = value; }},
            {"allBytes", [&] { l_limits.m_maxUnsentBytes = value; }},
        };
        l_set.at(bound)();
        mp_messenger->SetLimits(l_limits);
        std::size_t const l_items = d.GetType("unsent_message")->GetItemCount();
        int l_own = 0;
        QStringList l_users;
        for (QString const& l_send : sends.split(' ')) {
            MemStream l_message(Msg(15));
            QString const l_user = l_send.mid(2);
            int const l_before = mp_messenger->UnsentMessageCount(l_user);
            if (l_send.startsWith("a:"))
                mp_messenger->SendMessageToUser(l_user, l_message);
            else
                mp_messenger->SendMessage(l_user, l_message);
            l_own += l_send.startsWith("o:") && mp_messenger->UnsentMessageCount(l_user) > l_before;
            if (!l_users.contains(l_user))
                l_users << l_user;
        }
        QStringList l_waiting;
        for (QString const& l_user : l_users)
            if (mp_messenger->UnsentMessageCount(l_user) > 0)
                l_waiting << l_user + QString::number(mp_messenger->UnsentMessageCount(l_user));
        QCOMPARE(l_waiting.join(' '), waiting);
        QCOMPARE(d.GetType("unsent_message")->GetItemCount() - l_items, std::size_t(l_own));
        m_now += PeerMessenger::UNSENT_MESSAGE_LIFETIME + 1;
        mp_messenger->EveryHalfMinute();
        QCOMPARE(mp_messenger->UnsentMessageCount(), 0);
        mp_messenger->SetLimits(PeerMessenger::Limits());
    }

    void connectionHandedOver_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("obfuscated");
        QTest::addColumn<bool>("ours");
        QTest::newRow("their file, plain port") << QString("F") << false << false;
        QTest::newRow("their file, obfuscated port") << QString("F") << true << false;
        QTest::newRow("their distributed") << QString("D") << false << false;
        QTest::newRow("our file") << QString("F") << false << true;
        QTest::newRow("our distributed") << QString("D") << false << true;
    }

    // A file or distributed connection, theirs or one we asked for and
    // reached directly, goes to its owner with not one byte read past the
    // handshake and (theirs, F) the token, all sent in one write; from then
    // on the messenger does not touch it. F and D bytes travel plain even on
    // the obfuscated port.
    void connectionHandedOver()
    {
        QFETCH(QString, type);
        QFETCH(bool, obfuscated);
        QFETCH(bool, ours);
        bool l_file = type == QLatin1String("F");
        QString l_user = type + (ours ? "-ours" : obfuscated ? "-o" : "-p");
        QSignalSpy l_handed(mp_messenger, ours ? (l_file ? SIGNAL(FileConnectionAccepted(QString, QTcpSocket*))
                                                         : SIGNAL(DNetConnectionAccepted(QString, QTcpSocket*)))
                                               : (l_file ? SIGNAL(FileConnectionRequested(QString, QTcpSocket*, uint))
                                                         : SIGNAL(DNetConnectionRequested(QString, QTcpSocket*))));
        QTcpServer l_peerServer;
        std::unique_ptr<QTcpSocket> lp_peer;
        if (ours) {
            QVERIFY(l_peerServer.listen(QHostAddress::LocalHost, 0));
            SetUserAddress(l_user, l_peerServer.serverPort());
            l_file ? mp_messenger->RequestFileConnectionToUser(l_user) : mp_messenger->RequestDNetConnection(l_user);
            PeerWire::Handshake l_handshake;
            lp_peer = AcceptHandshake(l_peerServer, l_handshake);
            QVERIFY(lp_peer);
            QCOMPARE(l_handshake.m_user + l_handshake.m_type, "me" + type);
            lp_peer->write("ABCDEFGH");
        } else {
            lp_peer = ConnectToMessenger(obfuscated);
            QVERIFY(lp_peer);
            lp_peer->write(HandshakeFrame(l_user, type, obfuscated) + (l_file ? Le32(0x01020304) : QByteArray()) +
                           "ABCDEFGH");
        }
        QVERIFY(l_handed.count() == 1 || l_handed.wait(WAIT_MS));
        std::unique_ptr<QTcpSocket> l_owned(l_handed.at(0).at(1).value<QTcpSocket*>());
        QCOMPARE(l_handed.at(0).at(0).toString(), l_user);
        if (l_file && !ours)
            QCOMPARE(l_handed.at(0).at(2).toUInt(), 0x01020304u);
        QVERIFY(l_owned->parent() == nullptr);
        QTRY_COMPARE(l_owned->bytesAvailable(), qint64(8));
        QCOMPARE(l_owned->readAll(), QByteArray("ABCDEFGH"));
        l_owned->write("12345678");
        QTRY_COMPARE(lp_peer->bytesAvailable(), qint64(8));
        QCOMPARE(lp_peer->readAll(), QByteArray("12345678"));
        // Its new owner's socket still counts as a connection of ours, until
        // it is gone.
        int const l_counted = ConnectionCount::Open();
        l_owned.reset();
        QCOMPARE(ConnectionCount::Open(), l_counted - 1);
    }

    // Every connection made or accepted counts against one bound until its
    // socket is gone: a connect-back that got through counts as much as one
    // still connecting. At the bound connect-backs are refused, a new
    // incoming connection is closed, and an attempt of ours asks the server
    // for a connect-back rather than connect.
    void oneBoundForEveryConnection()
    {
        // A listener that takes connections and never gives them to anyone.
        HoldingListener l_holder(64);
        QVERIFY(l_holder.Port() != 0);
        quint16 const l_port = l_holder.Port();
        PeerMessenger::Limits l_limits;
        l_limits.m_maxSockets = ConnectionCount::Open() + 3;
        mp_messenger->SetLimits(l_limits);
        int const l_before = mp_messenger->SocketCount();
        for (quint32 l_token = 1; l_token <= 3; ++l_token)
            mp_messenger->OnConnectBackRequested(QString("holder%1").arg(l_token), "P", LocalIp(), l_port, l_token);
        QTRY_VERIFY(mp_messenger->OpenMessagingConnectionCount("holder1") == 1 &&
                    mp_messenger->OpenMessagingConnectionCount("holder2") == 1 &&
                    mp_messenger->OpenMessagingConnectionCount("holder3") == 1);
        for (quint32 l_token = 4; l_token <= 6; ++l_token)
            mp_messenger->OnConnectBackRequested(QString("holder%1").arg(l_token), "P", LocalIp(), l_port, l_token);
        QCOMPARE(mp_messenger->SocketCount(), l_before + 3);
        auto lp_refused = ConnectRaw(mp_messenger->ListeningPort());
        QVERIFY(lp_refused && AwaitClosed(*lp_refused));
        SetUserAddress("bounded", ClosedPort());
        QSignalSpy l_failed(mp_messenger, &PeerMessenger::ConnectionToUserFailed);
        mp_messenger->RequestFileConnectionToUser("bounded");
        QCOMPARE(mp_messenger->SocketCount(), l_before + 3);
        QVERIFY(l_failed.count() == 1 || l_failed.wait(WAIT_MS)); // no server here to ask
        mp_messenger->SetLimits(PeerMessenger::Limits());
        // The held connections end with their listener.
        l_holder.Close();
        QTRY_COMPARE(mp_messenger->SocketCount(), l_before);
    }

    // The sweep on the messenger's clock: a socket without a handshake goes
    // after 30 s, an unfinished frame that gains no byte after 60 s, a
    // messaging connection without traffic after 10 minutes; one that keeps
    // talking stays.
    void sweepTimeOuts()
    {
        QTRY_COMPARE(mp_messenger->BufferedBytes(), qint64(0)); // earlier tests' sockets are gone
        auto lp_silent = ConnectRaw(mp_messenger->ListeningPort());
        auto lp_stalled = ConnectRaw(mp_messenger->ListeningPort());
        auto lp_idle = ConnectRaw(mp_messenger->ListeningPort());
        auto lp_busy = ConnectRaw(mp_messenger->ListeningPort());
        lp_stalled->write(HandshakeFrame("sid", "P") + Le32(10) + "abc");
        lp_idle->write(HandshakeFrame("yann", "P"));
        lp_busy->write(HandshakeFrame("zoe", "P") + Le32(10) + "abc");
        QTRY_COMPARE(mp_messenger->BufferedBytes(), qint64(14));
        QTRY_COMPARE(mp_messenger->OpenMessagingConnectionCount("yann"), 1);
        auto Sweep = [&](qint64 i_ms, QTcpSocket* ip_closes) {
            m_now += i_ms;
            mp_messenger->EveryHalfMinute();
            QVERIFY(AwaitClosed(*ip_closes));
        };
        m_now += PeerMessenger::HANDSHAKE_TIMEOUT;
        mp_messenger->EveryHalfMinute();
        QCOMPARE(lp_silent->state(), QAbstractSocket::ConnectedState);
        Sweep(1, lp_silent.get());
        lp_busy->write("d"); // progress
        QTRY_COMPARE(mp_messenger->BufferedBytes(), qint64(15));
        Sweep(PeerMessenger::Limits().m_stalledFrameMs - PeerMessenger::HANDSHAKE_TIMEOUT, lp_stalled.get());
        QCOMPARE(mp_messenger->BufferedBytes(), qint64(8));
        QSignalSpy l_info(mp_messenger, &PeerMessenger::UserInfoReceived);
        lp_busy->write(QByteArray(6, 'x') + PeerWire::BuildFrame(WHOLE_MESSAGES[0], false)); // completes its frame, and one more
        QVERIFY(l_info.wait(WAIT_MS));
        Sweep(PeerMessenger::IDLE_MESSAGING_TIMEOUT, lp_idle.get());
        QCOMPARE(lp_busy->state(), QAbstractSocket::ConnectedState);
    }

    // A listening port that is taken: the system picks another, and that
    // one is stored, so that what the server is told is where we listen.
    void busyListeningPortFallsBack()
    {
        QTcpServer l_squatter;
        QVERIFY(l_squatter.listen(QHostAddress::Any, 0));
        SetSetting("new_listening_port", qint64(l_squatter.serverPort()));
        PeerMessenger l_second;
        l_second.DataLoaded();
        QVERIFY(l_second.ListeningPort() != 0 && l_second.ListeningPort() != l_squatter.serverPort());
        QCOMPARE(GetSetting("listening_port") + " " + GetSetting("obfuscated_listening_port"),
                 QString("%1 %2").arg(l_second.ListeningPort()).arg(l_second.ObfuscatedPort()));
        // The user's choice is kept for the next start.
        QCOMPARE(GetSettingInt("new_listening_port"), int(l_squatter.serverPort()));
        SetSetting("new_listening_port", QString());
        peerMessenger = mp_messenger;
    }

    // At the socket cap a new incoming connection is closed at once. The
    // unfinished frames of all links together are bounded: the link whose
    // bytes pass the bound goes, the others stay. Connect-backs are bounded
    // in time and number.
    void caps()
    {
        PeerMessenger::Limits l_limits;
        l_limits.m_maxSockets = mp_messenger->SocketCount();
        mp_messenger->SetLimits(l_limits);
        auto lp_refused = ConnectRaw(mp_messenger->ListeningPort());
        QVERIFY(AwaitClosed(*lp_refused));
        QTRY_COMPARE(mp_messenger->BufferedBytes(), qint64(0));
        l_limits = PeerMessenger::Limits();
        l_limits.m_maxBufferedBytes = 1000;
        mp_messenger->SetLimits(l_limits);
        QByteArray l_start = Le32(4000) + QByteArray(600, 'x');
        auto lp_first = ConnectRaw(mp_messenger->ListeningPort());
        lp_first->write(l_start);
        QTRY_COMPARE(mp_messenger->BufferedBytes(), qint64(604));
        auto lp_second = ConnectRaw(mp_messenger->ListeningPort());
        lp_second->write(l_start);
        QVERIFY(AwaitClosed(*lp_second));
        QCOMPARE(lp_first->state(), QAbstractSocket::ConnectedState);

        // A connect-back that gets nowhere is given up after its own time,
        // and no more than the cap wait at once.
        HangingPort l_hanging;
        l_limits = PeerMessenger::Limits();
        l_limits.m_maxPendingConnectBacks = 2;
        l_limits.m_connectBackMs = 300;
        mp_messenger->SetLimits(l_limits);
        int l_before = mp_messenger->SocketCount();
        for (quint32 l_token = 1; l_token <= 3; ++l_token)
            mp_messenger->OnConnectBackRequested("ulla", "P", LocalIp(), l_hanging.Port(), l_token);
        QCOMPARE(mp_messenger->SocketCount(), l_before + 2);
        QTRY_VERIFY(mp_messenger->SocketCount() <= l_before);
        mp_messenger->SetLimits(PeerMessenger::Limits());
    }
};

QTEST_GUILESS_MAIN(PeerConnectionsTest)
#include "PeerConnectionsTest.moc"
