// The server link against an in-test fake server: the exact bytes of every
// request, and the signals and store changes of every incoming message.

#include "ServerTestHelpers.h"

#include "server/PortMapping.h"
#include "server/Server.h"
#include "server/StoreTypes.h"

#include <QSignalSpy>
#include <QTest>

#include <functional>

namespace {

MemStream Payload(std::function<void(MemStream&)> const& i_fill)
{
    MemStream l_payload;
    i_fill(l_payload);
    return l_payload;
}

QByteArray Bytes(std::function<void(MemStream&)> const& i_fill)
{
    return Payload(i_fill).ToByteArray();
}

void WriteStats(MemStream& io_out, quint32 i_speed, quint32 i_files)
{
    UserStats l_stats;
    l_stats.m_averageSpeed = i_speed;
    l_stats.m_uploadCount = 3;
    l_stats.m_fileCount = i_files;
    l_stats.m_folderCount = 2;
    l_stats.Write(io_out);
}

void WriteMember(MemStream& io_out, QString const& i_name, quint32 i_status, quint32 i_files)
{
    io_out.Write(i_name);
    io_out.WriteU32(i_status);
    WriteStats(io_out, 1536, i_files);
    io_out.Write(QStringLiteral("DE"));
    io_out.WriteBool(false);
}

// One part of the room list that names a single room.
void WriteOneRoom(MemStream& io_out, QString const& i_name, quint32 i_users)
{
    io_out.WriteU32(1);
    io_out.Write(i_name);
    io_out.WriteU32(i_users);
}

// One entry of the list of possible distributed parents.
void WriteParent(MemStream& io_out, QString const& i_name, quint32 i_ip, qint32 i_port)
{
    io_out.Write(i_name);
    io_out.WriteU32(i_ip);
    io_out.WriteI32(i_port);
}

// An incoming private message as the server delivers it.
MemStream PrivateMessage(quint32 i_id, quint32 i_time, QString const& i_user, QString const& i_text, bool i_new)
{
    return Payload([&](MemStream& o) {
        o.WriteU32(i_id);
        o.WriteU32(i_time);
        o.Write(i_user);
        o.Write(i_text);
        o.WriteBool(i_new);
    });
}

Item User(char const* ip_name)
{
    return d.GetType("user")->GetItem(ip_name);
}

Item Room(char const* ip_name)
{
    return d.GetType("room")->GetItem(ip_name);
}

// The room's ticker set by that user; null when he has none.
Item TickerOf(Item const& i_room, Item const& i_user)
{
    Item l_found;
    for (Item const& l_ticker : i_room.GetItems("room_ticker"))
        if (l_ticker["user"] == i_user)
            l_found = l_ticker;
    return l_found;
}

} // namespace

class ServerMessagesTest : public QObject, private FakeLink
{
    Q_OBJECT

private:
    FrameCollector& Frames() { return *mp_fake->mp_collector; }

    // The request just made went out as exactly this one frame.
    void Expect(quint32 i_code, QByteArray const& i_payload)
    {
        QByteArray l_payload;
        QVERIFY2(Frames().Take(i_code, &l_payload), qPrintable(QString("no frame %1").arg(i_code)));
        QCOMPARE(l_payload.toHex(), i_payload.toHex());
        QVERIFY2(!Frames().Has(i_code, 0), qPrintable(QString("frame %1 sent twice").arg(i_code)));
    }

    void Deliver(quint32 i_code, MemStream const& i_payload = MemStream()) { mp_fake->Send(i_code, i_payload); }

    // Waits until everything sent so far has been handled: the link answers
    // a private message with its acknowledgement, in order.
    void Sync()
    {
        static quint32 s_id = 1000;
        quint32 const l_id = ++s_id;
        Deliver(ServerCode::PRIVATE_CHAT, PrivateMessage(l_id, 0, "sync", "-", true));
        QByteArray l_ack;
        QVERIFY(Frames().Take(ServerCode::PRIVATE_CHAT_ACK, &l_ack));
        QCOMPARE(l_ack, Bytes([&](MemStream& o) { o.WriteU32(l_id); }));
    }

    // Whether the link sent a frame of that code not taken yet. The
    // acknowledgement that Sync() waits for comes after anything the link
    // wrote before it, so no frame can still be on its way.
    bool Sent(quint32 i_code)
    {
        Sync();
        return Frames().Has(i_code, 0);
    }

private slots:
    void init()
    {
        ResetStore();
        StartFake();
    }

    void cleanup() { StopFake(); }

