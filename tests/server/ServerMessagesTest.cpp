// The server's messages away from any socket: literal payloads to decoded
// records, requests to literal bytes, and what each record does to the store
// and the signals of the link.

#include "ServerTestHelpers.h"
#include "server/StoreTypes.h"
#include "store/SlicedWork.h"

#include <algorithm>
#include <functional>

using namespace ServerIn;

namespace {

UserStats Stats(quint32 i_speed, quint32 i_files)
{
    UserStats l_stats;
    l_stats.m_averageSpeed = i_speed;
    l_stats.m_uploadCount = 3;
    l_stats.m_fileCount = i_files;
    l_stats.m_folderCount = 2;
    return l_stats;
}

ServerMessage Decode(quint32 i_code, char const* ip_hex)
{
    MemStream l_in(QByteArray::fromHex(ip_hex));
    return DecodeServerMessage(i_code, l_in);
}

Member Online(char const* ip_name)
{
    return Member{ip_name, UserDetails{STATUS_ONLINE, Stats(1536, 5), "DE", false}};
}

} // namespace

class ServerMessagesTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Server> mp_server;

private slots:
    void init()
    {
        ResetStore();
        mp_server = std::make_unique<Server>();
        mp_server->CreateData();
        SetSetting("username", QStringLiteral("alice"));
    }

    void cleanup()
    {
        mp_server.reset();
    }

    void DecodersReadEveryMessageOrRefuseIt()
    {
        struct Case
        {
            quint32 m_code;
            char const* mp_hex;
            ServerMessage m_expected;
        } const l_cases[] = {
            {201, "010500000068656c6c6f", LoginAnswer{true, "hello"}},
            {201, "000b000000494e56414c494450415353", LoginAnswer{false, "INVALIDPASS"}},
            {5, "03000000626f6201010000000008000003000000000000000c0000000200000002000000465201",
             AddUserAnswer{"bob", true, UserDetails{STATUS_AWAY, Stats(2048, 12), "FR", true}}},
            {5, "0500000067686f737400", AddUserAnswer{"ghost", false, UserDetails{}}},
            {13, "050000006c6f62627903000000626f6206000000686920616c6c", RoomChat{"lobby", "bob", "hi all"}},
            {14,
             "050000006c6f62627901000000040000006361726c02000000000600000300000000000000050000000200000002000000444500",
             RoomJoined{"lobby", {Online("carl")}}},
            {15, "050000006c6f626279", RoomLeft{"lobby"}},
            {22, "2900000000f153650500000074726f6c6c040000007073737401",
             PrivateChat{41, 1700000000, "troll", "psst", true}},
            {26, "03000000626f6205000000050000007175657279", FileSearch{"bob", 5, "query"}},
            {36, "03000000626f62e703000003000000000000002800000002000000", UserStatsAnswer{"bob", Stats(999, 40)}},
            {64,
             "01000000060000007075626c69630c00000001000000040000006d696e650200000001000000060000007468656972730400000001"
             "00000006000000746865697273",
             RoomList{{{"public", 12}}, {{"mine", 2}}, {{"theirs", 4}}, {"theirs"}}},
            {66, "060000006e6f74696365", AdminMessage{"notice"}},
            {83, "05000000", ParentMinSpeed{5}},
            {84, "0a000000", ParentSpeedRatio{10}},
            {128, "03000000", DeliveryReport{3}},
            {92, "40fa0100", Privileges{129600}},
            {93, "013100000003000000626f620900000004000000736f6e67",
             DistributedMessage{MemStream(QByteArray::fromHex("013100000003000000626f620900000004000000736f6e67"))}},
            // Entries on a port nobody can be reached on are left out.
            {102,
             "040000000200000070310100000abb08000004000000626164310300000a0000000004000000626164320400000a7011010002000000"
             "70320200000ab80b0000",
             PossibleParents{{{"p1", {0x0A000001, 2235}}, {"p2", {0x0A000002, 3000}}}, 2}},
            {130, "", DistributedReset{}},
            {141, "01", PrivateRoomAddEnabled{true}},
            {204, "03000000626f620200000000", UserStatus{"bob", STATUS_ONLINE, false}},
            {205, "", LoggedInElsewhere{}},
            {210, "03000000626f620100007fbb080000bc080000", PeerAddress{"bob", 0x7F000001, 2235, 2236}},
            {211, "03000000626f6201000000460100007fbb0800004d00000001bc080000",
             ConnectBack{"bob", "F", 0x7F000001, 2235, 77, true, 2236}},
            {212, "4e000000040000006361726c", CannotConnect{78, "carl"}},
            {214, "050000006c6f6262790200000003000000626f62050000006669727374040000006361726c060000007365636f6e64",
             RoomTickers{"lobby", {{"bob", "first"}, {"carl", "second"}}}},
            {215, "050000006c6f62627903000000626f62050000006e65776572", RoomTickerSet{"lobby", "bob", "newer"}},
            {216, "050000006c6f626279040000006361726c", RoomTickerRemoved{"lobby", "carl"}},
            {217,
             "050000006c6f62627904000000646f726101000000000600000300000000000000010000000200000002000000444500",
             UserJoinedRoom{"lobby", Member{"dora", UserDetails{STATUS_AWAY, Stats(1536, 1), "DE", false}}}},
            {218, "050000006c6f62627903000000626f62", UserLeftRoom{"lobby", "bob"}},
            {219,
             "04000000636c756203000000626f620200000005000000616c696365040000006361726c0100000005000000616c696365",
             PrivateRoomState{"club", "bob", {"alice", "carl"}, {"alice"}}},
            {221, "04000000636c7562", PrivateRoomRemoved{"club"}},
            {230, "04000000726f636b0200000009000000726f636b206c69766505000000090000006861726420726f636b09000000",
             SearchCorrelations{"rock", {{"rock live", 5}, {"hard rock", 9}}}},
            {199, "01000000", Unknown{199}},
            // Refused whole, with their code (the reason is the log's).
            {201, "", Malformed{}},                                           // no answer at all
            {13, "050000006c6f62627903000000626f62", Malformed{}},            // no text
            {13, "050000006c6f626279000000000100000078", Malformed{}},        // an empty user name
            {14, "050000006c6f626279ffffffff03000000626f620200000001000000030000" // a count past the bytes
                 "0000000000010000000200000002000000444500", Malformed{}},
            {66, "ffffff7f", Malformed{}},                                    // a 2 GiB string
            {204, "03000000626f620700000000", Malformed{}},                   // status 7
            {210, "070000006d616c6c6f7279010000007011010000000000", Malformed{}}, // port 70000
            {219, "04000000636c756200000000010000000300000061006200000000", Malformed{}}, // a member "a\0b"
        };
        for (Case const& l_case : l_cases) {
            ServerMessage const l_decoded = Decode(l_case.m_code, l_case.mp_hex);
            auto const lp_malformed = std::get_if<Malformed>(&l_decoded);
            if (std::holds_alternative<Malformed>(l_case.m_expected))
                QVERIFY2(lp_malformed && lp_malformed->m_code == l_case.m_code, l_case.mp_hex);
            else
                QVERIFY2(l_decoded == l_case.m_expected, l_case.mp_hex);
        }
    }

    void EncodersWriteExactBytes()
    {
        struct Case
        {
            ServerRequest m_request;
            quint32 m_code;
            char const* mp_hex;
        } const l_cases[] = {
            {ServerOut::Login("alice", "secret"), 201, "05000000616c69636506000000736563726574" "01000000"},
            {ServerOut::ListeningPorts(2235, 2236), 213, "bb080000bc080000"},
            {ServerOut::KeepAlive(), 202, ""},
            {ServerOut::SetStatus(true), 203, "01000000"},
            {ServerOut::SetStatus(false), 203, "02000000"},
            {ServerOut::AddUser("bob"), 5, "03000000626f62"},
            {ServerOut::RoomChat("room", "text"), 13, "04000000726f6f6d0400000074657874"},
            {ServerOut::JoinRoom("room", true), 14, "04000000726f6f6d01000000"},
            {ServerOut::LeaveRoom("room"), 15, "04000000726f6f6d"},
            {*ServerOut::PrivateChat("bob", "a\r\nb"), 22, "03000000626f620400000061202062"},
            {ServerOut::PrivateChatReceived(42), 206, "2a000000"},
            {ServerOut::MessageUsers({"a", "b"}, "hi all"), 149, "0200000001000000610100000062" "06000000686920616c6c"},
            {ServerOut::GiftPrivileges("bob", 7), 123, "03000000626f6207000000"},
            {ServerOut::GetUserStats("bob"), 36, "03000000626f62"},
            {ServerOut::GetOwnPrivileges(), 92, ""},
            {ServerOut::GetRoomList(), 64, ""},
            {ServerOut::FileSearch(9, "song", false), 26, "0900000004000000736f6e67"},
            {ServerOut::FileSearch(9, "song", true), 207, "0900000004000000736f6e67"},
            {ServerOut::UserSearch("bob", 9, "tune"), 208, "03000000626f62090000000400000074756e65"},
            {ServerOut::RoomSearch("room", 9, "beat"), 209, "04000000726f6f6d090000000400000062656174"},
            {ServerOut::GetSearchCorrelations("query"), 230, "050000007175657279"},
            {ServerOut::SharedFoldersFiles(3, 4), 35, "0300000004000000"},
            {ServerOut::UploadSpeed(5000), 121, "88130000"},
            {ServerOut::SetRoomTicker("room", "tick"), 116, "04000000726f6f6d040000007469636b"},
            {ServerOut::EnablePrivateRoomAdd(true), 141, "01"},
            {ServerOut::RoomRequest(136, "room"), 136, "04000000726f6f6d"},
            {ServerOut::RoomUserRequest(134, "room", "user"), 134, "04000000726f6f6d0400000075736572"},
            {ServerOut::DistributedFlag(71, true), 71, "01"},
            {ServerOut::DistributedFlag(100, false), 100, "00"},
            {ServerOut::DistributedLevel(-1), 126, "ffffffff"},
            {ServerOut::DistributedGroupLeader("lead"), 127, "040000006c656164"},
            {ServerOut::GetPeerAddress("bob"), 210, "03000000626f62"},
            {ServerOut::ConnectBack(9, "bob", "P"), 211, "0900000003000000626f620100000050"},
            {ServerOut::CannotConnect(9, "bob"), 212, "0900000003000000626f62"},
        };
        for (Case const& l_case : l_cases) {
            QCOMPARE(l_case.m_request.m_code, l_case.m_code);
            QCOMPARE(l_case.m_request.m_payload.ToByteArray().toHex(), QByteArray(l_case.mp_hex));
        }
        // The server drops a longer string: such a line is not encoded at
        // all, and the longest it takes is.
        QString const l_longest(int(NETWORK_STRING_LIMIT), QLatin1Char('x'));
        QVERIFY(ServerOut::PrivateChat("bob", l_longest).has_value());
        QVERIFY(!ServerOut::PrivateChat("bob", l_longest + "x").has_value());
    }

    void UsersAndStatus()
    {
        bool l_onlineAtSignal = true;
        QSignalSpy l_answers(mp_server.get(), &Server::AddUserResponse);
        connect(mp_server.get(), &Server::AddUserResponse, this,
                [&](QString i_user) { l_onlineAtSignal = User(qPrintable(i_user)).IsConnected("is_online"); });
        mp_server->Apply(AddUserAnswer{"bob", true, UserDetails{STATUS_AWAY, Stats(2048, 12), "FR", true}});
        mp_server->Apply(AddUserAnswer{"ghost", false, UserDetails{}});
        QCOMPARE(l_answers.count(), 2);
        QCOMPARE(l_answers.at(1), QList<QVariant>({"ghost", false}));
        QVERIFY(!l_onlineAtSignal); // told before anything is stored
        QCOMPARE(UserState("bob"), QString("online away privileged FR 2048 12"));
        QCOMPARE(UserState("ghost"), QString("  "));

        mp_server->Apply(UserStatus{"bob", STATUS_ONLINE, false});
        QCOMPARE(UserState("bob"), QString("online FR 2048 12"));
        mp_server->Apply(UserStatus{"bob", STATUS_OFFLINE, false});
        QCOMPARE(UserState("bob"), QString("FR 2048 12"));
        QDateTime const l_change = QDateTime::fromString(User("bob")["last_online_status_change"].AsString(), Qt::TextDate);
        QVERIFY(qAbs(l_change.secsTo(QDateTime::currentDateTime())) < 5);

        QSignalSpy l_stats(mp_server.get(), &Server::ReceivedUserStats);
        mp_server->Apply(UserStatsAnswer{"bob", Stats(999, 40)});
        QVERIFY(l_stats.count() == 1 && l_stats.at(0).at(1).value<UserStats>() == Stats(999, 40));
        QCOMPARE(UserState("bob"), QString("FR 999 40"));
    }

    void Rooms()
    {
        // Members linked before the room is marked joined would be missed
        // by the room page, which is created on that mark.
        std::size_t l_membersAtJoin = 99;
        struct Watcher : DataHandler
        {
            std::function<void()> m_onJoin;
            void OnLink(ConnectionInfo&) { m_onJoin(); }
        } l_watcher;
        l_watcher.m_onJoin = [&]() { l_membersAtJoin = Room("lobby").CountItems("user"); };
        d.AddConnectionEventHandler(d.GetType("room"), d.GetType("in_room"),
                                    new EventHandler<Watcher, ConnectionInfo&>(&l_watcher, &Watcher::OnLink));
        mp_server->Apply(RoomJoined{"lobby", {Online("alice"), Online("bob"), Online("carl")}});
        QCOMPARE(l_membersAtJoin, std::size_t(0));
        QCOMPARE(RoomState("lobby"), QString("in_room, alice, bob, carl, count 3"));
        QCOMPARE(UserState("carl"), QString("online DE 1536 5"));
        mp_server->Apply(UserJoinedRoom{"lobby", Online("dora")});
        mp_server->Apply(UserLeftRoom{"lobby", "bob"});
        QCOMPARE(RoomState("lobby"), QString("in_room, alice, carl, dora, count 3"));
        // A join answer again (after a reconnection) brings the members up
        // to date.
        mp_server->Apply(RoomJoined{"lobby", {Online("alice"), Online("bob")}});
        QCOMPARE(RoomState("lobby"), QString("in_room, alice, bob, count 2"));

        mp_server->Apply(RoomTickers{"lobby", {{"bob", "first"}, {"carl", "second"}}});
        Item l_old = Room("lobby")["room_ticker"];
        mp_server->Apply(RoomTickerSet{"lobby", "bob", "newer"});
        QVERIFY(l_old.IsNull()); // the older ticker item is gone, the new one comes last
        QCOMPARE(RoomState("lobby"), QString("in_room, alice, bob, count 2, carl: second, bob: newer"));
        mp_server->Apply(RoomTickerRemoved{"lobby", "carl"});
        // Left, the room counts the others last seen in it (we are alice).
        mp_server->Apply(RoomLeft{"lobby"});
        QCOMPARE(RoomState("lobby"), QString("count 1, bob: newer"));

        RoomList const l_list{{{"public", 12}, {"lobby", 7}}, {{"mine", 2}}, {{"theirs", 4}}, {"theirs"}};
        // An unrequested list is not taken in.
        mp_server->Apply(l_list);
        QVERIFY(d.GetType("room")->HasItem("public").IsNull());

        SetFlag(Room("stale"), "is_owner", true);
        SetSetting("accept_room_list", QStringLiteral("yes"));
        mp_server->Apply(l_list);
        QCOMPARE(RoomState("public") + " | " + RoomState("mine") + " | " + RoomState("theirs") + " | " + RoomState("stale"),
                 QString("count 12 | is_owner, is_member, count 2 | is_member, is_operator, count 4 | count "));
        QCOMPARE(GetSetting("accept_room_list"), QString("no"));
        // A room the next list leaves out is gone: one that only lists ever
        // named goes, one of the user's own (joined before) keeps no count.
        SetSetting("accept_room_list", QStringLiteral("yes"));
        mp_server->Apply(RoomList{{{"other", 3}}, {{"mine", 2}}, {}, {}});
        QVERIFY(d.GetType("room")->HasItem("public").IsNull() && d.GetType("room")->HasItem("theirs").IsNull());
        QCOMPARE(RoomState("lobby") + " | " + RoomState("mine") + " | " + RoomState("other"),
                 QString("count 0, bob: newer | is_owner, is_member, count 2 | count 3"));
        SetSetting("accept_room_list", QStringLiteral("yes"));
        mp_server->Apply(l_list);

        mp_server->Apply(PrivateRoomState{"club", "bob", {"alice", "carl"}, {"alice"}});
        QCOMPARE(RoomState("club"),
                 QString("is_member, is_operator, count , owner bob, members alice, members carl, operators alice"));
        mp_server->Apply(PrivateRoomRemoved{"club"});
        QCOMPARE(RoomState("club"), QString("count "));
    }

    void SignalsCarryTheRecords()
    {
        QSignalSpy l_room(mp_server.get(), &Server::RoomChat);
        QSignalSpy l_private(mp_server.get(), &Server::PrivateChat);
        SetFlag(User("troll"), "is_ignored", true);
        mp_server->Apply(RoomChat{"lobby", "troll", "spam"});
        mp_server->Apply(RoomChat{"lobby", "bob", "hi all"});
        // Ignoring silences room lines only: a private message the server
        // handed over and the pages never saw would be lost for good.
        mp_server->Apply(PrivateChat{41, 1700000000, "troll", "psst", false});
        QCOMPARE(l_room.count(), 1);
        QCOMPARE(l_room.at(0), QList<QVariant>({"lobby", "bob", "hi all"}));
        QCOMPARE(l_private.count(), 1);
        QCOMPARE(qvariant_cast<time_t>(l_private.at(0).at(2)), time_t(1700000000));
        QCOMPARE(l_private.at(0).at(3).toBool(), false);

        QString l_storedAtSignal;
        connect(mp_server.get(), &Server::ReceivedOwnPrivilegesStatus, this,
                [&]() { l_storedAtSignal = GetSetting("privileges_time_left"); });
        mp_server->Apply(Privileges{129600});
        QCOMPARE(l_storedAtSignal, QString("129600"));
        QVERIFY(IsSettingYes("is_supporter"));

        QSignalSpy l_correlations(mp_server.get(), &Server::SearchCorrelations);
        mp_server->Apply(SearchCorrelations{"rock", {{"rock live", 5}, {"hard rock", 9}}});
        mp_server->Apply(SearchCorrelations{"rock", {{"rock and roll", 3}}});
        QCOMPARE(l_correlations.count(), 2);
        ItemSet const l_items = d.GetType("search_request_text")->HasItem("rock").GetItems("search_correlation");
        QCOMPARE(l_items.size(), std::size_t(1)); // the newer answer replaces the older
        QCOMPARE(Item(l_items)["correlation_text"].AsString() + " " + Item(l_items)["correlation_rank"].AsString(),
                 QString("rock and roll 3"));

        QSignalSpy l_address(mp_server.get(), &Server::PeerAddress);
        QSignalSpy l_back(mp_server.get(), &Server::ConnectBackRequested);
        QSignalSpy l_cannot(mp_server.get(), &Server::CannotConnect);
        PossibleParentList l_parents;
        connect(mp_server.get(), &Server::DNetPossibleParents, this,
                [&](PossibleParentList& i_parents) { l_parents = i_parents; });
        mp_server->Apply(PeerAddress{"bob", 0x7F000001, 2235, 2236});
        mp_server->Apply(ConnectBack{"bob", "F", 0x7F000001, 2235, 77, true, 2236});
        mp_server->Apply(CannotConnect{78, "carl"});
        mp_server->Apply(PossibleParents{{{"p1", {0x0A000001, 2235}}}, 2});
        QCOMPARE(l_address.at(0), QList<QVariant>({"bob", quint32(0x7F000001), 2235, 2236}));
        QCOMPARE(l_back.at(0), QList<QVariant>({"bob", "F", quint32(0x7F000001), 2235, 2236, quint32(77), true}));
        QCOMPARE(l_cannot.at(0), QList<QVariant>({"carl", quint32(78)}));
        QVERIFY(l_parents == PossibleParentList({{"p1", {0x0A000001, 2235}}}));

        QByteArray l_embedded;
        connect(mp_server.get(), &Server::DNetMessage, this,
                [&](MemStream& i_message) { l_embedded = i_message.ToByteArray(i_message.ReadIndex()); });
        QSignalSpy l_reset(mp_server.get(), &Server::DNetReset);
        mp_server->Apply(DistributedMessage{MemStream(QByteArray::fromHex("0331"))});
        mp_server->Apply(DistributedReset{});
        QCOMPARE(l_embedded, QByteArray::fromHex("0331"));
        QCOMPARE(l_reset.count(), 1);
    }

    // A join answer or a room list of thousands is applied a step per turn
    // of the event loop here: what is given meanwhile follows it in its
    // order, and every link it makes is heard.
    void BigAnswersKeepTheOrder()
    {
        SlicedWork::SetSliceMs(0);
        std::size_t l_links = 0;
        std::size_t l_membersAtJoin = 99;
        struct Watcher : DataHandler
        {
            std::function<void(ConnectionInfo&)> m_on;
            void On(ConnectionInfo& i_link) { m_on(i_link); }
        } l_members, l_joins;
        l_members.m_on = [&](ConnectionInfo&) { ++l_links; };
        l_joins.m_on = [&](ConnectionInfo&) { l_membersAtJoin = Room("big").CountItems("user"); };
        d.AddConnectionEventHandler(d.GetType("user"), d.GetType("room"),
                                    new EventHandler<Watcher, ConnectionInfo&>(&l_members, &Watcher::On));
        d.AddConnectionEventHandler(d.GetType("room"), d.GetType("in_room"),
                                    new EventHandler<Watcher, ConnectionInfo&>(&l_joins, &Watcher::On));
        std::vector<Member> l_everyone;
        for (int l_k = 0; l_k < 3000; ++l_k)
            l_everyone.push_back(Online(qPrintable(QString("m%1").arg(l_k))));
        mp_server->Apply(RoomJoined{"big", l_everyone});
        mp_server->Apply(UserLeftRoom{"big", "m2999"});
        mp_server->Apply(UserJoinedRoom{"big", Online("late")});
        QVERIFY(mp_server->IsApplying());
        QVERIFY(Room("big").CountItems("user") < 3000);
        QTRY_VERIFY(!mp_server->IsApplying());
        QCOMPARE(l_membersAtJoin, std::size_t(0));
        QCOMPARE(l_links, std::size_t(3001));
        QCOMPARE(Room("big").CountItems("user"), std::size_t(3000));
        QVERIFY(!User("m2999").IsConnected(Room("big")) && User("late").IsConnected(Room("big")));
        QCOMPARE(Room("big")["user_count"].AsString(), QString("3000"));

        // The list's roles come before a removal that came after it.
        RoomList l_list;
        for (int l_k = 0; l_k < 3000; ++l_k)
            l_list.m_public.push_back({QString("room %1").arg(l_k), quint32(l_k)});
        l_list.m_owned.push_back({"mine", 2});
        SetSetting("accept_room_list", QStringLiteral("yes"));
        mp_server->Apply(l_list);
        mp_server->Apply(PrivateRoomRemoved{"mine"});
        QVERIFY(mp_server->IsApplying());
        mp_server->FinishApplying();
        QVERIFY(!mp_server->IsApplying());
        QCOMPARE(RoomState("room 2999") + " | " + RoomState("mine"), QString("count 2999 | count 2"));
    }

    // Of a room's tickers the decoder reads the last 1,000; it passes over
    // the others, and still refuses the list for a bad one of them.
    void TickersDecodedFromTheEnd_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<bool>("read");
        QTest::newRow("a good name") << QByteArray::fromHex("01000000610100000078") << true; // "a", "x"
        QTest::newRow("an empty name") << QByteArray::fromHex("000000000100000078") << false;
        QTest::newRow("a name with a NUL") << QByteArray::fromHex("020000006100000000") << false;
        QTest::newRow("a text past the end") << QByteArray::fromHex("0100000061ffff0000") << false;
    }

    void TickersDecodedFromTheEnd()
    {
        QFETCH(QByteArray, first);
        QFETCH(bool, read);
        // "r", 1,002 tickers: the one given, one of "b" "y", then 1,000 of
        // "c" "z".
        QByteArray l_payload = QByteArray::fromHex("0100000072ea030000") + first + QByteArray::fromHex("01000000620100000079");
        for (int l_k = 0; l_k < 1000; ++l_k)
            l_payload += QByteArray::fromHex("0100000063010000007a");
        MemStream l_in(l_payload);
        ServerMessage const l_decoded = DecodeServerMessage(214, l_in);
        QCOMPARE(std::holds_alternative<RoomTickers>(l_decoded), read);
        if (read)
            QCOMPARE(std::get<RoomTickers>(l_decoded),
                     (RoomTickers{"r", std::vector<std::pair<QString, QString>>(1000, {"c", "z"})}));
    }

    // A room keeps its newest 1,000 tickers, the first 1,024 characters of
    // each: of a list the last, the later of two of one user staying, last
    // in order; a new ticker in a full room makes the oldest go.
    void TickersOfABigRoom()
    {
        std::vector<std::pair<QString, QString>> l_tickers;
        for (int l_k = 0; l_k < 20000; ++l_k)
            l_tickers.emplace_back(QString("m%1").arg(l_k), QString("text %1").arg(l_k));
        l_tickers.emplace_back("m19500", "again");
        mp_server->Apply(RoomTickers{"big", l_tickers});
        mp_server->FinishApplying();
        auto const l_shown = [this]() {
            QStringList l_kept;
            for (Item const& l_ticker : Room("big").GetItems("room_ticker").SortNumericBy("room_ticker_order", true))
                l_kept << l_ticker["user"].AsString() + ": " + l_ticker["room_ticker_text"].AsString();
            return l_kept;
        };
        QStringList l_kept = l_shown();
        QCOMPARE(l_kept.size(), 999);
        QCOMPARE(l_kept.first() + " | " + l_kept.last(), QString("m19001: text 19001 | m19500: again"));
        mp_server->Apply(RoomTickerSet{"big", "new", "x"});
        mp_server->Apply(RoomTickerSet{"big", "newer", QString(1023, 'y') + QString::fromUtf8("\xf0\x9f\x98\x80")});
        mp_server->Apply(RoomTickerSet{"big", "newest", QString(1025, 'z')});
        l_kept = l_shown();
        QCOMPARE(l_kept.size(), 1000);
        QCOMPARE(l_kept.first(), QString("m19003: text 19003"));
        QCOMPARE(l_kept.mid(997), QStringList({"new: x", "newer: " + QString(1023, 'y'), "newest: " + QString(1024, 'z')}));
        mp_server->Apply(RoomTickers{"big", {{"bob", "alone"}}});
        QCOMPARE(RoomState("big"), QString("count , bob: alone"));
    }
};

QTEST_MAIN(ServerMessagesTest)
#include "ServerMessagesTest.moc"
