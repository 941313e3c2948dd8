// What needs a socket: cutting the byte stream into frames, the login and
// what follows it, requests dropped while logged out, the acknowledgement of
// private messages, bad frames and time-outs.

#include "ServerTestHelpers.h"
#include "server/PortMapping.h"
#include "server/StoreTypes.h"
#include "store/SlicedWork.h"
#include "store/TimerManager.h"

#include <QTimer>
#include <QtEndian>

namespace {

// Message 66 "one" and message 130, as the server frames them.
QByteArray const ADMIN_ONE = QByteArray::fromHex("0b0000004200000003000000" "6f6e65");
QByteArray const RESET = QByteArray::fromHex("0400000082000000");

QByteArray Le32(quint32 i_value)
{
    QByteArray l_bytes(4, '\0');
    qToLittleEndian(i_value, l_bytes.data());
    return l_bytes;
}

} // namespace

class ServerFramingTest : public QObject, private FakeLink
{
    Q_OBJECT

private:
    FrameCollector& Frames() { return *mp_fake->mp_collector; }

    // Everything sent so far has been handled and answered: the link
    // acknowledges a private message, after whatever it wrote before; and
    // none of what it wrote before was of code i_none.
    void Sync(quint32 i_none = 0)
    {
        static quint32 s_id = 0x1000;
        QByteArray const l_id = Le32(++s_id);
        mp_fake->Write(QByteArray::fromHex("1700000016000000") + l_id
                       + QByteArray::fromHex("00000000" "0100000078" "0100000078" "01"));
        QByteArray l_ack;
        QVERIFY2(Frames().NoneBefore(i_none, ServerCode::PRIVATE_CHAT_ACK, &l_ack), qPrintable(QString::number(i_none)));
        QCOMPARE(l_ack, l_id);
    }

    void Expect(quint32 i_code, QByteArray const& i_hex)
    {
        QByteArray l_payload;
        QVERIFY2(Frames().Take(i_code, &l_payload), qPrintable(QString::number(i_code)));
        QCOMPARE(l_payload.toHex(), i_hex);
    }

private slots:
    void init()
    {
        ResetStore();
        StartFake();
    }

    void cleanup()
    {
        StopFake();
    }