    void LoginAndAfterLoginRequests()
    {
        SetSetting("listening_port", qint64(2235));
        SetSetting("obfuscated_listening_port", qint64(2236));
        SetSetting("availability_status", QStringLiteral("away"));
        mp_server->TrackUser("bob");
        SetFlag(Room("lobby"), "room_autojoin", true);
        QVERIFY(LogIn());
        QCOMPARE(mp_fake->m_loginPayload, Bytes([](MemStream& o) {
                     o.Write(QStringLiteral("alice"));
                     o.Write(QStringLiteral("secret"));
                     o.WriteU32(1);
                 }));
        Expect(ServerCode::LISTENING_PORTS, Bytes([](MemStream& o) {
                   o.WriteU32(2235);
                   o.WriteU32(2236);
               }));
        Expect(ServerCode::SET_STATUS, Bytes([](MemStream& o) { o.WriteU32(1); }));
        Expect(ServerCode::ADD_USER, Bytes([](MemStream& o) { o.Write(QStringLiteral("bob")); }));
        Expect(ServerCode::JOIN_ROOM, Bytes([](MemStream& o) {
                   o.Write(QStringLiteral("lobby"));
                   o.WriteI32(0);
               }));

        // Rooms are joined automatically after the first login only;
        // tracked users are asked for after every login.
        mp_server->Disconnect();
        mp_fake->mp_socket = nullptr;
        QVERIFY(LogIn());
        Expect(ServerCode::ADD_USER, Bytes([](MemStream& o) { o.Write(QStringLiteral("bob")); }));
        QVERIFY(!Sent(ServerCode::JOIN_ROOM));
    }

    void LoginAsksThePortForwarderToMap()
    {
        struct FakeMapper : PortMapper
        {
            static std::vector<std::pair<bool, bool> >& Calls()
            {
                static std::vector<std::pair<bool, bool> > s_calls;
                return s_calls;
            }
            void MapPorts(bool i_upnp, bool i_natpmp) override { Calls().emplace_back(i_upnp, i_natpmp); }
        };
        FakeMapper::Calls().clear();
        SetPortMapperFactory([]() -> PortMapper* { return new FakeMapper; });
        mp_server = std::make_unique<Server>(); // created with its mapper
        SetPortMapperFactory(nullptr);
        mp_server->CreateData();
        // The defaults map nothing.
        QCOMPARE(GetSetting("use_upnp"), QString("no"));
        QCOMPARE(GetSetting("use_natpmp"), QString("no"));
        QVERIFY(LogIn());
        QVERIFY(FakeMapper::Calls().empty());
        mp_server->Disconnect();
        mp_fake->mp_socket = nullptr;
        SetSetting("use_upnp", QStringLiteral("yes"));
        QVERIFY(LogIn());
        QCOMPARE(int(FakeMapper::Calls().size()), 1);
        QCOMPARE(FakeMapper::Calls().front(), std::make_pair(true, false));
    }

    void RequestsHaveExactBytes()
    {
        QVERIFY(LogIn());
        QVERIFY(Frames().Take(ServerCode::LISTENING_PORTS));
        Server& s = *mp_server;

        s.AddUser("bob");
        Expect(5, Bytes([](MemStream& o) { o.Write(QStringLiteral("bob")); }));
        s.SendRoomChat("room", "text");
        Expect(13, Bytes([](MemStream& o) {
                   o.Write(QStringLiteral("room"));
                   o.Write(QStringLiteral("text"));
               }));
        s.EnterRoom("room", true);
        Expect(14, Bytes([](MemStream& o) {
                   o.Write(QStringLiteral("room"));
                   o.WriteI32(1);
               }));
        s.LeaveRoom("room"); // not joined: nothing
        QVERIFY(!Sent(15));
        SetFlag(Room("room"), "in_room", true);
        s.LeaveRoom("room");
        Expect(15, Bytes([](MemStream& o) { o.Write(QStringLiteral("room")); }));
        QSignalSpy l_sent(&s, &Server::PrivateChatSent);
        QVERIFY(s.SendPrivateChat("bob", "a\r\nb"));
        Expect(22, Bytes([](MemStream& o) {
                   o.Write(QStringLiteral("bob"));
                   o.Write(QStringLiteral("a  b"));
               }));
        QCOMPARE(l_sent.count(), 1);
        // A line longer than the server takes is reported unsent, and the
        // longest it takes goes out whole.
        QString const l_longest(int(NETWORK_STRING_LIMIT), QLatin1Char('x'));
        QVERIFY(!s.SendPrivateChat("bob", l_longest + "x"));
        QCOMPARE(l_sent.count(), 2);
        QVERIFY(s.SendPrivateChat("bob", l_longest));
        Expect(22, Bytes([&](MemStream& o) {
                   o.Write(QStringLiteral("bob"));
                   o.Write(l_longest);
               }));

        quint32 const l_token = s.FileSearch("song", "");
        Expect(26, Bytes([&](MemStream& o) {
                   o.WriteU32(l_token);
                   o.Write(QStringLiteral("song"));
               }));
        Item l_request = d.GetType("search_request")->HasItem(Value(l_token));
        QCOMPARE(l_request["search_request_text"].AsString(), QString("song"));
        QVERIFY(l_request["wish_list_item"].IsNull());

        Item l_wish = d.GetType("wish_list_item")->GetItem("wished");
        quint32 const l_wishToken = s.FileSearch("wished", "wished");
        QVERIFY(l_wishToken != l_token);
        Expect(207, Bytes([&](MemStream& o) {
                   o.WriteU32(l_wishToken);
                   o.Write(QStringLiteral("wished"));
               }));
        QCOMPARE(d.GetType("search_request")->HasItem(Value(l_wishToken))["wish_list_item"], l_wish);

        // One user search per online member of the user list.
        User("bob").NewItem("in_user_list");
        SetFlag(User("bob"), "is_online", true);
        User("carl").NewItem("in_user_list");
        quint32 const l_listToken = s.SearchUserList("tune");
        Expect(208, Bytes([&](MemStream& o) {
                   o.Write(QStringLiteral("bob"));
                   o.WriteU32(l_listToken);
                   o.Write(QStringLiteral("tune"));
               }));
        quint32 const l_roomToken = s.SearchRoom("room", "beat");
        Expect(209, Bytes([&](MemStream& o) {
                   o.Write(QStringLiteral("room"));
                   o.WriteU32(l_roomToken);
                   o.Write(QStringLiteral("beat"));
               }));
        QCOMPARE(d.GetType("search_request")->HasItem(Value(l_roomToken))["search_request_text"].AsString(),
                 QString("beat"));

        s.SendFilesFolders(3, 4);
        Expect(35, Bytes([](MemStream& o) {
                   o.WriteI32(3);
                   o.WriteI32(4);
               }));
        s.GetUserStats("bob");
        Expect(36, Bytes([](MemStream& o) { o.Write(QStringLiteral("bob")); }));
        s.GetRoomList();
        Expect(64, QByteArray());
        QCOMPARE(GetSetting("accept_room_list"), QString("yes"));
        s.SendDNetHasParent(true);
        Expect(71, QByteArray(1, 1));
        s.GetOwnPrivilegesStatus();
        Expect(92, QByteArray());
        s.SendDNetCanParent(false);
        Expect(100, QByteArray(1, 0));
        s.SetRoomTicker("room", "tick");
        Expect(116, Bytes([](MemStream& o) {
                   o.Write(QStringLiteral("room"));
                   o.Write(QStringLiteral("tick"));
               }));
        s.SendUploadSpeed(5000);
        Expect(121, Bytes([](MemStream& o) { o.WriteI32(5000); }));
        s.GiftPrivileges("bob", 7);
        Expect(123, Bytes([](MemStream& o) {
                   o.Write(QStringLiteral("bob"));
                   o.WriteI32(7);
               }));
        s.SendDNetLevel(-1);
        Expect(126, Bytes([](MemStream& o) { o.WriteI32(-1); }));
        s.SendDNetGroupLeader("lead");
        Expect(127, Bytes([](MemStream& o) { o.Write(QStringLiteral("lead")); }));
        s.SendChildDepth(true);
        Expect(129, QByteArray(1, 1));

        QByteArray const l_roomUser = Bytes([](MemStream& o) {
            o.Write(QStringLiteral("room"));
            o.Write(QStringLiteral("user"));
        });
        QByteArray const l_roomOnly = Bytes([](MemStream& o) { o.Write(QStringLiteral("room")); });
        s.AddPrivateRoomMember("room", "user");
        Expect(134, l_roomUser);
        s.RemovePrivateRoomMember("room", "user");
        Expect(135, l_roomUser);
        s.GiveUpPrivateRoomMembership("room");
        Expect(136, l_roomOnly);
        s.GiveUpPrivateRoom("room");
        Expect(137, l_roomOnly);
        s.EnablePrivateRoomAdd(true);
        Expect(141, QByteArray(1, 1));
        s.AddPrivateRoomOperator("room", "user");
        Expect(143, l_roomUser);
        s.RemovePrivateRoomOperator("room", "user");
        Expect(144, l_roomUser);
        s.MessageUsers({"a", "b"}, "hi all");
        Expect(149, Bytes([](MemStream& o) {
                   o.WriteI32(2);
                   o.Write(QStringLiteral("a"));
                   o.Write(QStringLiteral("b"));
                   o.Write(QStringLiteral("hi all"));
               }));

        s.EveryFiveMinutes();
        Expect(202, QByteArray());
        s.SetStatus(false);
        Expect(203, Bytes([](MemStream& o) { o.WriteU32(2); }));
        s.GetPeerAddress("bob");
        Expect(210, Bytes([](MemStream& o) { o.Write(QStringLiteral("bob")); }));
        s.RequestConnectBack("bob", 9, "P");
        Expect(211, Bytes([](MemStream& o) {
                   o.WriteU32(9);
                   o.Write(QStringLiteral("bob"));
                   o.Write(QStringLiteral("P"));
               }));
        s.SendCannotConnect("bob", 9);
        Expect(212, Bytes([](MemStream& o) {
                   o.WriteU32(9);
                   o.Write(QStringLiteral("bob"));
               }));
        s.GetSearchCorrelations("query");
        Expect(230, Bytes([](MemStream& o) { o.Write(QStringLiteral("query")); }));
        // Nothing else went out.
        Sync();
        QCOMPARE(int(Frames().m_frames.size()), 0);
    }