    void ReaderHandsOutCompleteFramesOnly()
    {
        FrameReader l_reader;
        MemStream l_frame;
        quint32 l_code = 0;
        // Two frames in one piece.
        l_reader.Append(ADMIN_ONE + RESET);
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::FRAME);
        QCOMPARE(l_code, quint32(66));
        QCOMPARE(l_frame.ToByteArray(l_frame.ReadIndex()), ADMIN_ONE.mid(8));
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::FRAME);
        QCOMPARE(l_code, quint32(130));
        QCOMPARE(l_frame.BytesAvailable(), quint64(0));
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::NEED_MORE);
        // One frame in three pieces, the first shorter than the length.
        for (QByteArray const& l_piece : {ADMIN_ONE.left(2), ADMIN_ONE.mid(2, 7)}) {
            l_reader.Append(l_piece);
            QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::NEED_MORE);
        }
        l_reader.Append(ADMIN_ONE.mid(9));
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::FRAME);
        QCOMPARE(l_reader.Pending(), 0);

        // Lengths that cannot be ours break the stream for good.
        for (char const* lp_length : {"00000000", "03000000", "01004000", "ffffffff"}) {
            FrameReader l_broken;
            l_broken.Append(QByteArray::fromHex(lp_length) + QByteArray::fromHex("42000000"));
            quint32 l_bad = 0;
            QCOMPARE(l_broken.Next(l_frame, l_code, &l_bad), FrameReader::BAD_LENGTH);
            QCOMPARE(QByteArray::fromHex(lp_length), QByteArray(reinterpret_cast<char const*>(&l_bad), 4));
            l_broken.Append(RESET);
            QCOMPARE(l_broken.Next(l_frame, l_code), FrameReader::BAD_LENGTH);
        }
        // The largest frame allowed is taken once it is all there.
        l_reader.Append(QByteArray::fromHex("0000400042000000") + QByteArray(int(SERVER_FRAME_MAX - 4), 'x'));
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::FRAME);
        QCOMPARE(l_frame.BytesAvailable(), quint64(SERVER_FRAME_MAX - 4));
    }

    void LoginAndAfterLoginRequests()
    {
        struct FakeMapper : PortMapper
        {
            static std::vector<std::pair<bool, bool>>& Calls()
            {
                static std::vector<std::pair<bool, bool>> s_calls;
                return s_calls;
            }
            void MapPorts(bool i_upnp, bool i_natpmp) override { Calls().emplace_back(i_upnp, i_natpmp); }
        };
        SetPortMapperFactory([]() -> PortMapper* { return new FakeMapper; });
        mp_server = std::make_unique<Server>(); // created with its mapper
        SetPortMapperFactory(nullptr);
        mp_server->CreateData();
        SetSetting("listening_port", qint64(2235));
        SetSetting("obfuscated_listening_port", qint64(2236));
        SetSetting("availability_status", QStringLiteral("away"));
        mp_server->TrackUser("bob");
        SetFlag(d.GetType("room")->GetItem("lobby"), "room_autojoin", true);
        QStringList l_events;
        connect(mp_server.get(), &Server::Connecting, this, [&]() { l_events << "connecting"; });
        connect(mp_server.get(), &Server::Connected, this, [&]() { l_events << "connected"; });
        connect(mp_server.get(), &Server::Disconnected, this, [&]() { l_events << "disconnected"; });
        SetSetting("username", QString());
        mp_server->Connect(); // without a user name nothing starts
        SetSetting("username", QStringLiteral("alice"));
        QVERIFY(l_events.isEmpty() && LogIn());
        QCOMPARE(mp_fake->m_loginPayload.toHex(), QByteArray("05000000616c69636506000000736563726574" "01000000"));
        Expect(ServerCode::LISTENING_PORTS, "bb080000bc080000");
        Expect(ServerCode::SET_STATUS, "01000000");
        Expect(ServerCode::ADD_USER, "03000000626f62");
        Expect(ServerCode::JOIN_ROOM, "050000006c6f62627900000000");
        QVERIFY(FakeMapper::Calls().empty()); // the defaults map nothing
        QVERIFY(mp_server->IsAbruptlyDisconnected()); // a link lost now is resumed
        mp_server->Connect(); // logged in: nothing starts
        // The user's disconnect: nothing to resume.
        mp_server->Disconnect();
        QVERIFY(!mp_server->IsAbruptlyDisconnected());
        mp_server->EveryHalfMinute();
        QCOMPARE(l_events, QStringList({"connecting", "connected", "disconnected"}));
        disconnect(mp_server.get(), nullptr, this, nullptr);
        // Rooms are joined automatically after the first login only;
        // tracked users are asked for after every login.
        mp_fake->mp_socket = nullptr;
        SetSetting("use_upnp", QStringLiteral("yes"));
        QVERIFY(LogIn());
        QCOMPARE(FakeMapper::Calls(), (std::vector<std::pair<bool, bool>>{{true, false}}));
        Expect(ServerCode::ADD_USER, "03000000626f62");
        Sync(ServerCode::JOIN_ROOM);
    }

    void SendersWhileLoggedInAndOut()
    {
        Server& s = *mp_server;
        QSignalSpy l_sent(&s, &Server::PrivateChatSent);
        QVERIFY(!s.SendPrivateChat("bob", "hello"));
        QCOMPARE(l_sent.count(), 1); // the page shows the line in any case
        s.AddUser("bob");
        s.FileSearch("x", "");
        s.GetRoomList();
        QVERIFY(GetSetting("accept_room_list").isEmpty());
        // Logging in now shows that none of it was queued either.
        QVERIFY(LogIn());
        QVERIFY(Frames().Take(ServerCode::LISTENING_PORTS));
        Sync();
        QCOMPARE(int(Frames().m_frames.size()), 0);

        QVERIFY(s.SendPrivateChat("bob", "a\nb"));
        Expect(22, "03000000626f6203000000612062");
        QCOMPARE(l_sent.at(1), QList<QVariant>({"bob", "a b"}));
        s.LeaveRoom("room"); // not joined: nothing
        SetFlag(d.GetType("room")->GetItem("room"), "in_room", true);
        s.LeaveRoom("room");
        Expect(15, "04000000726f6f6d");
        s.GetRoomList();
        Expect(64, "");
        QCOMPARE(GetSetting("accept_room_list"), QString("yes"));
        s.EveryFiveMinutes();
        Expect(202, "");

        // Each search has a store item under its token, also the wish-list
        // kind, which is tied to its wish.
        quint32 const l_token = s.FileSearch("song", "");
        Item l_wish = d.GetType("wish_list_item")->GetItem("wished");
        quint32 const l_wishToken = s.FileSearch("wished", "wished");
        QCOMPARE(l_wishToken, l_token + 1);
        Expect(26, Le32(l_token).toHex() + "04000000736f6e67");
        QVERIFY(Frames().Take(207));
        QCOMPARE(d.GetType("search_request")->HasItem(Value(l_token))["search_request_text"].AsString(), QString("song"));
        QCOMPARE(d.GetType("search_request")->HasItem(Value(l_wishToken))["wish_list_item"], l_wish);
        // One user search per online member of the user list.
        for (char const* lp_name : {"bob", "carl"})
            d.GetType("user")->GetItem(lp_name).NewItem("in_user_list");
        SetFlag(d.GetType("user")->GetItem("bob"), "is_online", true);
        quint32 const l_listToken = s.SearchUserList("tune");
        QVERIFY(Frames().Take(208));
        Sync(208);
        QVERIFY(d.GetType("search_request")->HasItem(Value(l_listToken)).IsValid());
        // Two runs starting at the same token would mix up late answers.
        QVERIFY(l_token != Server().FileSearch("song", ""));
    }

    // A flood is handled one frame per turn of the event loop (here), frames
    // come in any pieces, and an unknown code and a short room chat are
    // dropped while the link stays. A length that cannot be ours ends it.
    void FramesInSlicesAndPiecesBadOnesSkipped()
    {
        mp_server->SetReadSlice(0);
        QVERIFY(LogIn());
        QSignalSpy l_admin(mp_server.get(), &Server::AdminMessage);
        QSignalSpy l_disconnected(mp_server.get(), &Server::Disconnected);
        int l_handledBeforeNextTurn = -1;
        connect(mp_server.get(), &Server::AdminMessage, this, [&]() {
            if (l_handledBeforeNextTurn < 0)
                QTimer::singleShot(0, this, [&]() { l_handledBeforeNextTurn = l_admin.count(); });
        });
        mp_fake->Write(ADMIN_ONE + ADMIN_ONE + ADMIN_ONE + ADMIN_ONE.left(3));
        QTRY_COMPARE(l_admin.count(), 3);
        QCOMPARE(l_handledBeforeNextTurn, 1);
        mp_fake->Write(ADMIN_ONE.mid(3));
        mp_fake->Write(QByteArray::fromHex("08000000c700000001000000" "090000000d0000000100000078"));
        Sync();
        QCOMPARE(l_admin.count(), 4);
        QVERIFY(l_disconnected.isEmpty() && mp_server->IsConnected());
        // A good frame after the bad header is never read; a link lost this
        // way is one the client resumes.
        mp_fake->Write(QByteArray::fromHex("0100400042000000") + ADMIN_ONE);
        QTRY_COMPARE(l_disconnected.count(), 1);
        QCOMPARE(l_admin.count(), 4);
        QVERIFY(mp_server->IsAbruptlyDisconnected());
    }

    // The frames after a join answer of thousands wait until it is applied;
    // a link that falls meanwhile takes the rest of it along, or its members
    // would show online with no link to say otherwise.
    void BigJoinHoldsTheFramesAfterIt()
    {
        SlicedWork::SetSliceMs(0);
        QVERIFY(LogIn());
        auto const l_join = [](char const* ip_room) {
            MemStream l_payload;
            l_payload.WriteString(ip_room);
            l_payload.WriteU32(2000);
            for (int l_k = 0; l_k < 2000; ++l_k) {
                l_payload.WriteString(QString("m%1").arg(l_k));
                l_payload.WriteU32(STATUS_ONLINE);
                for (quint32 l_value : {1536u, 0u, 0u, 5u, 2u})
                    l_payload.WriteU32(l_value);
                l_payload.WriteString("DE");
                l_payload.WriteBool(false);
            }
            return Frame(ServerCode::JOIN_ROOM, l_payload);
        };
        std::size_t l_membersAtAdmin = 0;
        connect(mp_server.get(), &Server::AdminMessage, this,
                [&]() { l_membersAtAdmin = Room("big").CountItems("user"); });
        mp_fake->Write(l_join("big") + ADMIN_ONE);
        QTRY_VERIFY(l_membersAtAdmin > 0);
        QCOMPARE(l_membersAtAdmin, std::size_t(2000));

        mp_fake->Write(l_join("other"));
        // The answer comes in pieces: the link waits for the rest first.
        for (int l_turn = 0; l_turn < 100000 && Room("other").CountItems("user") < 10; ++l_turn)
            QCoreApplication::processEvents();
        QVERIFY(mp_server->IsApplying());
        mp_server->Disconnect();
        QVERIFY(!mp_server->IsApplying());
        std::size_t const l_linked = Room("other").CountItems("user");
        for (int l_turn = 0; l_turn < 50; ++l_turn)
            QCoreApplication::processEvents();
        QCOMPARE(Room("other").CountItems("user"), l_linked);
        QVERIFY(d.GetType("is_online")->GetGlobalNullItem().GetItems("user").empty());
    }

    // A private room's state of thousands is applied in slices like a join,
    // the frames after it waiting; a later state leaves exactly its users
    // in each role.
    void BigPrivateRoomStateInSlices()
    {
        SlicedWork::SetSliceMs(0);
        QVERIFY(LogIn());
        auto const l_state = [](int i_members, int i_operators) {
            MemStream l_payload;
            l_payload.WriteString("den");
            l_payload.WriteString("alice");
            l_payload.WriteU32(quint32(i_members));
            for (int l_k = 0; l_k < i_members; ++l_k)
                l_payload.WriteString(QString("m%1").arg(l_k));
            l_payload.WriteU32(quint32(i_operators));
            for (int l_k = 0; l_k < i_operators; ++l_k)
                l_payload.WriteString(QString("m%1").arg(l_k));
            return Frame(ServerCode::PRIVATE_ROOM_STATE, l_payload);
        };
        std::vector<std::size_t> l_atAdmin;
        connect(mp_server.get(), &Server::AdminMessage, this, [&]() {
            l_atAdmin = {Room("den")["room_members"].CountItems("user"),
                         Room("den")["room_operators"].CountItems("user"),
                         std::size_t(Room("den").IsConnected("is_owner"))};
        });
        mp_fake->Write(l_state(2000, 300) + ADMIN_ONE);
        QTRY_VERIFY(mp_server->IsApplying());
        QTRY_COMPARE(l_atAdmin, std::vector<std::size_t>({2000, 300, 1}));
        mp_fake->Write(l_state(10, 2) + ADMIN_ONE);
        QTRY_COMPARE(l_atAdmin, std::vector<std::size_t>({10, 2, 1}));
        QVERIFY(Room("den")["room_members"].GetItems("user").contains(d["user"]->HasItem("m9")));
    }

    // A failed attempt is no lost link, but it is tried again on the next
    // tick, unless the server refused the name or password (which would only
    // be refused again) or the user gave it up (the late answer must not log
    // in). The failure of an attempt that got as far as the login is one of
    // a series (quiet); so is that of any attempt made by the link itself.
    void AttemptFails_data()
    {
        QTest::addColumn<QByteArray>("answer"); // "-": nobody listens
        QTest::addColumn<QString>("reason");    // none: the user gives up
        QTest::addColumn<bool>("quiet");
        QTest::addColumn<bool>("retried");
        QByteArray const l_login = QByteArray::fromHex("c9000000 00");
        QTest::newRow("wrong password") << Le32(20) + l_login + Le32(11) + "INVALIDPASS" << "INVALIDPASS" << false << false;
        QTest::newRow("server full") << Le32(19) + l_login + Le32(10) + "SERVERFULL" << "SERVERFULL" << true << true;
        QTest::newRow("no server") << QByteArray("-") << "socket error" << false << true;
        QTest::newRow("bad frame") << QByteArray(8, '\xff') << "socket error" << true << true;
        QTest::newRow("silent server") << QByteArray() << "socket error" << true << true;
        QTest::newRow("given up") << QByteArray::fromHex("0e000000 c9000000 01 05000000 68656c6c6f") << "" << false << false;
    }

    void AttemptFails()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, reason);
        QFETCH(bool, quiet);
        QFETCH(bool, retried);
        if (answer.isEmpty())
            mp_server->SetLoginTimeout(200);
        if (answer == "-")
            mp_fake->m_listener.close();
        QSignalSpy l_failed(mp_server.get(), &Server::ConnectionFailed);
        QSignalSpy l_disconnected(mp_server.get(), &Server::Disconnected);
        mp_server->Connect();
        if (answer != "-") {
            QVERIFY(mp_fake->WaitForClient());
            if (reason.isEmpty() && Frames().Take(ServerCode::LOGIN))
                mp_server->Disconnect();
            mp_fake->Write(answer);
        }
        if (reason.isEmpty()) {
            // Given up: the fake sees the link's end go, and the event loop
            // comes round after that, with no failure told.
            QVERIFY(WaitUntil([this]() {
                mp_fake->mp_socket->readAll();
                return mp_fake->mp_socket->state() == QAbstractSocket::UnconnectedState;
            }));
            QVERIFY(LoopComesRound());
            QCOMPARE(l_failed.count(), 0);
        } else {
            QVERIFY(l_failed.count() == 1 || l_failed.wait(WAIT_MS));
        }
        QCOMPARE(l_failed.value(0).value(0).toString(), reason);
        QCOMPARE(mp_server->GetState(), Server::STATE_DISCONNECTED);
        QCOMPARE(l_disconnected.count(), 0);
        QCOMPARE(mp_server->IsAbruptlyDisconnected(), quiet);
        QCOMPARE(mp_server->IsRetrying(), retried);
        QCOMPARE(mp_server->LastSocketError(), answer == "-" ? QString("Connection refused") : QString());
        QSignalSpy l_connecting(mp_server.get(), &Server::Connecting);
        mp_server->EveryHalfMinute();
        QCOMPARE(l_connecting.count(), int(retried));
        QCOMPARE(mp_server->IsAbruptlyDisconnected(), quiet || retried);
    }

    // Started a moment before its server: the link keeps trying, quietly
    // after the first failure, and logs in once the server listens, with
    // nothing done by anyone.
    void StartedBeforeItsServer()
    {
        quint16 const l_port = mp_fake->Port();
        mp_fake.reset();
        QTimer& l_halfMinute = TimerManager::Obj()->m_halfMinuteTimer;
        int const l_period = l_halfMinute.interval();
        l_halfMinute.setInterval(50);
        QStringList l_failures; // reason, and whether it came quietly
        connect(mp_server.get(), &Server::ConnectionFailed, this, [&](QString i_reason) {
            l_failures << i_reason + (mp_server->IsAbruptlyDisconnected() ? " (quiet)" : "");
        });
        mp_server->Connect();
        QTRY_VERIFY(l_failures.size() >= 3);
        mp_fake = std::make_unique<FakeServer>(l_port);
        QVERIFY(mp_fake->m_listener.isListening());
        QVERIFY(mp_fake->AnswerLogin());
        QTRY_VERIFY(mp_server->IsConnected());
        l_halfMinute.setInterval(l_period);
        QCOMPARE(l_failures.mid(0, 3), QStringList({"socket error", "socket error (quiet)", "socket error (quiet)"}));
    }
};

QTEST_MAIN(ServerFramingTest)
#include "ServerFramingTest.moc"