    void NothingIsSentWhileLoggedOut()
    {
        Server& s = *mp_server;
        QSignalSpy l_sent(&s, &Server::PrivateChatSent);
        QVERIFY(!s.SendPrivateChat("bob", "hello"));
        QCOMPARE(l_sent.count(), 1);
        s.AddUser("bob");
        s.SendRoomChat("r", "t");
        s.EnterRoom("r", false);
        s.FileSearch("x", "");
        s.GetUserStats("bob");
        s.SendFilesFolders(1, 1);
        s.SendDNetHasParent(false);
        s.GiftPrivileges("bob", 1);
        s.MessageUsers({"bob"}, "x");
        s.EveryFiveMinutes();
        s.GetRoomList();
        QVERIFY(GetSetting("accept_room_list").isEmpty());
        // Logging in now shows that none of it was queued either.
        QVERIFY(LogIn());
        QVERIFY(Frames().Take(ServerCode::LISTENING_PORTS));
        Sync();
        QCOMPARE(int(Frames().m_frames.size()), 0);
    }

    void SearchTokensStartAtRandom()
    {
        quint32 const l_first = mp_server->FileSearch("a", "");
        Server l_other;
        quint32 const l_second = l_other.FileSearch("a", "");
        // Two runs starting at the same token would mix up late answers.
        QVERIFY(l_first != l_second);
        QCOMPARE(mp_server->FileSearch("b", ""), l_first + 1);
    }

    void UsersAndStatus()
    {
        QVERIFY(LogIn());
        QSignalSpy l_answers(mp_server.get(), &Server::AddUserResponse);
        bool l_onlineAtSignal = true;
        connect(mp_server.get(), &Server::AddUserResponse, this,
                [&](QString i_user) { l_onlineAtSignal = User(qPrintable(i_user)).IsConnected("is_online"); });
        Deliver(5, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("bob"));
                    o.WriteBool(true);
                    o.WriteU32(STATUS_AWAY);
                    WriteStats(o, 2048, 12);
                    o.Write(QStringLiteral("FR"));
                    o.WriteBool(true);
                }));
        Deliver(5, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("ghost"));
                    o.WriteBool(false);
                }));
        Sync();
        QCOMPARE(l_answers.count(), 2);
        QCOMPARE(l_answers.at(0).at(0).toString(), QString("bob"));
        QCOMPARE(l_answers.at(0).at(1).toBool(), true);
        QCOMPARE(l_answers.at(1).at(1).toBool(), false);
        QVERIFY(!l_onlineAtSignal); // told before anything is stored
        Item l_bob = User("bob");
        QVERIFY(l_bob.IsConnected("is_online"));
        QVERIFY(l_bob.IsConnected("is_away"));
        QVERIFY(l_bob.IsConnected("is_privileged"));
        QCOMPARE(l_bob["country_code"].AsString(), QString("FR"));
        QCOMPARE(l_bob["average_download_speed"].AsInt(), 2048);
        QCOMPARE(l_bob["shared_file_count"].AsInt(), 12);
        QVERIFY(!l_bob["last_online_status_change"].IsNull());
        QVERIFY(!User("ghost").IsConnected("is_online"));

        Deliver(204, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("bob"));
                    o.WriteU32(STATUS_ONLINE);
                    o.WriteBool(false);
                }));
        Sync();
        QVERIFY(l_bob.IsConnected("is_online"));
        QVERIFY(!l_bob.IsConnected("is_away"));
        QVERIFY(!l_bob.IsConnected("is_privileged"));
        Deliver(204, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("bob"));
                    o.WriteU32(STATUS_OFFLINE);
                    o.WriteBool(false);
                }));
        Sync();
        QVERIFY(!l_bob.IsConnected("is_online"));
        QDateTime const l_change = QDateTime::fromString(l_bob["last_online_status_change"].AsString(), Qt::TextDate);
        QVERIFY(l_change.isValid());
        QVERIFY(qAbs(l_change.secsTo(QDateTime::currentDateTime())) < 5);

        QSignalSpy l_stats(mp_server.get(), &Server::ReceivedUserStats);
        Deliver(36, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("bob"));
                    WriteStats(o, 999, 40);
                }));
        Sync();
        QCOMPARE(l_stats.count(), 1);
        UserStats const l_received = l_stats.at(0).at(1).value<UserStats>();
        QCOMPARE(l_received.m_averageSpeed, quint32(999));
        QCOMPARE(l_received.m_fileCount, quint32(40));
        QCOMPARE(l_received.m_uploadCount, quint64(3));
        QCOMPARE(l_bob["average_download_speed"].AsInt(), 999);
        QCOMPARE(l_bob["shared_file_count"].AsInt(), 40);
    }

    void ChatsAndIgnoredUsers()
    {
        QVERIFY(LogIn());
        QSignalSpy l_room(mp_server.get(), &Server::RoomChat);
        QSignalSpy l_private(mp_server.get(), &Server::PrivateChat);
        SetFlag(User("troll"), "is_ignored", true);
        auto const l_roomLine = [](QString i_user, QString i_text) {
            return Payload([=](MemStream& o) {
                o.Write(QStringLiteral("lobby"));
                o.Write(i_user);
                o.Write(i_text);
            });
        };
        Deliver(13, l_roomLine("troll", "spam"));
        Deliver(13, l_roomLine("bob", "hi all"));
        Deliver(22, PrivateMessage(41, 1700000000, "troll", "psst", true));
        Deliver(22, PrivateMessage(42, 1700000001, "bob", "held", false));
        // Both private messages are acknowledged and passed on: ignoring
        // silences room lines only, and an acknowledged message the pages
        // never saw would be lost for good.
        QByteArray l_ack;
        QVERIFY(Frames().Take(ServerCode::PRIVATE_CHAT_ACK, &l_ack));
        QCOMPARE(l_ack, Bytes([](MemStream& o) { o.WriteU32(41); }));
        QVERIFY(Frames().Take(ServerCode::PRIVATE_CHAT_ACK, &l_ack));
        QCOMPARE(l_ack, Bytes([](MemStream& o) { o.WriteU32(42); }));
        QCOMPARE(l_room.count(), 1);
        QCOMPARE(l_room.at(0), QList<QVariant>({"lobby", "bob", "hi all"}));
        QCOMPARE(l_private.count(), 2);
        QCOMPARE(l_private.at(0).at(0).toString(), QString("troll"));
        QCOMPARE(l_private.at(0).at(1).toString(), QString("psst"));
        QCOMPARE(l_private.at(0).at(3).toBool(), true);
        QCOMPARE(l_private.at(1).at(0).toString(), QString("bob"));
        QCOMPARE(l_private.at(1).at(1).toString(), QString("held"));
        QCOMPARE(qvariant_cast<time_t>(l_private.at(1).at(2)), time_t(1700000001));
        QCOMPARE(l_private.at(1).at(3).toBool(), false);

        QSignalSpy l_admin(mp_server.get(), &Server::AdminMessage);
        QSignalSpy l_search(mp_server.get(), &Server::DirectFileSearch);
        Deliver(66, Payload([](MemStream& o) { o.Write(QStringLiteral("notice")); }));
        Deliver(26, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("bob"));
                    o.WriteU32(5);
                    o.Write(QStringLiteral("query"));
                }));
        Sync();
        QCOMPARE(l_admin.count(), 1);
        QCOMPARE(l_admin.at(0).at(0).toString(), QString("notice"));
        QCOMPARE(l_search.count(), 1);
        QCOMPARE(l_search.at(0).at(2).toString(), QString("query"));
    }

    void RoomsMembersAndCounts()
    {
        QVERIFY(LogIn());
        auto const l_joined = [](std::vector<QString> i_users) {
            return Payload([=](MemStream& o) {
                o.Write(QStringLiteral("lobby"));
                o.WriteU32(quint32(i_users.size()));
                for (QString const& l_user : i_users)
                    WriteMember(o, l_user, STATUS_ONLINE, 5);
            });
        };
        // Members linked before the room is marked joined would be missed
        // by the room page, which is created on that mark.
        Item l_lobby = Room("lobby");
        std::size_t l_membersAtJoin = 99;
        struct Watcher : DataHandler
        {
            std::function<void()> m_onJoin;
            void OnLink(ConnectionInfo&) { m_onJoin(); }
        } l_watcher;
        l_watcher.m_onJoin = [&]() { l_membersAtJoin = l_lobby.CountItems("user"); };
        d.AddConnectionEventHandler(d.GetType("room"), d.GetType("in_room"),
                                    new EventHandler<Watcher, ConnectionInfo&>(&l_watcher, &Watcher::OnLink));
        Deliver(14, l_joined({"alice", "bob", "carl"}));
        Sync();
        QCOMPARE(l_membersAtJoin, std::size_t(0));
        QVERIFY(l_lobby.IsConnected("in_room"));
        QCOMPARE(l_lobby.CountItems("user"), std::size_t(3));
        QCOMPARE(l_lobby["user_count"].AsInt(), 3);
        QCOMPARE(User("carl")["country_code"].AsString(), QString("DE"));
        QCOMPARE(User("carl")["average_download_speed"].AsInt(), 1536);
        QVERIFY(User("carl").IsConnected("is_online"));

        Deliver(217, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("lobby"));
                    WriteMember(o, QStringLiteral("dora"), STATUS_AWAY, 1);
                }));
        Deliver(218, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("lobby"));
                    o.Write(QStringLiteral("bob"));
                }));
        Sync();
        QVERIFY(User("dora").IsConnected(l_lobby));
        QVERIFY(User("dora").IsConnected("is_away"));
        QVERIFY(!User("bob").IsConnected(l_lobby));
        QCOMPARE(l_lobby["user_count"].AsInt(), 3);

        // A join answer again (after a reconnection) brings the members up
        // to date.
        Deliver(14, l_joined({"alice", "bob"}));
        Sync();
        QCOMPARE(l_lobby.CountItems("user"), std::size_t(2));
        QVERIFY(User("bob").IsConnected(l_lobby));
        QVERIFY(!User("carl").IsConnected(l_lobby));

        Deliver(15, Payload([](MemStream& o) { o.Write(QStringLiteral("lobby")); }));
        Sync();
        QVERIFY(!l_lobby.IsConnected("in_room"));
        QCOMPARE(l_lobby.CountItems("user"), std::size_t(0));
    }

    void TickersReplaceOlderOnes()
    {
        QVERIFY(LogIn());
        Item l_lobby = Room("lobby");
        Deliver(214, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("lobby"));
                    o.WriteU32(2);
                    o.Write(QStringLiteral("bob"));
                    o.Write(QStringLiteral("first"));
                    o.Write(QStringLiteral("carl"));
                    o.Write(QStringLiteral("second"));
                }));
        Sync();
        QCOMPARE(l_lobby.CountItems("room_ticker"), std::size_t(2));
        Item l_old = TickerOf(l_lobby, User("bob"));
        QCOMPARE(l_old["room_ticker_text"].AsString(), QString("first"));
        qint64 const l_oldOrder = l_old["room_ticker_order"].AsInt64();

        Deliver(215, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("lobby"));
                    o.Write(QStringLiteral("bob"));
                    o.Write(QStringLiteral("newer"));
                }));
        Sync();
        QVERIFY(l_old.IsNull()); // the older ticker item is gone
        QCOMPARE(l_lobby.CountItems("room_ticker"), std::size_t(2));
        Item l_new = TickerOf(l_lobby, User("bob"));
        QCOMPARE(l_new["room_ticker_text"].AsString(), QString("newer"));
        QVERIFY(l_new["room_ticker_order"].AsInt64() > l_oldOrder);

        Deliver(216, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("lobby"));
                    o.Write(QStringLiteral("carl"));
                }));
        Sync();
        QCOMPARE(l_lobby.CountItems("room_ticker"), std::size_t(1));
    }

    void RoomListAndPrivateRooms()
    {
        QVERIFY(LogIn());
        auto const l_list = Payload([](MemStream& o) {
            WriteOneRoom(o, QStringLiteral("public"), 12);
            WriteOneRoom(o, QStringLiteral("mine"), 2);
            WriteOneRoom(o, QStringLiteral("theirs"), 4);
            o.WriteU32(1);
            o.Write(QStringLiteral("theirs"));
        });
        // An unrequested list is not taken in.
        Deliver(64, l_list);
        Sync();
        QVERIFY(d.GetType("room")->HasItem("public").IsNull());

        SetFlag(Room("stale"), "is_owner", true);
        mp_server->GetRoomList();
        Deliver(64, l_list);
        Sync();
        QCOMPARE(Room("public")["user_count"].AsInt(), 12);
        QCOMPARE(Room("mine")["user_count"].AsInt(), 2);
        QVERIFY(Room("mine").IsConnected("is_owner"));
        QVERIFY(Room("theirs").IsConnected("is_member"));
        QVERIFY(Room("theirs").IsConnected("is_operator"));
        QVERIFY(!Room("theirs").IsConnected("is_owner"));
        QVERIFY(!Room("public").IsConnected("is_member"));
        QVERIFY(!Room("stale").IsConnected("is_owner"));
        QCOMPARE(GetSetting("accept_room_list"), QString("no"));

        Deliver(219, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("club"));
                    o.Write(QStringLiteral("bob"));
                    o.WriteU32(2);
                    o.Write(QStringLiteral("alice"));
                    o.Write(QStringLiteral("carl"));
                    o.WriteU32(1);
                    o.Write(QStringLiteral("alice"));
                }));
        Sync();
        Item l_club = Room("club");
        QVERIFY(!l_club.IsConnected("is_owner"));
        QVERIFY(l_club.IsConnected("is_member"));
        QVERIFY(l_club.IsConnected("is_operator"));
        QVERIFY(d.GetItem(l_club, User("bob"), "room_owner").IsValid());
        QVERIFY(d.GetItem(l_club, User("carl"), "room_members").IsValid());
        QVERIFY(d.GetItem(l_club, User("alice"), "room_operators").IsValid());
        QVERIFY(d.GetItem(l_club, User("carl"), "room_operators").IsNull());

        Deliver(221, Payload([](MemStream& o) { o.Write(QStringLiteral("club")); }));
        Sync();
        QVERIFY(!l_club.IsConnected("is_member"));
        QVERIFY(!l_club.IsConnected("is_operator"));
        QVERIFY(d.GetItem(l_club, User("carl"), "room_members").IsNull());

        QSignalSpy l_enabled(mp_server.get(), &Server::PrivateRoomAddEnabled);
        Deliver(141, Payload([](MemStream& o) { o.WriteBool(true); }));
        Sync();
        QCOMPARE(l_enabled.count(), 1);
        QCOMPARE(l_enabled.at(0).at(0).toBool(), true);
    }

    void PrivilegesCorrelationsAndPeers()
    {
        QVERIFY(LogIn());
        QSignalSpy l_privileges(mp_server.get(), &Server::ReceivedOwnPrivilegesStatus);
        QString l_storedAtSignal;
        connect(mp_server.get(), &Server::ReceivedOwnPrivilegesStatus, this,
                [&]() { l_storedAtSignal = GetSetting("privileges_time_left"); });
        Deliver(92, Payload([](MemStream& o) { o.WriteI32(129600); }));
        Sync();
        QCOMPARE(l_privileges.count(), 1);
        QCOMPARE(l_privileges.at(0).at(0).toInt(), 129600);
        QCOMPARE(l_storedAtSignal, QString("129600"));
        QVERIFY(IsSettingYes("is_supporter"));

        QSignalSpy l_correlations(mp_server.get(), &Server::SearchCorrelations);
        auto const l_related = [](std::vector<std::pair<QString, int> > i_entries) {
            return Payload([=](MemStream& o) {
                o.Write(QStringLiteral("rock"));
                o.WriteU32(quint32(i_entries.size()));
                for (auto const& l_entry : i_entries) {
                    o.Write(l_entry.first);
                    o.WriteI32(l_entry.second);
                }
            });
        };
        Deliver(230, l_related({{"rock live", 5}, {"hard rock", 9}}));
        Deliver(230, l_related({{"rock and roll", 3}}));
        Sync();
        QCOMPARE(l_correlations.count(), 2);
        QCOMPARE(l_correlations.at(0).at(0).toString(), QString("rock"));
        Item l_term = d.GetType("search_request_text")->HasItem("rock");
        ItemSet const l_items = l_term.GetItems("search_correlation");
        QCOMPARE(l_items.size(), std::size_t(1)); // the newer answer replaces the older
        Item l_only = *l_items.begin();
        QCOMPARE(l_only["correlation_text"].AsString(), QString("rock and roll"));
        QCOMPARE(l_only["correlation_rank"].AsInt(), 3);

        QSignalSpy l_address(mp_server.get(), &Server::PeerAddress);
        QSignalSpy l_back(mp_server.get(), &Server::ConnectBackRequested);
        QSignalSpy l_cannot(mp_server.get(), &Server::CannotConnect);
        Deliver(210, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("bob"));
                    o.WriteU32(0x7F000001);
                    o.WriteU32(2235);
                    o.WriteU32(2236);
                }));
        Deliver(211, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("bob"));
                    o.Write(QStringLiteral("F"));
                    o.WriteU32(0x7F000001);
                    o.WriteU32(2235);
                    o.WriteU32(77);
                    o.WriteBool(true);
                    o.WriteU32(2236);
                }));
        Deliver(212, Payload([](MemStream& o) {
                    o.WriteU32(78);
                    o.Write(QStringLiteral("carl"));
                }));
        Deliver(210, Payload([](MemStream& o) { // a port out of range is refused
                    o.Write(QStringLiteral("mallory"));
                    o.WriteU32(1);
                    o.WriteU32(70000);
                    o.WriteU32(0);
                }));
        Sync();
        QCOMPARE(l_address.count(), 1);
        QCOMPARE(l_address.at(0), QList<QVariant>({"bob", quint32(0x7F000001), 2235, 2236}));
        QCOMPARE(l_back.count(), 1);
        QCOMPARE(l_back.at(0), QList<QVariant>({"bob", "F", quint32(0x7F000001), 2235, 2236, quint32(77), true}));
        QCOMPARE(l_cannot.count(), 1);
        QCOMPARE(l_cannot.at(0), QList<QVariant>({"carl", quint32(78)}));
    }

    void DistributedMessages()
    {
        QVERIFY(LogIn());
        QSignalSpy l_speed(mp_server.get(), &Server::DNetParentMinSpeed);
        QSignalSpy l_ratio(mp_server.get(), &Server::DNetParentSpeedConnectionRatio);
        QSignalSpy l_report(mp_server.get(), &Server::DNetDeliveryReport);
        QSignalSpy l_reset(mp_server.get(), &Server::DNetReset);
        PossibleParentList l_parents;
        connect(mp_server.get(), &Server::DNetPossibleParents, this,
                [&](PossibleParentList& i_list) { l_parents = i_list; });
        QByteArray l_embedded;
        quint8 l_embeddedCode = 0;
        connect(mp_server.get(), &Server::DNetMessage, this, [&](MemStream& i_message) {
            l_embedded = i_message.ToByteArray(i_message.ReadIndex());
            i_message.Read(l_embeddedCode);
        });
        Deliver(83, Payload([](MemStream& o) { o.WriteI32(5); }));
        Deliver(84, Payload([](MemStream& o) { o.WriteI32(10); }));
        Deliver(128, Payload([](MemStream& o) { o.WriteI32(3); }));
        Deliver(130);
        Deliver(102, Payload([](MemStream& o) { // unreachable ports are left out
                    o.WriteU32(4);
                    WriteParent(o, QStringLiteral("p1"), 0x0A000001, 2235);
                    WriteParent(o, QStringLiteral("bad1"), 0x0A000003, 0);
                    WriteParent(o, QStringLiteral("bad2"), 0x0A000004, 70000);
                    WriteParent(o, QStringLiteral("p2"), 0x0A000002, 3000);
                }));
        QByteArray const l_search = Bytes([](MemStream& o) {
            o.WriteU8(3);
            o.WriteI32(49);
            o.Write(QStringLiteral("bob"));
            o.WriteU32(9);
            o.Write(QStringLiteral("song"));
        });
        mp_fake->Write(Frame(93, MemStream(l_search)));
        Sync();
        QCOMPARE(l_speed.at(0).at(0).toInt(), 5);
        QCOMPARE(l_ratio.at(0).at(0).toInt(), 10);
        QCOMPARE(l_report.at(0).at(0).toInt(), 3);
        QCOMPARE(l_reset.count(), 1);
        QCOMPARE(int(l_parents.size()), 2);
        QCOMPARE(l_parents.front().first, QString("p1"));
        QCOMPARE(l_parents.front().second.m_ip, quint32(0x0A000001));
        QCOMPARE(l_parents.back().first, QString("p2"));
        QCOMPARE(l_parents.back().second.m_port, 3000);
        QCOMPARE(l_embedded.toHex(), l_search.toHex());
        QCOMPARE(l_embeddedCode, quint8(3));
    }

    void BadMessagesAreDroppedNotFatal()
    {
        QVERIFY(LogIn());
        QSignalSpy l_room(mp_server.get(), &Server::RoomChat);
        QSignalSpy l_disconnected(mp_server.get(), &Server::Disconnected);
        // Unknown code; room chat without its text; a join whose member
        // count promises more than follows; a huge string length.
        Deliver(199, Payload([](MemStream& o) { o.WriteU32(1); }));
        Deliver(13, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("lobby"));
                    o.Write(QStringLiteral("bob"));
                }));
        Deliver(14, Payload([](MemStream& o) {
                    o.Write(QStringLiteral("lobby"));
                    o.WriteU32(0xFFFFFFFF);
                    WriteMember(o, QStringLiteral("bob"), STATUS_ONLINE, 1);
                }));
        Deliver(66, Payload([](MemStream& o) { o.WriteU32(0x7FFFFFFF); }));
        Sync();
        QCOMPARE(l_room.count(), 0);
        // The short join changed nothing at all.
        QVERIFY(d.GetType("room")->HasItem("lobby").IsNull());
        QCOMPARE(l_disconnected.count(), 0);
        QVERIFY(mp_server->IsConnected());
    }
};

QTEST_MAIN(ServerMessagesTest)
#include "ServerMessagesTest.moc"
